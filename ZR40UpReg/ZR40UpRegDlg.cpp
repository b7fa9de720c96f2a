#include "ZR40UpReg/ZR40UpRegDlg.h"

#include <algorithm>
#include <utility>

#include "platform/resources/resources.h"
#include "platform/system/Launch.h"
#include "platform/ui/Text.h"

namespace ui = platform::ui;
namespace window = platform::window;

namespace {

constexpr std::uint32_t kBalloonTimeoutMs = 30000;
constexpr int kScRestore = 0xF120;

std::string Title() {
    return ui::Utf8ToCp932(kManagerTitle);
}

std::string FormatString(int nStringId, const std::string& strArg) {
    std::string text(platform::resources::LoadString(nStringId));
    const auto at = text.find("%s");
    if (at != std::string::npos) {
        text.replace(at, 2, strArg);
    }
    return text;
}

}  // namespace

CUpdateDlg::CUpdateDlg(std::string strName, platform::net::UpdateServer server, ui::Dialog* pParent)
    : ui::Dialog(IDD_UPDATE_DIALOG, pParent),
      m_strName(std::move(strName)),
      m_server(std::move(server)) {}

bool CUpdateDlg::OnInitDialog() {
    SetItemText(IDC_VERSION_LINE,
                ui::Utf8ToCp932("（バージョン ") + m_strName + ui::Utf8ToCp932("）"));
    return true;
}

void CUpdateDlg::OnCommand(int id) {
    if (id == IDC_GET_UPDATE) {
        platform::system::OpenUrl(m_server.Url(platform::net::kDownloadPagePath));
        EndDialog(ui::IDOK);
    } else if (id == IDC_CLOSE) {
        EndDialog(ui::IDCANCEL);
    } else {
        ui::Dialog::OnCommand(id);
    }
}

CZR40UpRegDlg::CZR40UpRegDlg(std::string strCmdLine, WorkerEnvironment env)
    : ui::Dialog(IDD_ZR40UPREG_DIALOG),
      m_strCmdLine(std::move(strCmdLine)),
      m_worker(std::move(env)),
      m_tray(*this, 1, WM_TRAY_CALLBACK) {}

CZR40UpRegDlg::~CZR40UpRegDlg() {
    StopAll();
}

bool CZR40UpRegDlg::OnInitDialog() {
    SetIcon(IDR_MAINFRAME);
    if (m_strCmdLine == "/minimize") {
        // Never shown as a window: minimised at once, then hidden by the posted command.
        ShowWindow(ui::ShowCommand::Minimize);
        GetWindow().Post({ui::kSysCommandMessage, static_cast<std::uintptr_t>(kScMinimize), 0, {}});
    }
    LoadVerCheck();
    UpdateCheckButton();

    m_controller = std::make_unique<CUpRegController>(GetWindow(), m_worker, *this);
    const window::WindowHandle self = GetWindow().Handle();
    m_devices = std::make_unique<platform::devnotify::DeviceMonitor>();
    m_devices->Subscribe(self, platform::devnotify::Interest::Ports);
    m_resume = std::make_unique<platform::system::ResumeWatcher>([self] {
        self.Post({WM_POWER_BROADCAST, 7, 0, {}});
    });
    m_sessionEnd = std::make_unique<platform::system::SessionEndWatcher>([self](int) {
        self.Post({WM_END_SESSION, 1, 0, {}});
    });

    // Without the threads the window still runs, only without its background jobs.
    m_worker.StartThreads(self);
    StartupChecks();
    return true;
}

void CZR40UpRegDlg::StartupChecks() {
    m_controller->NotificationStartupCheck();
    m_controller->VersionStartupCheck();
}

void CZR40UpRegDlg::LoadVerCheck() {
    bool bOn = true;
    m_worker.Environment().Store().ReadVerCheck(bOn);
    m_nVerCheck = bOn ? 0 : 1;
    SetRadioValue(IDC_NOTIFY_ON, m_nVerCheck);
}

void CZR40UpRegDlg::UpdateCheckButton() {
    EnableItem(IDC_CHECK_NOW, m_worker.Environment().devices.IsDevicePresent());
}

void CZR40UpRegDlg::HideToTray() {
    if (m_tray.Add(IDR_MAINFRAME, Title())) {
        ShowWindow(ui::ShowCommand::Hide);
    } else {
        // Hidden without a tray icon, nothing could bring the window back or end it. Minimised,
        // it stands where the icon would, and the balloon goes out all the same.
        ShowWindow(ui::ShowCommand::Minimize);
    }
    if (m_bBalloonPending) {
        m_bBalloonPending = false;
        m_tray.ShowBalloon(FormatString(IDS_NOTICE, {}), FormatString(IDS_NEW_VERSION, {}),
                           kBalloonTimeoutMs);
    }
}

void CZR40UpRegDlg::RestoreFromTray() {
    m_tray.Remove();
    LoadVerCheck();
    ShowWindow(ui::ShowCommand::Restore);
    ShowWindow(ui::ShowCommand::Foreground);
    UpdateCheckButton();
}

void CZR40UpRegDlg::ShowMessage(int nStringId, IUpRegView::Icon icon, const std::string& strArg) {
    ui::MessageBox(
        FormatString(nStringId, strArg), Title(),
        icon == IUpRegView::Icon::Warning ? ui::MbIcon::Warning : ui::MbIcon::Information,
        ui::MbButtons::Ok, this);
}

void CZR40UpRegDlg::NewVersionBalloon() {
    if (IsVisible() && !IsMinimized()) {
        m_bBalloonPending = true;
        return;
    }
    m_tray.ShowBalloon(FormatString(IDS_NOTICE, {}), FormatString(IDS_NEW_VERSION, {}),
                       kBalloonTimeoutMs);
}

void CZR40UpRegDlg::OpenNewVersionDialog(const std::string& strName) {
    CUpdateDlg dlg(strName, m_worker.Environment().Server(), this);
    if (dlg.DoModal() == ui::IDOK && IsAlive()) {
        m_bBalloonPending = false;
        HideToTray();
    }
}

void CZR40UpRegDlg::OnCommand(int id) {
    switch (id) {
        case IDC_CHECK_NOW:
            m_controller->ManualCheck();
            break;
        case IDC_OK:
            OnOK();
            break;
        case IDC_CANCEL:
            OnCancel();
            break;
        case ID_TRAY_EXIT:
            OnExit();
            break;
        default:
            ui::Dialog::OnCommand(id);
            break;
    }
}

void CZR40UpRegDlg::OnOK() {
    HideToTray();
    CUpRegStore store = m_worker.Environment().Store();
    bool bBefore = true;
    store.ReadVerCheck(bBefore);
    m_nVerCheck = GetRadioValue(IDC_NOTIFY_ON) == 1 ? 1 : 0;
    store.WriteVerCheck(m_nVerCheck == 0);
    bool bAfter = true;
    store.ReadVerCheck(bAfter);
    m_controller->VerCheckChanged(bBefore, bAfter);
}

void CZR40UpRegDlg::OnCancel() {
    HideToTray();
}

void CZR40UpRegDlg::OnClose() {
    HideToTray();
}

bool CZR40UpRegDlg::OnKey(ui::Key key) {
    return key == ui::Key::Escape;
}

void CZR40UpRegDlg::OnSysCommand(int id) {
    if (id == kScMinimize) {
        HideToTray();
    } else if (id == kScRestore) {
        ShowWindow(ui::ShowCommand::Restore);
    }
}

void CZR40UpRegDlg::OnExit() {
    std::string strSerial;
    if (m_worker.Environment().Store().HasUpdateListEntry(strSerial) != 0) {
        ShowMessage(IDS_REPORT_PENDING, IUpRegView::Icon::Information, {});
        return;
    }
    EndDialog(ui::IDOK);
}

void CZR40UpRegDlg::OnTrayEvent(std::intptr_t event) {
    if (event == ui::kTrayLeftButtonUp) {
        RestoreFromTray();
    } else if (event == ui::kTrayRightButtonUp) {
        m_tray.ShowMenu(IDR_TRAY_MENU, ID_TRAY_EXIT);
    } else if (event == ui::kTrayBalloonClick) {
        std::string strDateCode;
        std::string strName;
        m_worker.Environment().Store().ReadLastVer(strDateCode, strName);
        OpenNewVersionDialog(strName);
    }
}

void CZR40UpRegDlg::OnDeviceChange(const window::Message& msg) {
    if (msg.wParam == window::kDeviceArrival) {
        const auto ports = m_worker.Environment().devices.UpdatePorts();
        bool bOn = true;
        m_worker.Environment().Store().ReadVerCheck(bOn);
        if (bOn && std::find(ports.begin(), ports.end(), msg.port) != ports.end()) {
            m_controller->DeviceArrivalCheck();
        }
    }
    if (IsVisible()) {
        UpdateCheckButton();
    }
}

std::intptr_t CZR40UpRegDlg::OnMessage(const window::Message& msg) {
    if (m_controller && m_controller->HandleMessage(msg)) {
        return 0;
    }
    switch (msg.message) {
        case WM_TRAY_CALLBACK:
            OnTrayEvent(msg.lParam);
            return 0;
        case WM_NOTIFY_NOW:
            m_worker.TriggerNotification();
            return 0;
        case WM_MANAGER_CLOSE:
            EndDialog(ui::IDOK);
            return 0;
        case WM_END_SESSION:
            StopAll();
            EndDialog(ui::IDOK);
            return 0;
        case WM_POWER_BROADCAST:
            if (msg.wParam >= 6 && msg.wParam <= 8) {
                StartupChecks();
            }
            return 0;
        case window::kDeviceChangeMessage:
            if (msg.wParam == window::kDeviceArrival ||
                msg.wParam == window::kDeviceRemoveComplete) {
                OnDeviceChange(msg);
            }
            return 0;
        default:
            return ui::Dialog::OnMessage(msg);
    }
}

void CZR40UpRegDlg::OnDestroy() {
    GetWindow().KillTimer(kNotifyRetryTimer);
    GetWindow().KillTimer(kVersionRetryTimer);
    m_tray.Remove();
    StopAll();
}

void CZR40UpRegDlg::StopAll() {
    // The watchers go first: nothing of theirs must arrive once the jobs are down.
    m_sessionEnd.reset();
    m_resume.reset();
    m_devices.reset();
    m_worker.StopThreads();
}
