// The simulated ZR-40: one event loop over the pseudo-terminals of its functions, the timers of
// re-enumeration and delayed answers, and the device catalogue.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/devsim/AtModem.h"
#include "sim/devsim/BootLoader.h"
#include "sim/devsim/Catalog.h"
#include "sim/devsim/Gadget.h"
#include "sim/devsim/Host.h"
#include "sim/devsim/NormalPort.h"
#include "sim/devsim/Options.h"
#include "sim/devsim/Pty.h"

struct pollfd;

namespace sim::devsim {

inline constexpr const char* kUpdateHardwareId = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&UPDATE";
inline constexpr const char* kModemHardwareId = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&MODEM";
inline constexpr const char* kNetHardwareId = "MIRATO_ZEDA\\VID_1D7A&PID_3C52&NETIF";
inline constexpr const char* kSecondChannelSuffix = "_{0254B0B5-AA88-461f-8044-3D5C47AB5709}";
inline constexpr const char* kConnectionSoft = "ZR40_ConnectionSoft.exe";
inline constexpr const char* kDialUpDevice = "mirato ZR40 USB Modem";
// A byte on Run's stop descriptor that updates the drivers instead of stopping.
inline constexpr char kUpdateDriversByte = 'D';
// A byte on Run's stop descriptor that ends a stall of the update port.
inline constexpr char kResumeByte = 'R';

class Simulator : private Host {
  public:
    explicit Simulator(Options options);
    ~Simulator() override;
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Run directory, frame log, the device in normal mode, catalogue, "ready". 1 or 0 (error).
    int Start(std::string& error);

    // Serves the device until stopFd becomes readable with anything but kUpdateDriversByte or
    // kResumeByte (or its end); then takes the device away (symlinks and catalogue records removed)
    // and prints "stopped". Returns the exit code.
    int Run(int stopFd);

    // DriverVersion 1.0.8.0 from now on, in the catalogue at once; prints "drivers-updated".
    void UpdateDrivers();

    // The update port is read again after a stall; prints "resumed".
    void Resume();

  private:
    using Clock = std::chrono::steady_clock;
    enum class Mode { Normal, BootLoader, Away, Unplugged };

    // Input bounded by the largest frame: engines consume a frame as soon as it is complete.
    class RxBuffer {
      public:
        RxBuffer() : m_storage(kCapacity) {}
        std::span<std::uint8_t> Free();
        void Commit(std::size_t n) { m_end += n; }
        std::span<const std::uint8_t> Data() const {
            return std::span<const std::uint8_t>(m_storage).subspan(m_start, m_end - m_start);
        }
        void Consume(std::size_t n);
        void Clear() { m_start = m_end = 0; }

      private:
        static constexpr std::size_t kCapacity = 4 * 65536;
        std::vector<std::uint8_t> m_storage;
        std::size_t m_start = 0;
        std::size_t m_end = 0;
    };

    struct Pending {
        Clock::time_point due;
        Bytes bytes;
        std::string log;
    };

    struct Channel {
        std::unique_ptr<PseudoTerminal> pty;
        std::uint64_t generation = 0;  // tells a closed and reopened channel apart
        RxBuffer rx;
        Bytes tx;
        std::size_t txPos = 0;
        std::deque<Pending> pending;
        // Update port: when the boot loader gives up the partial frame in rx.
        std::optional<Clock::time_point> cutAt;
        std::unique_ptr<AtChannel> at;  // modem channels
        bool broken = false;            // the terminal failed; no longer polled
        bool Present() const { return pty != nullptr; }
    };

    // Host
    void Send(Bytes bytes, std::uint32_t delayMs, std::string frameLog) override;
    void FrameLog(std::string_view line) override;
    void Event(std::string_view line) override;
    void EnterDownloadMode() override;
    void Reset() override;
    void Unplug() override;
    void Stall() override;

    // Run's steps: the device comes back when its time has come, the terminals to poll (the
    // stop descriptor first, each channel with the generation it had), how long to wait, the
    // channels that are ready, and the end.
    void AppearIfDue(Clock::time_point now);
    void PollSet(int stopFd, std::vector<pollfd>& fds,
                 std::vector<std::pair<Channel*, std::uint64_t>>& owners);
    int PollTimeout() const;
    void ServeReady(const std::vector<pollfd>& fds,
                    const std::vector<std::pair<Channel*, std::uint64_t>>& owners);
    void Shutdown();
    // Reads the stop descriptor: false when the simulator is to stop.
    bool TakeControl(int stopFd);

    int OpenChannel(Channel& channel, const std::string& link, std::string& error);
    void CloseChannel(Channel& channel);
    int Appear(Mode mode, std::string& error);
    void Vanish();
    void WriteCatalogue();
    std::vector<CatalogRecord> Records() const;

    // One read of what the channel's terminal holds: the byte count, 0 when nothing was there,
    // -1 when the terminal failed (the channel is then broken).
    ssize_t ReadTerminal(Channel& channel, std::span<std::uint8_t> into, const char* what);
    void ReadUpdate();
    // Steps the engine over what rx holds, then starts the receive time-out on what is left.
    void FeedUpdate();
    void CutIfDue(Clock::time_point now);
    void ReadModem(Channel& channel);
    void FlushDue(Channel& channel, Clock::time_point now);
    void WriteOut(Channel& channel);
    std::optional<Clock::time_point> NextDeadline() const;

    std::string UpdateLink() const { return m_options.dir + "/ttyZR40_UPDATE"; }
    std::string ModemLink() const { return m_options.dir + "/ttyZR40_MODEM"; }

    Options m_options;
    std::string m_owner;
    DeviceMemory m_memory;
    BootLoader m_bootLoader;
    std::unique_ptr<NormalPort> m_normalPort;
    ModemInfo m_modem;
    Mode m_mode = Mode::Away;
    bool m_firstAppearance = true;
    bool m_published = false;  // the catalogue holds records of ours
    std::optional<Clock::time_point> m_appearAt;
    Mode m_appearMode = Mode::Normal;
    bool m_stalled = false;  // the update port is not read
    Channel m_update;
    Channel m_modemChannels[2];
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_frameLog{nullptr, &std::fclose};
    std::unique_ptr<Gadget> m_gadget;
};

}  // namespace sim::devsim
