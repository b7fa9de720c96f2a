#include "sim/devsim/Simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace sim::devsim {

namespace {

// Reads per wake-up of one terminal before the others get their turn.
constexpr int kReadsPerWake = 16;

std::string RegisterState(Area area) {
    switch (area) {
        case Area::Home:
            return "3";
        case Area::Roaming:
            return "4";
        case Area::None:
            return "1";
        case Area::Empty:
            return "2";
    }
    return "0";
}

}  // namespace

std::span<std::uint8_t> Simulator::RxBuffer::Free() {
    if (m_start > 0 && m_storage.size() - m_end < 65536) {
        std::copy(m_storage.begin() + static_cast<std::ptrdiff_t>(m_start),
                  m_storage.begin() + static_cast<std::ptrdiff_t>(m_end), m_storage.begin());
        m_end -= m_start;
        m_start = 0;
    }
    return std::span<std::uint8_t>(m_storage).subspan(m_end);
}

void Simulator::RxBuffer::Consume(std::size_t n) {
    m_start += std::min(n, m_end - m_start);
    if (m_start == m_end) {
        m_start = m_end = 0;
    }
}

Simulator::Simulator(Options options)
    : m_options(std::move(options)),
      m_owner("zr40-devsim:" + std::to_string(::getpid())),
      m_bootLoader(m_options, m_memory) {
    m_modem.version = m_options.version;
    m_modem.serial = m_options.serial;
    m_modem.area = m_options.area;
    m_modem.silent = m_options.silentModem;
}

Simulator::~Simulator() {
    CloseChannel(m_update);
    CloseChannel(m_modemChannels[0]);
    CloseChannel(m_modemChannels[1]);
    if (m_published) {
        std::string error;
        WriteCatalog(m_options.CatalogPath(), m_owner, {}, error);
    }
}

int Simulator::Start(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(m_options.dir, ec);
    if (ec || !std::filesystem::is_directory(m_options.dir)) {
        error = "cannot create " + m_options.dir + ": " + ec.message();
        return 0;
    }
    if (!m_options.frameLog.empty()) {
        m_frameLog.reset(std::fopen(m_options.frameLog.c_str(), "w"));
        if (!m_frameLog) {
            error = "cannot open " + m_options.frameLog + ": " + std::strerror(errno);
            return 0;
        }
    }
    if (m_options.gadget) {
        m_gadget = Gadget::Create({.udc = m_options.gadgetUdc,
                                   .serial = m_options.serial,
                                   .updateFirst = m_options.gadgetUpdateFirst},
                                  error);
        if (!m_gadget) {
            return 0;
        }
    }
    if (Appear(Mode::Normal, error) == 0) {
        return 0;
    }
    Event("ready");
    return 1;
}

int Simulator::Run(int stopFd) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Channel*, std::uint64_t>> owners;
    while (true) {
        const Clock::time_point now = Clock::now();
        AppearIfDue(now);
        FlushDue(m_update, now);
        CutIfDue(now);
        PollSet(stopFd, fds, owners);
        int n = ::poll(fds.data(), fds.size(), PollTimeout());
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "zr40-devsim: poll: %s\n", std::strerror(errno));
            break;
        }
        if (n <= 0) {
            continue;
        }
        if (fds[0].revents != 0 && !TakeControl(stopFd)) {
            break;
        }
        ServeReady(fds, owners);
    }
    Shutdown();
    return 0;
}

bool Simulator::TakeControl(int stopFd) {
    char bytes[64];
    const ssize_t n = ::read(stopFd, bytes, sizeof bytes);
    if (n < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    bool keepGoing = n > 0;
    for (ssize_t i = 0; i < n; ++i) {
        if (bytes[i] == kUpdateDriversByte) {
            UpdateDrivers();
        } else if (bytes[i] == kResumeByte) {
            Resume();
        } else {
            keepGoing = false;
        }
    }
    return keepGoing;
}

void Simulator::UpdateDrivers() {
    m_options.driverVersion = kCurrentDriverVersion;
    WriteCatalogue();
    Event("drivers-updated");
}

void Simulator::Resume() {
    if (!m_stalled) {
        return;
    }
    m_stalled = false;
    Event("resumed");
    if (m_update.Present()) {
        FeedUpdate();
    }
}

void Simulator::AppearIfDue(Clock::time_point now) {
    if (!m_appearAt || *m_appearAt > now) {
        return;
    }
    std::string error;
    if (Appear(m_appearMode, error) == 0) {
        // Half a device is worse than none: it stays away.
        std::fprintf(stderr, "zr40-devsim: %s\n", error.c_str());
        m_mode = Mode::Unplugged;
        CloseChannel(m_update);
        CloseChannel(m_modemChannels[0]);
        CloseChannel(m_modemChannels[1]);
        WriteCatalogue();
    }
}

void Simulator::PollSet(int stopFd, std::vector<pollfd>& fds,
                        std::vector<std::pair<Channel*, std::uint64_t>>& owners) {
    fds.clear();
    owners.clear();
    fds.push_back({stopFd, POLLIN, 0});
    owners.emplace_back(nullptr, 0);
    for (Channel* c : {&m_update, &m_modemChannels[0], &m_modemChannels[1]}) {
        if (c->Present() && !c->broken) {
            short events = c == &m_update && m_stalled ? 0 : POLLIN;
            if (c->txPos < c->tx.size()) {
                events |= POLLOUT;
            }
            fds.push_back({c->pty->Master(), events, 0});
            owners.emplace_back(c, c->generation);
        }
    }
}

int Simulator::PollTimeout() const {
    if (std::optional<Clock::time_point> deadline = NextDeadline()) {
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
    }
    return -1;
}

void Simulator::ServeReady(const std::vector<pollfd>& fds,
                           const std::vector<std::pair<Channel*, std::uint64_t>>& owners) {
    for (std::size_t i = 1; i < fds.size(); ++i) {
        Channel* c = owners[i].first;
        // An earlier channel's input may have taken the device away meanwhile.
        if (fds[i].revents == 0 || !c->Present() || c->generation != owners[i].second) {
            continue;
        }
        if ((fds[i].revents & POLLOUT) != 0) {
            WriteOut(*c);
        }
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            c == &m_update ? ReadUpdate() : ReadModem(*c);
        }
    }
}

void Simulator::Shutdown() {
    m_mode = Mode::Unplugged;
    m_appearAt.reset();
    Vanish();
    std::string error;
    if (WriteCatalog(m_options.CatalogPath(), m_owner, {}, error) == 0) {
        std::fprintf(stderr, "zr40-devsim: %s\n", error.c_str());
    }
    m_published = false;
    Event("stopped");
}

int Simulator::OpenChannel(Channel& channel, const std::string& link, std::string& error) {
    channel.pty = std::make_unique<PseudoTerminal>();
    ++channel.generation;
    channel.rx.Clear();
    channel.tx.clear();
    channel.txPos = 0;
    channel.pending.clear();
    channel.cutAt.reset();
    channel.broken = false;
    if (m_gadget) {
        const GadgetPort port = link != UpdateLink()         ? GadgetPort::Modem
                                : m_mode == Mode::BootLoader ? GadgetPort::BootUpdate
                                                             : GadgetPort::Update;
        if (channel.pty->OpenTty(m_gadget->Tty(port), error) == 0) {
            channel.pty.reset();
            return 0;
        }
        return 1;
    }
    if (channel.pty->Open(link, error) == 0) {
        channel.pty.reset();
        return 0;
    }
    return 1;
}

void Simulator::CloseChannel(Channel& channel) {
    if (channel.pty) {
        channel.pty.reset();
        ++channel.generation;
    }
    channel.rx.Clear();
    channel.tx.clear();
    channel.txPos = 0;
    channel.pending.clear();
    channel.cutAt.reset();
    channel.at.reset();
}

int Simulator::Appear(Mode mode, std::string& error) {
    m_appearAt.reset();
    m_mode = mode;
    m_stalled = false;
    const bool withModem = mode == Mode::Normal && !m_options.noModem;
    if (mode == Mode::Normal) {
        const bool updated =
            !m_memory.versionRecord.empty() && m_memory.versionRecord == m_options.gen;
        m_modem.version = updated ? m_options.newVersion : m_options.version;
        m_normalPort =
            std::make_unique<NormalPort>(updated ? m_options.NewDateCode() : m_options.dateCode);
        if (withModem) {
            const std::string links[2] = {ModemLink(), ModemLink() + kSecondChannelSuffix};
            // A USB modem port is one tty: the PC opens it twice for the second channel.
            for (int i = 0; i < (m_gadget ? 1 : 2); ++i) {
                if (OpenChannel(m_modemChannels[i], links[i], error) == 0) {
                    return 0;
                }
                m_modemChannels[i].at = std::make_unique<AtChannel>(m_modem, m_options.echo);
            }
        }
    } else {
        m_bootLoader.Restart();
    }
    if (OpenChannel(m_update, UpdateLink(), error) == 0) {
        return 0;
    }
    // The other program had the port of the device as it was plugged in; a re-enumeration ends it.
    if (m_options.busy && m_firstAppearance && m_update.pty->HoldBusy(error) == 0) {
        return 0;
    }
    // Only now may the PC see the device: its side of every port is open.
    if (m_gadget && m_gadget->Bind(mode == Mode::BootLoader, error) == 0) {
        return 0;
    }
    WriteCatalogue();
    if (!m_firstAppearance) {
        if (mode == Mode::BootLoader) {
            Event("appeared update bootloader");
        } else {
            if (withModem) {
                Event("appeared modem");
            }
            Event("appeared update normal");
        }
    }
    m_firstAppearance = false;
    return 1;
}

void Simulator::Vanish() {
    const bool hadModem = m_modemChannels[0].Present();
    const bool hadUpdate = m_update.Present();
    if (m_gadget) {
        m_gadget->Unbind();
    }
    if (m_mode != Mode::Unplugged) {
        m_mode = Mode::Away;
    }
    CloseChannel(m_modemChannels[0]);
    CloseChannel(m_modemChannels[1]);
    CloseChannel(m_update);
    WriteCatalogue();
    if (hadModem) {
        Event("vanished modem");
    }
    if (hadUpdate) {
        Event("vanished update");
    }
}

void Simulator::EnterDownloadMode() {
    Vanish();
    m_appearMode = Mode::BootLoader;
    m_appearAt = Clock::now() + std::chrono::milliseconds(m_options.reenumMs);
}

void Simulator::Reset() {
    Vanish();
    m_appearMode = Mode::Normal;
    m_appearAt = Clock::now() + std::chrono::milliseconds(m_options.reenumMs);
}

void Simulator::Unplug() {
    m_mode = Mode::Unplugged;
    m_appearAt.reset();
    Vanish();
    Event("unplugged");
}

void Simulator::Stall() {
    m_stalled = true;
}

std::vector<CatalogRecord> Simulator::Records() const {
    std::vector<CatalogRecord> records;
    const std::string& driver = m_options.driverVersion;
    const bool normal = m_mode == Mode::Normal;
    const bool modem = normal && m_modemChannels[0].Present();
    if (m_update.Present()) {
        records.push_back(
            {"Ports", kUpdateHardwareId, {{"PortName", UpdateLink()}, {"DriverVersion", driver}}});
    }
    if (modem) {
        records.push_back(
            {"Modem", kModemHardwareId, {{"PortName", ModemLink()}, {"DriverVersion", driver}}});
    }
    if (normal) {
        records.push_back({"Net",
                           kNetHardwareId,
                           {{"NetCfgInstanceId", m_options.netId}, {"DriverVersion", driver}}});
        records.push_back({"Mbn",
                           m_options.netId,
                           {{"RegisterState", RegisterState(m_options.area)},
                            {"Firmware", m_modem.version},
                            {"DeviceId", m_options.serial},
                            {"ConnectionState", m_options.dataCall ? "1" : "0"}}});
    }
    if (modem && m_options.dataCall) {
        records.push_back({"DialUp", "ZR40 Internet", {{"DeviceName", kDialUpDevice}}});
    }
    if (m_options.connectionSoft) {
        records.push_back({"Process", kConnectionSoft, {}});
    }
    return records;
}

void Simulator::WriteCatalogue() {
    // A gadget is found through sysfs; its records would name links that are never made.
    if (m_gadget) {
        return;
    }
    std::string error;
    if (WriteCatalog(m_options.CatalogPath(), m_owner, Records(), error) == 0) {
        std::fprintf(stderr, "zr40-devsim: %s\n", error.c_str());
    }
    m_published = true;
}

ssize_t Simulator::ReadTerminal(Channel& c, std::span<std::uint8_t> into, const char* what) {
    const ssize_t n = ::read(c.pty->Master(), into.data(), into.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return 0;
    }
    if (n <= 0) {
        std::fprintf(stderr, "zr40-devsim: %s: %s\n", what,
                     n == 0 ? "end of file" : std::strerror(errno));
        c.broken = true;
        return -1;
    }
    return n;
}

void Simulator::ReadUpdate() {
    Channel& c = m_update;
    const std::uint64_t generation = c.generation;
    auto gone = [&] { return !c.Present() || c.generation != generation; };
    for (int i = 0; i < kReadsPerWake && !gone() && !m_stalled; ++i) {
        std::span<std::uint8_t> space = c.rx.Free();
        if (space.empty()) {
            // Cannot happen with bounded frames; never wedge on it either.
            FrameLog("rx GARBAGE - " + std::to_string(c.rx.Data().size()));
            c.rx.Clear();
            space = c.rx.Free();
        }
        const ssize_t n = ReadTerminal(c, space, "update port");
        if (n <= 0) {
            return;
        }
        c.rx.Commit(static_cast<std::size_t>(n));
        FeedUpdate();
    }
}

void Simulator::FeedUpdate() {
    Channel& c = m_update;
    const std::uint64_t generation = c.generation;
    auto gone = [&] { return !c.Present() || c.generation != generation; };
    while (!gone() && !m_stalled) {
        std::span<const std::uint8_t> data = c.rx.Data();
        if (data.empty()) {
            break;
        }
        PortEngine& engine = m_mode == Mode::Normal ? static_cast<PortEngine&>(*m_normalPort)
                                                    : static_cast<PortEngine&>(m_bootLoader);
        std::size_t used = engine.Step(data, *this);
        if (gone() || used == 0) {
            break;
        }
        c.rx.Consume(used);
    }
    if (gone()) {
        return;
    }
    // A stalled device leaves the bytes in the terminal: nothing is late then.
    c.cutAt.reset();
    if (m_mode == Mode::BootLoader && !m_stalled && m_options.frameGapMs > 0 &&
        !c.rx.Data().empty()) {
        c.cutAt = Clock::now() + std::chrono::milliseconds(m_options.frameGapMs);
    }
}

void Simulator::CutIfDue(Clock::time_point now) {
    Channel& c = m_update;
    if (!c.cutAt || *c.cutAt > now) {
        return;
    }
    if (c.Present() && !c.broken) {
        // Bytes already waiting may have come in time; they are read first and start the
        // time-out again.
        pollfd p{c.pty->Master(), POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
            return;
        }
    }
    c.cutAt.reset();
    m_bootLoader.Cut(c.rx.Data(), *this);
    c.rx.Clear();
}

void Simulator::ReadModem(Channel& c) {
    std::uint8_t buf[4096];
    const ssize_t n = ReadTerminal(c, buf, "modem port");
    if (n <= 0) {
        return;
    }
    std::string out;
    c.at->Feed(std::span<const std::uint8_t>(buf, static_cast<std::size_t>(n)), out);
    if (!out.empty()) {
        c.tx.insert(c.tx.end(), out.begin(), out.end());
        WriteOut(c);
    }
}

void Simulator::Send(Bytes bytes, std::uint32_t delayMs, std::string frameLog) {
    if (!m_update.Present()) {
        return;
    }
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMs);
    if (!m_update.pending.empty()) {
        due = std::max(due, m_update.pending.back().due);
    }
    m_update.pending.push_back({due, std::move(bytes), std::move(frameLog)});
    FlushDue(m_update, Clock::now());
}

void Simulator::FlushDue(Channel& c, Clock::time_point now) {
    bool added = false;
    while (!c.pending.empty() && c.pending.front().due <= now) {
        Pending& p = c.pending.front();
        if (c.txPos == c.tx.size()) {
            c.tx.clear();
            c.txPos = 0;
        }
        c.tx.insert(c.tx.end(), p.bytes.begin(), p.bytes.end());
        if (!p.log.empty()) {
            FrameLog("tx " + p.log);
        }
        c.pending.pop_front();
        added = true;
    }
    if (added) {
        WriteOut(c);
    }
}

void Simulator::WriteOut(Channel& c) {
    while (c.Present() && !c.broken && c.txPos < c.tx.size()) {
        ssize_t n = ::write(c.pty->Master(), c.tx.data() + c.txPos, c.tx.size() - c.txPos);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN) {
                std::fprintf(stderr, "zr40-devsim: write: %s\n", std::strerror(errno));
                c.broken = true;
            }
            return;
        }
        c.txPos += static_cast<std::size_t>(n);
    }
    if (c.txPos == c.tx.size()) {
        c.tx.clear();
        c.txPos = 0;
    }
}

std::optional<Simulator::Clock::time_point> Simulator::NextDeadline() const {
    std::optional<Clock::time_point> next = m_appearAt;
    for (std::optional<Clock::time_point> due :
         {m_update.pending.empty() ? std::nullopt : std::optional(m_update.pending.front().due),
          m_update.cutAt}) {
        if (due) {
            next = next ? std::min(*next, *due) : *due;
        }
    }
    return next;
}

void Simulator::FrameLog(std::string_view line) {
    if (m_frameLog) {
        std::fwrite(line.data(), 1, line.size(), m_frameLog.get());
        std::fputc('\n', m_frameLog.get());
        std::fflush(m_frameLog.get());
    }
}

void Simulator::Event(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace sim::devsim
