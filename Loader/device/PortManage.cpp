#include "Loader/device/PortManage.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Loader/common/ErrorRecord.h"
#include "Loader/common/ParamFile.h"
#include "Loader/common/RunNames.h"
#include "Loader/common/StartTrace.h"
#include "platform/devices/Devices.h"
#include "platform/kernel/Thread.h"
#include "platform/paths/Paths.h"

namespace {

namespace devices = platform::devices;
namespace serial = platform::serial;
using platform::kernel::CriticalSectionLock;
using platform::kernel::Event;

constexpr std::size_t kQueueSize = 4096;
constexpr std::uint32_t kOpenRetryMs = 500;
constexpr std::uint32_t kCloseDelayMs = 100;
constexpr int kEmptyPollLimit = 20;
constexpr char kCurrentDriverVersion[] = "1.0.8.0";
constexpr char kCurrentConnectionSoftVersion[] = "1.04";

int ExecDetailOf(serial::Step step) {
    switch (step) {
        case serial::Step::Open:
            return 1;
        case serial::Step::QueueSize:
            return 2;
        case serial::Step::GetSettings:
            return 3;
        case serial::Step::SetSettings:
            return 4;
        case serial::Step::Timeouts:
            return 5;
        default:
            return 1;
    }
}

void StoreStepError(const serial::Error& error) {
    ExecError().ExecDetail = ExecDetailOf(error.step);
    ExecError().ErrDetail = error.sysError;
}

// A catalogue (the simulator) may give the modem port's second AT channel a path of its own;
// on a PC there is none, and the modem port's tty is opened a second time instead.
std::optional<std::string> SeparateSecondChannel(const std::string& modemPath) {
    const std::string path = modemPath + std::string(devices::kSecondAtChannelSuffix);
    std::error_code ec;
    if (modemPath.empty() || !std::filesystem::exists(path, ec)) {
        return std::nullopt;
    }
    return path;
}

}  // namespace

// Wakes the receive thread whenever bytes arrive on the open update port.
class CPortWatchThread final : public platform::kernel::WorkerThread {
  public:
    explicit CPortWatchThread(CUsbPort& port) : m_port(port) {}

  protected:
    int Run() override { return m_port.WatchPort(); }

  private:
    CUsbPort& m_port;
};

CUsbPort::CUsbPort(CParamFile* pInitData, platform::kernel::Clock& clock,
                   CUsbPortDiscovery discovery)
    : m_pInitData(pInitData), m_clock(clock), m_discovery(std::move(discovery)) {
    if (m_pInitData != nullptr) {
        m_nWaitTime = m_pInitData->GetParamValueText("SYSTEM", "WaitTime").ToInt();
        const CComString blkSize = m_pInitData->GetParamValueText("USB", "BlkSize");
        if (!blkSize.IsEmpty()) {
            m_nBlockSize = blkSize.ToInt();
        }
        const CComString frameGap = m_pInitData->GetParamValueText("USB", "FrameGap");
        if (!frameGap.IsEmpty()) {
            m_nFrameGapMs = std::max(frameGap.ToInt(), 0);
        }
    }
    m_pKillEvent = Event::Named(kReceiveKillEventName, true, false);
    m_pReadEvent = Event::Named(kReadEventName, false, false);
    m_pReadEvent->Reset();
}

CUsbPort::~CUsbPort() {
    if (m_hPort.IsOpen()) {
        Close();
    }
    ClosePort();  // a watcher that closed the port itself is still to be joined
    CloseAtChannels();
}

std::shared_ptr<const devices::Backend> CUsbPort::DeviceBackend() const {
    if (m_discovery.devices) {
        return m_discovery.devices;
    }
    return devices::SystemBackend();
}

std::vector<devices::DeviceInfo> CUsbPort::Find(devices::SetupClass setupClass,
                                                std::string_view idPart) const {
    return devices::FindDevices(*DeviceBackend(), setupClass, idPart);
}

int CUsbPort::DriverState(devices::SetupClass setupClass, std::string_view hardwareId) const {
    const std::vector<devices::DeviceInfo> found = Find(setupClass, hardwareId);
    if (found.empty()) {
        return -1;
    }
    // The kernel's own drivers are never updated apart from the kernel: bound means current.
    if (found.front().Driver()) {
        return 1;
    }
    const std::optional<std::string> version = found.front().DriverVersion();
    if (!version) {
        return -1;
    }
    return version->find(kCurrentDriverVersion) != std::string::npos ? 1 : 0;
}

std::string CUsbPort::DevicePath(const CComString& cstrName) const {
    const std::string_view name = cstrName.View();
    if (name.empty() || name.find('/') != std::string_view::npos) {
        return std::string(name);
    }
    return (m_discovery.devDir / name).string();
}

bool CUsbPort::ConnectionSoftCurrent() const {
    std::filesystem::path root = m_discovery.root;
    if (root.empty()) {
        root = platform::paths::Root();
    }
    std::ifstream in(root / kConnectionSoftDir / kConnectionSoftVersionFile, std::ios::binary);
    if (!in) {
        return true;  // like a program without version strings
    }
    std::string line;
    constexpr std::string_view kKey = "FileVersion=";
    while (std::getline(in, line)) {
        if (line.starts_with(kKey)) {
            return line.find(kCurrentConnectionSoftVersion, kKey.size()) != std::string::npos;
        }
    }
    return true;
}

int CUsbPort::FindPort(int nKind) {
    if (nKind != kUpdatePort && nKind != kModemPort) {
        return 0;
    }
    const bool update = nKind == kUpdatePort;
    const std::vector<devices::DeviceInfo> found =
        Find(update ? devices::SetupClass::Ports : devices::SetupClass::Modem,
             update ? devices::kUpdateHardwareId : devices::kModemHardwareId);
    int count = 0;
    for (const devices::DeviceInfo& device : found) {
        std::optional<std::string> name = device.PortName();
        if (!name) {
            continue;
        }
        ++count;
        (update ? m_strUpdatePort : m_strModemPort) = CComString(*name);
    }
    return count;
}

int CUsbPort::ConfigurePort(serial::SerialPort& port) {
    if (serial::Error err = port.SetQueueSizes(kQueueSize, kQueueSize)) {
        StoreStepError(err);
        return 0;
    }
    serial::LineSettings settings;
    if (serial::Error err = port.GetSettings(settings)) {
        StoreStepError(err);
        return 0;
    }
    settings.baudRate = 115200;
    settings.dataBits = 8;
    settings.parity = serial::Parity::None;
    // The original setting is one and a half stop bits; Linux has none, the serial layer uses
    // two (the nearest; USB functions ignore it anyway).
    settings.stopBits = serial::StopBits::OneAndHalf;
    settings.hardwareFlowControl = true;
    settings.dtr = true;
    if (serial::Error err = port.SetSettings(settings)) {
        StoreStepError(err);
        return 0;
    }
    if (serial::Error err = port.SetTimeouts(serial::Timeouts{10, 5000})) {
        StoreStepError(err);
        return 0;
    }
    return 1;
}

int CUsbPort::Open() {
    if (m_bOpened.load() == 1) {
        return 1;
    }
    const auto start = static_cast<std::int64_t>(m_clock.NowMs() / 1000);
    for (;;) {
        // A tty's name lasts one enumeration: back from the switch to its boot loader or from a
        // reset, the device may have the update port under another one (ttyACM1, then ttyUSB0).
        // None found keeps the name there was, and the attempt fails as before.
        FindPort(kUpdatePort);
        if (PortOpen() == 1) {
            m_bOpened = 1;
            return 1;
        }
        m_clock.SleepMs(kOpenRetryMs);
        const auto now = static_cast<std::int64_t>(m_clock.NowMs() / 1000);
        if (now - start > m_nOpenTimeout) {
            return 0;
        }
    }
}

int CUsbPort::PortOpen() {
    std::unique_ptr<CPortWatchThread> leftover;
    {
        CriticalSectionLock lock(m_stateLock);
        if (m_hPort.IsOpen()) {
            return 0;
        }
        // The watcher of a device that vanished closed the port and ended by itself.
        leftover = std::move(m_hWatchThread);
    }
    if (leftover) {
        leftover->Handle().Wait(platform::kernel::kInfinite);
    }
    bool bCameBack = false;
    {
        CriticalSectionLock lock(m_stateLock);
        if (serial::Error err = m_hPort.Open(DevicePath(m_strUpdatePort))) {
            StoreStepError(err);
            return 0;
        }
        bCameBack = m_bDeviceGone.exchange(false);
    }
    if (ConfigurePort(m_hPort) != 1) {
        ClosePort();
        return 0;
    }
    m_bWatchStop = 0;
    auto watcher = std::make_unique<CPortWatchThread>(*this);
    if (watcher->Create() != 1) {
        ClosePort();
        return 0;
    }
    CPortWatchThread* started = watcher.get();
    {
        CriticalSectionLock lock(m_stateLock);
        m_hWatchThread = std::move(watcher);
    }
    started->Resume();
    m_bOpened = 1;
    if (!m_bEverOpened) {
        // Who wrote to the port before, and when, is not known.
        m_bEverOpened = true;
        m_qwQuietSinceMs = m_clock.NowMs();
    } else if (bCameBack) {
        // A device that vanished under us started again: its loader has heard nothing yet.
        m_qwQuietSinceMs.reset();
    }
    return 1;
}

int CUsbPort::Close() {
    if (m_bOpened.load() == 0) {
        return 0;
    }
    m_clock.SleepMs(kCloseDelayMs);
    ClosePort();
    m_bOpened = 0;
    return 1;
}

void CUsbPort::ClosePort() {
    bool wasOpen = false;
    std::unique_ptr<CPortWatchThread> watcher;
    {
        CriticalSectionLock lock(m_stateLock);
        if (m_hPort.IsOpen()) {
            wasOpen = true;
            m_bWatchStop = 1;
            // Ends a write in progress and the watcher's wait.
            m_hPort.Cancel();
        }
        watcher = std::move(m_hWatchThread);
    }
    // The watcher leaves its wait at once after Cancel; waiting for it completely means it
    // never touches a port that is closed or gone.
    if (watcher) {
        watcher->Handle().Wait(platform::kernel::kInfinite);
    }
    if (wasOpen) {
        CriticalSectionLock lock(m_stateLock);
        // Closing anyway: a device that is gone refuses the purge, and that changes nothing.
        static_cast<void>(m_hPort.Purge(true, true));
        m_hPort.Close();
    }
}

int CUsbPort::WatchPort() {
    if (!m_hPort.IsOpen() || m_bWatchStop.load() != 0) {
        return 0;
    }
    bool gone = false;
    for (;;) {
        const serial::WaitResult result = m_hPort.WaitForInput();
        if (result != serial::WaitResult::Input) {
            gone = result == serial::WaitResult::Gone;
            break;
        }
        const serial::IoResult queued = m_hPort.InputQueued();
        if (queued.error) {
            gone = queued.error.step == serial::Step::Gone;
            break;
        }
        if (queued.bytes > 0) {
            m_pReadEvent->Set();
        }
        if (m_bWatchStop.load() != 0) {
            break;
        }
    }
    if (gone) {
        LostDevice();
    }
    return 0;
}

void CUsbPort::LostDevice() {
    CriticalSectionLock lock(m_stateLock);
    if (m_bWatchStop.load() != 0) {
        return;
    }
    m_bWatchStop = 1;
    m_bDeviceGone = true;
    // m_bOpened stays set: the script's next writes fail, and its close and open recover.
    m_hPort.Close();
}

int CUsbPort::WriteFailed(const serial::Error& error) {
    ExecError().ErrContents = kErrWriteFailed;
    if (error.step == serial::Step::Gone || m_bDeviceGone.load()) {
        ExecError().ErrDetail = kErrorGenFailure;
    } else if (error.sysError == ETIMEDOUT) {
        ExecError().ErrDetail = 0;  // the device took nothing within the write time-out
    } else {
        ExecError().ErrDetail = error.sysError;
    }
    return 0;
}

int CUsbPort::WriteBlock(const std::uint8_t* pbBlock, std::size_t nLength) {
    std::size_t done = 0;
    while (done < nLength) {
        if (!m_hPort.IsOpen()) {
            return WriteFailed({serial::Step::Write, EBADF});
        }
        const serial::IoResult result = m_hPort.Write(pbBlock + done, nLength - done);
        done += result.bytes;
        if (!result.error) {
            continue;
        }
        // A time-out after some progress is not the end: the rest is written again.
        if (result.error.sysError == ETIMEDOUT && result.bytes > 0 &&
            result.error.step == serial::Step::Write) {
            continue;
        }
        // Linux keeps no error state on a port that would need clearing here.
        return WriteFailed(result.error);
    }
    return 1;
}

int CUsbPort::Send(const std::uint8_t* pbBuff, std::uint32_t uiLength) {
    if (m_bOpened.load() == 0) {
        return 0;
    }
    if (uiLength == 0) {
        return 1;
    }
    if (m_nBlockSize <= 0) {
        // Such a size would never get a byte out.
        ExecError().ErrContents = kErrWriteFailed;
        ExecError().ErrDetail = kErrorInvalidParameter;
        return 0;
    }
    if (pbBuff == nullptr) {
        ExecError().ErrContents = kErrWriteFailed;
        ExecError().ErrDetail = kErrorInvalidParameter;
        return 0;
    }
    const int nSent = SendBlocks(pbBuff, uiLength);
    // Until SendFrame says the bytes were a whole frame, they may be part of one.
    m_qwQuietSinceMs = m_clock.NowMs();
    return nSent;
}

int CUsbPort::SendBlocks(const std::uint8_t* pbBuff, std::uint32_t uiLength) {
    for (std::uint32_t offset = 0; offset < uiLength;) {
        const std::size_t block =
            std::min<std::size_t>(static_cast<std::size_t>(m_nBlockSize), uiLength - offset);
        // Between blocks the processor goes to whoever waits for it: the receive thread reads
        // the answers of parallel sections while a long image is written.
        platform::kernel::Sleep(0);
        if (m_pKillEvent->TryConsume()) {
            ExecError().ErrContents = kErrStopped;
            return 0;
        }
        if (WriteBlock(pbBuff + offset, block) != 1) {
            return 0;
        }
        starttrace::FirstFrame();
        offset += static_cast<std::uint32_t>(block);
    }
    return 1;
}

int CUsbPort::SendFrame(const std::uint8_t* pbBuff, std::uint32_t uiLength) {
    if (m_bOpened.load() == 0 || uiLength == 0) {
        return Send(pbBuff, uiLength);
    }
    if (m_qwQuietSinceMs) {
        const std::uint64_t qwDue = *m_qwQuietSinceMs + static_cast<std::uint64_t>(m_nFrameGapMs);
        const std::uint64_t qwNow = m_clock.NowMs();
        if (qwNow < qwDue) {
            m_clock.SleepMs(static_cast<std::uint32_t>(qwDue - qwNow));
        }
    }
    const int nSent = Send(pbBuff, uiLength);
    if (nSent == 1) {
        m_qwQuietSinceMs.reset();
    }
    return nSent;
}

int CUsbPort::Recv(std::uint8_t* pbBuff, std::uint32_t uiLength) {
    if (m_bOpened.load() == 0 || (pbBuff == nullptr && uiLength > 0)) {
        return 0;
    }
    const auto waitTime = static_cast<std::uint32_t>(std::max(m_nWaitTime, 0));
    m_clock.SleepMs(waitTime);
    std::uint32_t got = 0;
    int attempts = 0;
    while (!m_pKillEvent->TryConsume()) {
        const serial::IoResult result = m_hPort.Read(pbBuff + got, uiLength - got);
        if (result.error) {
            return 0;
        }
        got += static_cast<std::uint32_t>(result.bytes);
        if (got == uiLength) {
            // The watcher reports arrivals, not what is left: bytes of a following frame that
            // came with this one would otherwise wait for the next registration.
            if (m_hPort.InputQueued().bytes > 0) {
                m_pReadEvent->Set();
            }
            return 1;
        }
        if (++attempts >= kEmptyPollLimit && got == 0) {
            return 0;
        }
        m_clock.SleepMs(waitTime);
    }
    return 0;
}

std::uint32_t CUsbPort::PendingBytes() {
    if (m_bOpened.load() == 0) {
        return 0;
    }
    const serial::IoResult queued = m_hPort.InputQueued();
    return queued.error ? 0 : static_cast<std::uint32_t>(queued.bytes);
}

serial::SerialPort* CUsbPort::AtChannel(int nChannel) {
    if (nChannel == 0) {
        return &m_hAtPort;
    }
    if (nChannel == 1) {
        return &m_hAtPort2;
    }
    return nullptr;
}

int CUsbPort::OpenAtChannels() {
    if (m_hAtPort.IsOpen()) {
        return 0;
    }
    const std::string modem = DevicePath(m_strModemPort);
    const std::optional<std::string> separate = SeparateSecondChannel(modem);
    if (!separate) {
        // The modem port's own tty serves both channels. The second open comes first: once the
        // first holds its exclusive claim, the kernel refuses further opens to non-root users.
        if (serial::Error err = m_hAtPort2.Open(modem, serial::Sharing::Shared)) {
            StoreStepError(err);
            return 0;
        }
    }
    if (serial::Error err = m_hAtPort.Open(modem)) {
        StoreStepError(err);
        CloseAtChannels();
        return 0;
    }
    if (ConfigurePort(m_hAtPort) != 1) {
        CloseAtChannels();
        return 0;
    }
    if (!separate) {
        return 1;  // the line settings belong to the tty, so channel 1 has them too
    }
    if (serial::Error err = m_hAtPort2.Open(*separate)) {
        StoreStepError(err);
        CloseAtChannels();
        return 0;
    }
    // A Linux tty starts in line mode with echo; the second channel needs raw bytes as much as
    // the first.
    if (ConfigurePort(m_hAtPort2) != 1) {
        CloseAtChannels();
        return 0;
    }
    return 1;
}

void CUsbPort::CloseAtChannels() {
    if (m_hAtPort.IsOpen()) {
        m_hAtPort.Cancel();
        static_cast<void>(m_hAtPort.Purge(true, true));  // as in ClosePort
        m_hAtPort.Close();
    }
    if (m_hAtPort2.IsOpen()) {
        m_hAtPort2.Cancel();
        static_cast<void>(m_hAtPort2.Purge(true, true));
        m_hAtPort2.Close();
    }
}

int CUsbPort::AtWrite(int nChannel, const std::uint8_t* pbBuff, std::uint32_t uiLength) {
    serial::SerialPort* channel = AtChannel(nChannel);
    if (channel == nullptr || !channel->IsOpen() || pbBuff == nullptr || uiLength == 0) {
        ExecError().ErrContents = kErrWriteFailed;
        ExecError().ErrDetail = channel != nullptr && channel->IsOpen() ? 0 : EBADF;
        return 0;
    }
    const serial::IoResult result = channel->Write(pbBuff, uiLength);
    if (result.error) {
        ExecError().ErrContents = kErrWriteFailed;
        ExecError().ErrDetail = result.error.step == serial::Step::Gone ? kErrorGenFailure
                                : result.error.sysError == ETIMEDOUT    ? 0
                                                                        : result.error.sysError;
        return 0;
    }
    return 1;
}

int CUsbPort::AtRead(int nChannel, std::uint8_t* pbBuff, std::uint32_t uiCapacity,
                     std::uint32_t& uiRead) {
    uiRead = 0;
    serial::SerialPort* channel = AtChannel(nChannel);
    if (channel == nullptr || (pbBuff == nullptr && uiCapacity > 0)) {
        return 0;
    }
    const serial::IoResult result = channel->Read(pbBuff, uiCapacity);
    if (result.error) {
        return 0;
    }
    uiRead = static_cast<std::uint32_t>(result.bytes);
    return 1;
}

int CUsbPort::AtWaitInput(int nChannel, std::uint32_t dwTimeoutMs) {
    serial::SerialPort* channel = AtChannel(nChannel);
    if (channel == nullptr) {
        return 0;
    }
    const int timeout = dwTimeoutMs == platform::kernel::kInfinite
                            ? -1
                            : static_cast<int>(std::min<std::uint32_t>(dwTimeoutMs, 0x7FFFFFFF));
    return channel->WaitForInput(timeout) == serial::WaitResult::Input ? 1 : 0;
}

int CUsbPort::CheckDriverVersions(bool bMbnMode) {
    const int function = bMbnMode
                             ? DriverState(devices::SetupClass::Net, devices::kNetHardwareId)
                             : DriverState(devices::SetupClass::Modem, devices::kModemHardwareId);
    const int update = DriverState(devices::SetupClass::Ports, devices::kUpdateHardwareId);
    if (function < 0 || update < 0) {
        return -1;
    }
    return function == 1 && update == 1 && ConnectionSoftCurrent() ? 1 : 0;
}
