// zr40-loader-shots: the update tool's main window at each stop of its road, drawn by the Qt host
// while the real window walks the road against the device simulator.
//
//   zr40-loader-shots [--out DIR]   writes loader-1-fresh.png ... loader-6-done.png into DIR
//                                   (default build/<kind>/screenshots); meant for Qt's offscreen
//                                   platform
//
// Two roads: a fresh write (fresh, writing, restarting, registration, the final box) and a road
// resumed in the driver wait (the window with its instruction box).
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Loader/app/LoaderDlg.h"
#include "Loader/app/StateStore.h"
#include "Loader/device/PortManage.h"
#include "platform/kernel/Event.h"
#include "platform/resources/resources.h"
#include "platform/ui/Text.h"
#include "platform/ui/Ui.h"
#include "platform/ui/qt/QtHost.h"
#include "tests/sim/devsim/DevsimRig.h"
#include "tests/support/TempDir.h"
#include "tests/ui/qt/ShotImage.h"

namespace ui = platform::ui;
namespace qtui = platform::ui::qt;
namespace fs = std::filesystem;

namespace {

// Into the boot loader, the largest image twice and two more, so that the bar passes 40 percent
// while the last of them downloads, the new version recorded, the reset.
std::string WriteRoad() {
    std::string script =
        "[GLOBAL]\r\nPort=open,10\r\nCMD=ff550042000101fe\r\nTimer=1\r\nPort=close\r\n"
        "Port=open,10\r\n";
    for (int i = 0; i < 2; ++i) {
        script +=
            "DBB_D2_CMD=4442,2805,12,00D80155\r\nWait_DBB=4442,-1\r\n"
            "DBB_LM_File=DATA\\C_L1\\QRV_C_L1.cvt,120\r\nDBB_D2_CMD=4442,0107,8\r\n"
            "Wait_DBB=4442,-1\r\n";
    }
    script +=
        "DBB_D2_CMD=4442,2A05,12,01600164\r\nWait_DBB=4442,-1\r\n"
        "DBB_LM_File=DATA\\U_LM\\QRV_U_LM.cvt,20\r\nDBB_D2_CMD=4442,2507,8\r\n"
        "Wait_DBB=4442,-1\r\n"
        "DBB_D2_CMD=4442,2A05,12,0165016A\r\nWait_DBB=4442,-1\r\n"
        "DBB_LM_File=DATA\\U_BDSP\\QRV_U_BDSP.cvt,20\r\nDBB_D2_CMD=4442,2607,8\r\n"
        "Wait_DBB=4442,-1\r\n"
        "DBB_D2_SETVERSIONFROMFILE=latest\r\nWait_DBB=4442,10\r\n"
        "DBB_D2_CMD=4442,000B,8\r\nPort=close\r\n";
    return script;
}

std::string Utf8(const std::string& cp932) {
    return ui::Cp932ToUtf8(cp932);
}

// One road of the window: the simulator, the tool's texts and start-up values, and a watcher that
// looks at the window every few milliseconds and takes the pictures as the stops are reached.
class Road {
  public:
    Road(const fs::path& out, std::uint32_t dwStatus, std::vector<std::string> simArgs)
        : out_(out) {
        sim_ = std::make_unique<devsim_test::DevSim>(simDir_.Path(), std::move(simArgs));
        ready_ = sim_->NextLine() == "ready";
        ::setenv("ZR40_DEVICE_CATALOG", sim_->Catalog().c_str(), 1);
        // The receive thread's stop event outlives the road before.
        platform::kernel::Event::Named("KILL_EVENT_RECV", true, false)->Reset();
        ready_ = ready_ && config_.LoadParamSection("Loader_Ini") == 1;
        versions_.LoadParamSection("Loader_Ver");
        sums_.LoadParamSection("Loader_Sum");
        const std::string script = WriteRoad();
        {
            const platform::resources::ScopedResource laid(
                "INI", 145, {reinterpret_cast<const std::uint8_t*>(script.data()), script.size()});
            ready_ = ready_ && script_.LoadParamSection("Loader_Update") == 1;
        }
        port_ = std::make_unique<CUsbPort>(&config_);
        ready_ = ready_ && port_->FindPort(CUsbPort::kUpdatePort) == 1;
        start_.dwStatus = dwStatus;
        start_.strExecDir = CComString::FromUtf8(fs::current_path().string());
        start_.strDeviceVersion = "Ver1.00";
        start_.strNewVersion = "Ver1.01";
        start_.pPort = port_.get();
        start_.pConfig = &config_;
        start_.pVersions = &versions_;
        start_.pScript = &script_;
        start_.pSums = &sums_;
        CStateStore store;
        ready_ = ready_ && store.CreateStateKeys() == 1;
        if (dwStatus != 0) {
            ready_ = ready_ && store.WriteSwUpState(dwStatus, 1, "", "") == 1;
        }
        if (!ready_) {
            std::fprintf(stderr,
                         "zr40-loader-shots: the simulator or the tool's texts failed: %s\n",
                         sim_->Seen().c_str());
        }
    }

    devsim_test::DevSim& Sim() { return *sim_; }

    // A stop: taken once `reached` holds, then `then` runs.
    void Stop(std::string name, std::function<bool(CLoaderDlg&)> reached,
              std::function<void(CLoaderDlg&)> then = {}) {
        stops_.push_back({std::move(name), std::move(reached), std::move(then)});
    }

    // The manager, once started, confirms the registration at once.
    void ConfirmAtStart() { confirmAtStart_ = true; }

    // Runs the window to its end; false when a stop was not reached.
    bool Run() {
        if (!ready_) {
            return false;
        }
        CLoaderDlgSystem system;
        system.serverReachable = [] { return true; };
        system.startManager = [this](const fs::path&) {
            if (confirmAtStart_ && dialog_ != nullptr) {
                dialog_->GetWindow().Post({WM_LOADER_REGISTERED, 0, 0, {}});
            }
            return true;
        };
        CLoaderDlg dialog(start_, std::move(system));
        dialog_ = &dialog;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [this, &dialog] { Look(dialog); });
        watch.start(5);
        dialog.DoModal();
        watch.stop();
        dialog_ = nullptr;
        if (next_ < stops_.size()) {
            std::fprintf(stderr, "zr40-loader-shots: the window ended before \"%s\"\n",
                         stops_[next_].name.c_str());
            return false;
        }
        return ok_;
    }

    // The final box over the window.
    void Box(QMessageBox& box) {
        if (dialog_ != nullptr && boxName_ != nullptr) {
            ok_ = Take(*dialog_, boxName_, &box) && ok_;
        }
        box.done(0);
    }
    void NameBox(const char* name) { boxName_ = name; }

  private:
    struct StopPoint {
        std::string name;
        std::function<bool(CLoaderDlg&)> reached;
        std::function<void(CLoaderDlg&)> then;
    };

    void Look(CLoaderDlg& dialog) {
        QWidget* form = qtui::DialogWidget(dialog);
        if (next_ >= stops_.size() || form == nullptr || !form->isVisible()) {
            return;
        }
        StopPoint& stop = stops_[next_];
        if (!stop.reached(dialog)) {
            return;
        }
        ++next_;
        ok_ = Take(dialog, stop.name, nullptr) && ok_;
        if (stop.then) {
            stop.then(dialog);
        }
    }

    // The window with every box it has open, or with `box`.
    bool Take(CLoaderDlg& dialog, const std::string& name, QWidget* box) {
        QWidget* form = qtui::DialogWidget(dialog);
        std::vector<QWidget*> windows{form};
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (top != form && top->isVisible() && qobject_cast<QDialog*>(top) != nullptr &&
                qobject_cast<QMessageBox*>(top) == nullptr) {
                // Centred over the window, a box would hide the window's status lines.
                top->move(form->x() + form->width() / 5, form->y() + form->height() / 4);
                windows.push_back(top);
            }
        }
        if (box != nullptr) {
            windows.push_back(box);
        }
        const QImage image =
            windows.size() == 1 ? testsupport::Framed(*form, 1.0) : testsupport::Desktop(windows);
        return testsupport::Save(image, out_ / (name + ".png"));
    }

    fs::path out_;
    testsupport::TempDir simDir_{"zr40-loader-shots-sim-"};
    std::unique_ptr<devsim_test::DevSim> sim_;
    CParamFile config_, versions_, script_, sums_;
    std::unique_ptr<CUsbPort> port_;
    CLoaderStart start_;
    bool ready_ = false;
    bool ok_ = true;
    bool confirmAtStart_ = false;
    std::vector<StopPoint> stops_;
    std::size_t next_ = 0;
    CLoaderDlg* dialog_ = nullptr;
    const char* boxName_ = nullptr;
};

bool StatusIs(CLoaderDlg& dialog, const char* utf8) {
    return Utf8(dialog.GetItemText(IDC_STATUS1)) == utf8;
}

void Confirm(CLoaderDlg& dialog) {
    dialog.GetWindow().Post({WM_LOADER_REGISTERED, 0, 0, {}});
}

bool FreshRoad(const fs::path& out, Road*& current) {
    // The device stays away long enough after its reset for one of the window's ticks.
    Road road(out, 0, {"--reenum-ms", "3000"});
    current = &road;
    road.Stop(
        "loader-1-fresh", [](CLoaderDlg&) { return true; },
        [](CLoaderDlg& dialog) { dialog.UserCommand(IDC_START); });
    road.Stop("loader-2-writing", [](CLoaderDlg& dialog) { return dialog.Percent() >= 40; });
    road.Stop("loader-3-restarting", [](CLoaderDlg& dialog) {
        return dialog.Phase() == 1 && StatusIs(dialog, "ZR40を再起動しています。") &&
               dialog.GetProgressPos(IDC_PROGRESS) >= 5;
    });
    road.Stop(
        "loader-5-registration",
        [](CLoaderDlg& dialog) {
            return dialog.Phase() == 3 &&
                   StatusIs(dialog, "ソフトウェア更新情報をサーバーへ登録中です。") &&
                   dialog.GetProgressPos(IDC_PROGRESS) >= 10;
        },
        Confirm);
    road.NameBox("loader-6-done");
    const bool ok = road.Run();
    current = nullptr;
    return ok;
}

bool DriverWaitRoad(const fs::path& out, Road*& current) {
    Road road(out, 2, {"--reenum-ms", "200", "--outdated-drivers"});
    current = &road;
    road.Stop(
        "loader-4-driverwait",
        [](CLoaderDlg&) {
            const QWidgetList tops = QApplication::topLevelWidgets();
            return std::count_if(tops.begin(), tops.end(), [](QWidget* top) {
                       return top->isVisible() && qobject_cast<QDialog*>(top) != nullptr;
                   }) >= 2;
        },
        // The user reinstalls the communication settings: the road goes on to its end.
        [&road](CLoaderDlg&) { road.Sim().Raise(SIGUSR1); });
    road.ConfirmAtStart();
    const bool ok = road.Run();
    current = nullptr;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    fs::path out = ZR_SHOTS_DIR;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zr40-loader-shots [--out DIR]\n");
            return 2;
        }
    }
    out = fs::absolute(out);
    fs::create_directories(out);
    // The tool keeps its state, relaunch entry and error log under a root of its own.
    testsupport::TempDir root("zr40-loader-shots-");
    ::setenv("ZR40_ROOT", root.Path().c_str(), 1);
    fs::current_path(root.Path());

    Road* current = nullptr;
    qtui::QtHostOptions options;
    options.onMessageBox = [&current](QMessageBox& box) {
        if (current != nullptr) {
            current->Box(box);
        } else {
            box.done(0);
        }
    };
    std::unique_ptr<ui::Host> host = qtui::MakeQtHost(std::move(options));
    ui::SetHost(host.get());
    const bool ok = FreshRoad(out, current) && DriverWaitRoad(out, current);
    ui::SetHost(nullptr);
    return ok ? 0 : 1;
}
