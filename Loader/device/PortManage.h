// The device port: CPortManage is the port as the script engine and the receive thread see it,
// CUsbPort the ZR-40 behind it. CUsbPort finds the device's functions (platform/devices), opens
// the update port with a watcher thread that wakes the receive thread when bytes arrive, writes
// in blocks and reads by polling, and answers the application's other questions about the
// device: the modem port's two AT channels, the Mobile Broadband interface, dial-up connections
// and driver versions.
//
// Failures go to the error record:
//   ExecDetail 1 open, 2 queue sizes, 3 reading line settings, 4 writing line settings,
//   5 time-outs, each with ErrDetail = errno;
//   ErrContents kErrWriteFailed a write failed: ErrDetail = errno, 0 when the device took no byte
//   before the write time-out, 31 (ERROR_GEN_FAILURE, as the error log has always shown an
//   unplugged device) when the device is gone, 0x57 (ERROR_INVALID_PARAMETER) for a [USB] BlkSize
//   of 0 or less; ErrContents kErrStopped the stop event "KILL_EVENT_RECV" was seen during Send.
//
// Threads: callers hold the dialog's portLock around Open, PortOpen, Close and Send; Recv runs on
// the receive thread without it, at the same time as writes. The watcher may close the port on
// its own when the device vanishes; an internal lock keeps that apart from Close.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Loader/common/ComString.h"
#include "platform/devices/Devices.h"
#include "platform/kernel/Clock.h"
#include "platform/kernel/Event.h"
#include "platform/kernel/Lock.h"
#include "platform/mobile/Mobile.h"
#include "platform/serial/SerialPort.h"

class CParamFile;

class CPortManage {
  public:
    CPortManage() = default;
    virtual ~CPortManage() = default;
    CPortManage(const CPortManage&) = delete;
    CPortManage& operator=(const CPortManage&) = delete;

    // 1 success, 0 failure; the base does nothing and fails.
    virtual int Open() { return 0; }
    virtual int Close() { return 0; }
    // Exactly uiLength bytes.
    virtual int Recv(std::uint8_t* /*pbBuff*/, std::uint32_t /*uiLength*/) { return 0; }
    virtual int Send(const std::uint8_t* /*pbBuff*/, std::uint32_t /*uiLength*/) { return 0; }
    // One whole boot-loader frame (DB, D0, an S-record line).
    virtual int SendFrame(const std::uint8_t* pbBuff, std::uint32_t uiLength) {
        return Send(pbBuff, uiLength);
    }
    // Seconds Open keeps trying; a port that opens at once ignores it.
    virtual void SetOpenTimeout(int /*nSeconds*/) {}
    // Received bytes waiting to be read; 0 also when the port cannot tell.
    virtual std::uint32_t PendingBytes() { return 0; }
};

class CPortWatchThread;

// The device's Mobile Broadband interface once found: the service that answers for it and its id.
struct CMbnInterface {
    std::shared_ptr<platform::mobile::MobileBroadband> service;
    std::string id;
};

// Where CUsbPort looks for the device and what surrounds it; the defaults are the system's.
struct CUsbPortDiscovery {
    // Null: the system's backend, chosen anew at every query.
    std::shared_ptr<const platform::devices::Backend> devices;
    // Null: the system's Mobile Broadband service, created anew for every query.
    std::shared_ptr<platform::mobile::MobileBroadband> mobile;
    // Port names without a '/' are device nodes here.
    std::filesystem::path devDir = "/dev";
    // Root of the installed programs; empty: $ZR40_ROOT when set, else "/".
    std::filesystem::path root;
};

class CUsbPort : public CPortManage {
  public:
    static constexpr int kUpdatePort = 0;
    static constexpr int kModemPort = 1;

    static constexpr std::int32_t kErrorGenFailure = 31;
    static constexpr std::int32_t kErrorInvalidParameter = 0x57;
    static constexpr int kDefaultBlockSize = 4096;
    static constexpr int kDefaultFrameGapMs = 1000;

    // The connection software's version strings: "FileVersion=..." in this file beside its
    // program, under the discovery's root: opt/Norvale/mirato ZR40/.
    static constexpr char kConnectionSoftDir[] = "opt/Norvale/mirato ZR40";
    static constexpr char kConnectionSoftVersionFile[] = "ZR40_ConnectionSoft.version";

    // Reads [SYSTEM] WaitTime, [USB] BlkSize and [USB] FrameGap once; creates "KILL_EVENT_RECV"
    // (manual reset) and "READ_EVENT" (automatic reset), both cleared. `clock` paces Open's retries
    // and Recv's polls.
    explicit CUsbPort(CParamFile* pInitData,
                      platform::kernel::Clock& clock = platform::kernel::SystemClock(),
                      CUsbPortDiscovery discovery = {});
    // Closes the update port and the AT channels and ends the watcher.
    ~CUsbPort() override;

    // Devices of the function's setup class whose hardware id contains the function's id and
    // that have a PortName, in enumeration order; the last one's name is stored. kind:
    // kUpdatePort (Ports) or kModemPort (Modem). Returns the count.
    int FindPort(int nKind);

    // Seconds Open keeps trying (the script's "Port=open,<seconds>").
    void SetOpenTimeout(int nSeconds) override { m_nOpenTimeout = nSeconds; }

    // 1 at once while opened (also after the watcher closed the port of a vanished device: the
    // following writes fail, and the script's close and open recover); otherwise PortOpen every
    // 500 ms until it succeeds or more than m_nOpenTimeout whole seconds have passed since the
    // first attempt.
    int Open() override;
    // One attempt: open m_strUpdatePort exclusively, configure it, start the watcher. Fails
    // without doing anything while the port is open.
    int PortOpen();
    // 1 when it was opened (after 100 ms the port is closed), else 0.
    int Close() override;

    // Writes in [USB] BlkSize blocks (empty: 4,096), testing "KILL_EVENT_RECV" before each.
    // 0 bytes succeed without writing.
    int Send(const std::uint8_t* pbBuff, std::uint32_t uiLength) override;
    // The device's boot loader takes whatever comes for the rest of a frame it has part of,
    // until its receive time-out drops that part. Such a part may be left by a run killed inside
    // a frame, and a run started again at once would lose its first command in it. So a frame
    // waits until [USB] FrameGap ms (longer than that time-out; empty: 1,000) have passed
    // without other bytes from us since the port was first opened, or since Send wrote bytes
    // or a frame failed half way; after a whole frame, or once the port of a device that
    // vanished meanwhile (a re-enumeration) is open again, the next goes at once.
    int SendFrame(const std::uint8_t* pbBuff, std::uint32_t uiLength) override;
    // Polls every WaitTime ms: fails after 20 polls that brought nothing; once a byte has come,
    // polls until the count is complete or "KILL_EVENT_RECV" is set.
    int Recv(std::uint8_t* pbBuff, std::uint32_t uiLength) override;
    std::uint32_t PendingBytes() override;

    // Channel 0 is the modem port, channel 1 its second path; both are configured like the
    // update port. 1 when both are open; fails without doing anything while channel 0 is open.
    int OpenAtChannels();
    void CloseAtChannels();
    // One write of all bytes.
    int AtWrite(int nChannel, const std::uint8_t* pbBuff, std::uint32_t uiLength);
    // What is there, up to the capacity, without waiting; 1 also when nothing was there.
    int AtRead(int nChannel, std::uint8_t* pbBuff, std::uint32_t uiCapacity, std::uint32_t& uiRead);
    // Waits until bytes arrive on the channel: 1 input, 0 time-out or failure.
    int AtWaitInput(int nChannel, std::uint32_t dwTimeoutMs);

    // Finds the Mobile Broadband interface whose id is the NetCfgInstanceId of the device's
    // network adapter (the first Net device whose hardware id is exactly the NETIF id).
    int AttachMbnInterface();
    // 0 home network, 1 roaming or partner network, -1 no usable state after nRetries + 1
    // attempts 5 seconds apart (at once when no interface is attached).
    int GetRegisterState(int nRetries);
    // Firmware text and device id, each cut at a character boundary to fit with its NUL.
    // 1, or -1 when no interface is attached or it has no capability record.
    int GetDeviceInfo(char (&szFirmware)[10], char (&szDeviceId)[20]);
    // 2 while the interface's data connection is activated, else 0.
    int GetConnectionState();
    // 2 while a dial-up connection over the device ("mirato ZR40" in its device name) is up.
    int IsDialUpActive();
    // 1 current, 0 outdated, -1 a function or its driver missing. The modem function (bMbnMode:
    // the network adapter) and the update port must each have a kernel driver bound (sysfs) or
    // a DriverVersion containing "1.0.8.0" (catalogue); the connection software must report a
    // FileVersion containing "1.04" (no file or no FileVersion counts as current).
    int CheckDriverVersions(bool bMbnMode);

    const CComString& GetUpdatePort() const { return m_strUpdatePort; }
    const CComString& GetModemPort() const { return m_strModemPort; }
    bool IsOpened() const { return m_bOpened.load() != 0; }
    // The update port itself is open (the watcher closes it when the device vanishes).
    bool IsPortValid() const { return m_hPort.IsOpen(); }

  protected:
    // Writes one block completely; the error record tells why not.
    virtual int WriteBlock(const std::uint8_t* pbBlock, std::size_t nLength);

  private:
    friend class CPortWatchThread;

    std::shared_ptr<const platform::devices::Backend> DeviceBackend() const;
    std::vector<platform::devices::DeviceInfo> Find(platform::devices::SetupClass setupClass,
                                                    std::string_view idPart) const;
    // 1 current, 0 outdated, -1 no device or no driver.
    int DriverState(platform::devices::SetupClass setupClass, std::string_view hardwareId) const;
    // The device node of a port name.
    std::string DevicePath(const CComString& cstrName) const;
    std::shared_ptr<platform::mobile::MobileBroadband> MobileService() const;
    bool ConnectionSoftCurrent() const;
    int ConfigurePort(platform::serial::SerialPort& port);
    // Ends the watcher, drops both directions' buffers and closes the update port; joins a
    // watcher that ended by itself. Never called on the watcher's own thread.
    void ClosePort();
    // The watcher's loop.
    int WatchPort();
    // The watcher found the device gone: close the port unless its owner is closing it.
    void LostDevice();
    platform::serial::SerialPort* AtChannel(int nChannel);
    int SendBlocks(const std::uint8_t* pbBuff, std::uint32_t uiLength);
    int WriteFailed(const platform::serial::Error& error);

    int m_nOpenTimeout = 30;  // under the owner's portLock, as Open is
    CParamFile* m_pInitData;
    platform::kernel::Clock& m_clock;
    CUsbPortDiscovery m_discovery;
    CComString m_strUpdatePort;
    CComString m_strModemPort;
    platform::serial::SerialPort m_hPort;
    std::unique_ptr<CPortWatchThread> m_hWatchThread;
    std::atomic<int> m_bWatchStop{0};
    std::atomic<bool> m_bDeviceGone{false};
    platform::serial::SerialPort m_hAtPort;
    platform::serial::SerialPort m_hAtPort2;
    std::unique_ptr<CMbnInterface> m_pMbnInterface;
    std::atomic<int> m_bOpened{0};
    std::shared_ptr<platform::kernel::Event> m_pReadEvent;
    std::shared_ptr<platform::kernel::Event> m_pKillEvent;
    int m_nWaitTime = 0;
    // 0 or less fails every Send that has bytes to write.
    int m_nBlockSize = kDefaultBlockSize;
    int m_nFrameGapMs = kDefaultFrameGapMs;
    // Since when the line has been quiet as far as we know; empty while the loader is known to
    // be between frames. Under the owner's portLock, as Send is.
    std::optional<std::uint64_t> m_qwQuietSinceMs;
    bool m_bEverOpened = false;
    // Keeps the watcher's emergency close apart from Close and PortOpen.
    platform::kernel::CriticalSection m_stateLock;
};
