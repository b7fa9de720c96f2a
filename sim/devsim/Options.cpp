#include "sim/devsim/Options.h"

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim::devsim {

namespace {

// Upper bounds that keep a typo from turning into a simulator that never answers.
constexpr std::uint64_t kMaxDelayMs = 3600000;
constexpr std::size_t kMaxVersionText = 99;

int ParseUnsigned(std::string_view text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty()) {
        return 0;
    }
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v > max) {
        return 0;
    }
    value = v;
    return 1;
}

// Decimal with an optional sign, or 0x followed by up to eight hex digits (the code's bit pattern).
int ParseCode(std::string_view text, std::int32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        std::uint32_t v = 0;
        std::string_view digits = text.substr(2);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v, 16);
        if (ec != std::errc() || end != digits.data() + digits.size()) {
            return 0;
        }
        value = static_cast<std::int32_t>(v);
        return 1;
    }
    std::int32_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return 0;
    }
    value = v;
    return 1;
}

bool IsPrintable(std::string_view text) {
    for (char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

// Catalogue values end at a TAB or a line end; those would break the record.
bool IsCatalogSafe(std::string_view text) {
    return IsPrintable(text);
}

std::vector<std::string_view> SplitColons(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t colon = text.find(':', start);
        if (colon == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
}

int ParseFrameFault(FaultKind kind, std::string_view value, Options& options, std::string& error) {
    std::vector<std::string_view> parts = SplitColons(value);
    if (kind == FaultKind::FinishError) {
        // MODULE:CODE, no frame number: the fault is kept as frame 0.
        if (parts.size() == 2) {
            parts.insert(parts.begin() + 1, "0");
        } else {
            error = "expected MODULE:CODE, got '" + std::string(value) + "'";
            return 0;
        }
    }
    const bool withExtra = kind == FaultKind::Error || kind == FaultKind::LateAck ||
                           kind == FaultKind::FinishError || kind == FaultKind::Stall;
    if (parts.size() != (withExtra ? 3u : 2u)) {
        error = "expected MODULE:FRAME" + std::string(withExtra ? ":VALUE" : "") + ", got '" +
                std::string(value) + "'";
        return 0;
    }
    FrameFault fault;
    fault.kind = kind;
    fault.module = FindModuleByAnyName(parts[0]);
    if (fault.module == nullptr) {
        error = "unknown module '" + std::string(parts[0]) + "'";
        return 0;
    }
    std::uint64_t frame = 0;
    if (ParseUnsigned(parts[1], 0xFFFFFFFFu, frame) == 0 ||
        (frame == 0) != (kind == FaultKind::FinishError)) {
        error = "frame numbers start at 1, got '" + std::string(parts[1]) + "'";
        return 0;
    }
    fault.frame = static_cast<std::uint32_t>(frame);
    if ((kind == FaultKind::Error || kind == FaultKind::FinishError) &&
        ParseCode(parts[2], fault.code) == 0) {
        error = "bad error code '" + std::string(parts[2]) + "'";
        return 0;
    }
    if (kind == FaultKind::LateAck) {
        std::uint64_t ms = 0;
        if (ParseUnsigned(parts[2], kMaxDelayMs, ms) == 0) {
            error = "bad delay '" + std::string(parts[2]) + "'";
            return 0;
        }
        fault.delayMs = static_cast<std::uint32_t>(ms);
    }
    if (kind == FaultKind::Stall) {
        // A stall at or beyond a frame's end would never be inside it.
        std::uint64_t bytes = 0;
        if (ParseUnsigned(parts[2], image::kMaxFrameSize - 1, bytes) == 0 || bytes == 0) {
            error = "bad byte count '" + std::string(parts[2]) + "'";
            return 0;
        }
        fault.bytes = static_cast<std::uint32_t>(bytes);
    }
    options.frameFaults.push_back(fault);
    return 1;
}

int ParseModuleVersion(std::string_view value, Options& options, std::string& error) {
    std::size_t eq = value.find('=');
    std::string_view name = value.substr(0, eq);
    int index = name == "C_L1" ? 0 : name == "C_L2" ? 1 : name == "C_L3" ? 2 : -1;
    if (eq == std::string_view::npos || index < 0) {
        error = "expected C_L1=TEXT, C_L2=TEXT or C_L3=TEXT";
        return 0;
    }
    std::string_view text = value.substr(eq + 1);
    if (text.size() > kMaxVersionText || !IsPrintable(text)) {
        error = "module version must be printable and at most 99 characters";
        return 0;
    }
    options.moduleVersions[index] = std::string(text);
    return 1;
}

bool IsDigits(std::string_view text, std::size_t count) {
    if (text.size() != count) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// One argument of the command line with its value, written inline ("--dir=x") or as the next
// argument.
class Arg {
  public:
    Arg(int argc, const char* const* argv, int& i, std::string& error)
        : m_argc(argc), m_argv(argv), m_i(i), m_error(error), m_arg(argv[i]) {
        if (std::size_t eq = m_arg.find('=');
            m_arg.starts_with("--") && eq != std::string_view::npos) {
            m_value = m_arg.substr(eq + 1);
            m_arg = m_arg.substr(0, eq);
            m_inlineValue = true;
        }
    }

    std::string_view Name() const { return m_arg; }
    std::string_view Value() const { return m_value; }
    std::string& Error() { return m_error; }

    bool Flag(std::string_view name) const { return m_arg == name && !m_inlineValue; }
    // The option, with its value taken; false for another option or a missing value (the error
    // says which).
    bool Takes(std::string_view name) {
        if (m_arg != name) {
            return false;
        }
        if (!m_inlineValue) {
            if (m_i + 1 >= m_argc) {
                m_error = std::string(name) + " needs a value";
                return false;
            }
            m_value = m_argv[++m_i];
        }
        return true;
    }
    int Text(std::string& out, std::size_t max) {
        if (m_value.empty() || m_value.size() > max || !IsCatalogSafe(m_value)) {
            m_error = std::string(m_arg) + ": empty, too long or not printable";
            return 0;
        }
        out = std::string(m_value);
        return 1;
    }
    int Number(std::uint32_t& out) {
        std::uint64_t v = 0;
        if (ParseUnsigned(m_value, kMaxDelayMs, v) == 0) {
            m_error =
                std::string(m_arg) + ": expected milliseconds, got '" + std::string(m_value) + "'";
            return 0;
        }
        out = static_cast<std::uint32_t>(v);
        return 1;
    }
    int OnOff(bool& out) {
        if (m_value != "on" && m_value != "off") {
            m_error = std::string(m_arg) + ": expected on or off";
            return 0;
        }
        out = m_value == "on";
        return 1;
    }
    int Fail(std::string text) {
        m_error = std::move(text);
        return 0;
    }

  private:
    int m_argc;
    const char* const* m_argv;
    int& m_i;
    std::string& m_error;
    std::string_view m_arg;
    std::string_view m_value;
    bool m_inlineValue = false;
};

// Each group of options: 1 taken, 0 wrong (the error says why), kNotMine another group's.
constexpr int kNotMine = -1;

// The options that take a text or a number of milliseconds, and --help.
int ParseValueOption(Arg& a, Options& options) {
    if (a.Flag("--help") || a.Flag("-h")) {
        options.help = true;
        return 1;
    }
    struct TextOption {
        const char* name;
        std::string Options::*field;
        std::size_t max;
    };
    for (const TextOption& o : {TextOption{"--dir", &Options::dir, 4096},
                                TextOption{"--catalog", &Options::catalog, 4096},
                                TextOption{"--frame-log", &Options::frameLog, 4096},
                                TextOption{"--version", &Options::version, 32},
                                TextOption{"--new-version", &Options::newVersion, 32},
                                TextOption{"--gen", &Options::gen, kMaxVersionText},
                                TextOption{"--driver-version", &Options::driverVersion, 64},
                                TextOption{"--net-id", &Options::netId, 64}}) {
        if (a.Takes(o.name)) {
            return a.Text(options.*o.field, o.max);
        }
    }
    if (a.Flag("--outdated-drivers")) {
        options.driverVersion = kOutdatedDriverVersion;
        return 1;
    }
    if (a.Takes("--reenum-ms")) {
        return a.Number(options.reenumMs);
    }
    if (a.Takes("--flash-ms-per-block")) {
        return a.Number(options.flashMsPerBlock);
    }
    if (a.Takes("--erase-ms-per-block")) {
        return a.Number(options.eraseMsPerBlock.emplace());
    }
    if (a.Takes("--frame-gap-ms")) {
        return a.Number(options.frameGapMs);
    }
    return kNotMine;
}

// What the device reports about itself.
int ParseDeviceOption(Arg& a, Options& options) {
    if (a.Takes("--date-code") || a.Takes("--new-date-code")) {
        if (!IsPrintable(a.Value()) || a.Value().size() != 6) {
            return a.Fail(std::string(a.Name()) + ": expected six characters");
        }
        (a.Name() == "--date-code" ? options.dateCode : options.newDateCode) = a.Value();
        return 1;
    }
    if (a.Takes("--serial")) {
        if (!IsDigits(a.Value(), 15)) {
            return a.Fail("--serial: expected 15 digits");
        }
        options.serial = std::string(a.Value());
        return 1;
    }
    if (a.Takes("--module-version")) {
        return ParseModuleVersion(a.Value(), options, a.Error());
    }
    return kNotMine;
}

int ParseArea(Arg& a, Options& options) {
    const std::string_view value = a.Value();
    if (value == "home") {
        options.area = Area::Home;
    } else if (value == "roaming") {
        options.area = Area::Roaming;
    } else if (value == "none") {
        options.area = Area::None;
    } else if (value == "empty") {
        options.area = Area::Empty;
    } else {
        return a.Fail("--area: expected home, roaming, none or empty");
    }
    return 1;
}

// The modem side and the PC around the device.
int ParseModemOption(Arg& a, Options& options) {
    if (a.Takes("--echo")) {
        return a.OnOff(options.echo);
    }
    if (a.Takes("--area")) {
        return ParseArea(a, options);
    }
    for (auto [name, flag] :
         {std::pair{"--silent-modem", &options.silentModem},
          std::pair{"--no-modem", &options.noModem}, std::pair{"--busy", &options.busy},
          std::pair{"--connection-soft", &options.connectionSoft},
          std::pair{"--data-call", &options.dataCall}}) {
        if (a.Flag(name)) {
            *flag = true;
            return 1;
        }
    }
    return kNotMine;
}

int ParseFaultOption(Arg& a, Options& options) {
    if (a.Takes("--fault-garbage")) {
        std::uint64_t n = 0;
        int ok = 1;
        if (ParseUnsigned(a.Value(), 4096, n) == 0) {
            ok = a.Fail("--fault-garbage: expected a byte count up to 4096");
        }
        options.garbage = static_cast<std::uint32_t>(n);
        return ok;
    }
    for (auto [name, kind] : {std::pair{"--fault-error", FaultKind::Error},
                              std::pair{"--fault-no-ack", FaultKind::NoAck},
                              std::pair{"--fault-late-ack", FaultKind::LateAck},
                              std::pair{"--fault-double-ack", FaultKind::DoubleAck},
                              std::pair{"--fault-finish-error", FaultKind::FinishError},
                              std::pair{"--fault-unplug", FaultKind::Unplug},
                              std::pair{"--fault-stall", FaultKind::Stall}}) {
        if (a.Takes(name)) {
            return ParseFrameFault(kind, a.Value(), options, a.Error());
        }
    }
    if (a.Takes("--fault-bad-sum")) {
        const image::Module* m = FindModuleByAnyName(a.Value());
        if (m == nullptr) {
            return a.Fail("--fault-bad-sum: unknown module '" + std::string(a.Value()) + "'");
        }
        options.badSum.push_back(m);
        return 1;
    }
    return kNotMine;
}

int ParseGadgetOption(Arg& a, Options& options) {
    if (a.Flag("--gadget")) {
        options.gadget = true;
        return 1;
    }
    if (a.Flag("--gadget-update-first")) {
        options.gadgetUpdateFirst = true;
        return 1;
    }
    if (a.Takes("--gadget-udc")) {
        options.gadgetUdc = std::string(a.Value());
        return 1;
    }
    return kNotMine;
}

}  // namespace

const image::Module* FindModuleByAnyName(std::string_view name) {
    for (const image::Module& m : image::kModules) {
        if (m.name == name || (!m.sumKey.empty() && m.sumKey == name)) {
            return &m;
        }
    }
    return nullptr;
}

std::string Options::NewDateCode() const {
    if (!newDateCode.empty()) {
        return newDateCode;
    }
    std::size_t blank = gen.find_last_of(' ');
    std::string last = blank == std::string::npos ? gen : gen.substr(blank + 1);
    return IsDigits(last, 6) ? last : dateCode;
}

int ParseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        Arg arg(argc, argv, i, error);
        int ok = kNotMine;
        for (auto* group : {ParseValueOption, ParseDeviceOption, ParseModemOption, ParseFaultOption,
                            ParseGadgetOption}) {
            ok = group(arg, options);
            if (ok != kNotMine) {
                break;
            }
        }
        if (ok == kNotMine) {
            if (error.empty()) {
                error = "unknown option '" + std::string(argv[i]) + "'";
            }
            ok = 0;
        }
        if (ok == 0) {
            return 0;
        }
    }
    if ((!options.gadgetUdc.empty() || options.gadgetUpdateFirst) && !options.gadget) {
        error = "--gadget-udc and --gadget-update-first need --gadget";
        return 0;
    }
    if (!options.help && options.dir.empty()) {
        error = "--dir is required";
        return 0;
    }
    return 1;
}

std::string UsageText() {
    return R"(Usage: zr40-devsim --dir <run dir> [options] [faults]

Plays the ZR-40 USB LTE modem on pseudo-terminals until SIGINT, SIGTERM or SIGHUP, and keeps
the device catalogue (ZR40_DEVICE_CATALOG) up to date while the device re-enumerates. SIGUSR1
brings the drivers up to date (DriverVersion 1.0.8.0, see --outdated-drivers); SIGUSR2 ends a
stall (see --fault-stall).

In <run dir> (created if missing):
  ttyZR40_UPDATE      the update port (normal mode, then the boot loader)
  ttyZR40_MODEM       the modem port, AT channel 0
  ttyZR40_MODEM_{0254B0B5-AA88-461f-8044-3D5C47AB5709}
                      the modem port's second AT channel
  catalog.txt         the device catalogue, unless --catalog names another file
Each is a symlink to the current pseudo-terminal; it is removed while the function is away.

Options:
  --dir DIR                 run directory (required)
  --catalog FILE            catalogue file (default DIR/catalog.txt). Several simulators may
                            share one file (two devices): each rewrites only its own records,
                            under an flock of FILE.lock, by writing FILE.tmp and renaming it.
  --reenum-ms N             how long the device stays away when it switches to the boot loader
                            and after a reset (default 3000)
  --flash-ms-per-block N    simulated erase/write time per 64 KiB block; delays the answer to
                            erase requests and image frames (default 0)
  --erase-ms-per-block N    erase time per block when it differs from the write time
  --frame-gap-ms N          the boot loader's receive time-out: a frame of which only a part
                            has come, and nothing more for N ms, is cut: dropped without an
                            answer (default 500; 0: the loader waits for its rest for ever)
  --version V               firmware version before the update (default Ver1.00)
  --new-version V           version reported after a reset when the version record written
                            equals --gen (default Ver1.01); otherwise --version stays
  --gen TEXT                the expected version record (default "QUORVEN V07R22C 110805")
  --date-code D             date code in the 18-byte version answer before the update
                            (default 110414)
  --new-date-code D         date code once the device runs --new-version (default: the build
                            date at the end of --gen, 110805)
  --serial N                15-digit serial number for "AT+CGSN" (default 358741050123456)
  --module-version M=TEXT   answer to the module version request of M = C_L1, C_L2 or C_L3
                            (commands 01 06, 02 06, 03 06; defaults LTEL1_017, C_L2_F_030,
                            C_L3_001); repeatable
  --echo on|off             the AT channels echo each command line (default on)
  --area home|roaming|none|empty
                            service area in the "AT@FCMINFO=1" answer (third field 0, 1, 2 or
                            empty) and the Mobile Broadband RegisterState (3, 4, 1, 2);
                            default home
  --driver-version V        DriverVersion of the three functions (default 1.0.8.0; an
                            outdated driver is e.g. 1.0.7.0)
  --outdated-drivers        DriverVersion 1.0.7.0 until SIGUSR1: then 1.0.8.0, the catalogue
                            is rewritten and "drivers-updated" is printed, as when the PC's
                            drivers get updated while the device is plugged in
  --net-id GUID             NetCfgInstanceId of the network adapter and id of its Mobile
                            Broadband interface (default {6A1D5C2E-0000-4000-8000-1D7A3C520001})
  --no-modem                the device has no modem port (Mobile Broadband only)
  --frame-log FILE          one line per frame received and sent on the update port, flushed
                            per line: "<rx|tx> <family> <word> <length>[ <note>]", e.g.
                              rx DB 2805 12        tx DB 2805 8       tx DB 80FF 12
                              rx D0 A1 3           tx D0 B0 3         tx D0 00 3 (zero-led)
                              rx RAW VERSION 10    tx RAW VERSION 18  rx RAW DOWNLOAD 8
                              rx SREC S3 46        rx GARBAGE - 5     tx GARBAGE - 4
                              rx DB 2801 65560 partial (unplugged while receiving it)
                              rx DB 2801 65560 cut after 4096 (see --frame-gap-ms)
                              rx DB - - cut after 5 (cut before its length was in)
                              rx DB 2805 70000 bad-length
  --gadget                  play the device as a USB gadget (configfs, root) on the ttyGS
                            lines instead of pseudo-terminals: the modem port and the update
                            port as CDC-ACM functions, then CDC-NCM; in the boot loader the
                            update port alone as a vendor-specific serial function (ff/00/00).
                            Re-enumerating unbinds the controller and binds it again. The
                            modem port has one AT channel; no symlinks and no catalogue are
                            made (the PC finds the device through sysfs)
  --gadget-udc NAME         the device controller (default: the first in /sys/class/udc)
  --gadget-update-first     the update port's CDC-ACM function before the modem port's
  --help                    this text

Faults (MODULE is an image name such as C_PS, C_L1, U_LM, C_USB, or a checksum name C_LM1,
C_LM2; FRAME counts the frames of one download of that module from 1, the image header frame;
each frame fault fires once, the first time that frame arrives; all are repeatable):
  --fault-error MODULE:FRAME:CODE   answer that frame with the error answer CODE (decimal such
                                    as -2, or 0xFFFFFFFE); the frame is not written
  --fault-no-ack MODULE:FRAME       write the frame but never answer it
  --fault-late-ack MODULE:FRAME:MS  answer that frame MS milliseconds late
  --fault-double-ack MODULE:FRAME   answer that frame twice, both answers in one write
  --fault-finish-error MODULE:CODE  answer the finish command after MODULE's download with the
                                    error answer CODE
  --fault-unplug MODULE:FRAME       the device is unplugged after reading part of that frame:
                                    every function vanishes and does not come back
  --fault-stall MODULE:FRAME:BYTES  the device stops reading the update port once it holds at
                                    least BYTES bytes of that frame (1 to 65559), so that a PC
                                    writing to it blocks, until SIGUSR2; no cut while stalled
  --fault-bad-sum MODULE            the next checksum answer for MODULE is one too high
  --fault-garbage N                 N bytes 0xEE before every boot loader answer (DB and D0);
                                    an odd N misaligns the tool's two-byte reads
  --busy                            another program holds the update port (flock on the slave)
                                    from the start until the device first re-enumerates
  --silent-modem                    the AT channels read commands and answer nothing
  --connection-soft                 a Process record ZR40_ConnectionSoft.exe
  --data-call                       a DialUp record (DeviceName "mirato ZR40 USB Modem") and the
                                    Mobile Broadband ConnectionState=1, while in normal mode

Event lines on stdout (one per line, flushed):
  ready                             all functions present, catalogue written
  download-mode                     the update port received the download-mode request
  reset                             the boot loader received the reset request
  vanished modem | vanished update  that function is gone (catalogue already rewritten)
  appeared update bootloader        the boot loader's update port is present
  appeared modem                    the modem port is back (before "appeared update normal")
  appeared update normal            the device runs its firmware again (all functions present)
  unplugged                         after --fault-unplug: every function is gone for good
  erased FIRST-LAST                 blocks erased (hex)
  cut FAMILY WORD LENGTH after N    the boot loader dropped a frame of which N bytes had come,
                                    as its frame-log line tells it ("cut DB 2801 65560 after
                                    4096")
  stalled MODULE FRAME after N      --fault-stall: the device holds N bytes of that frame and
                                    reads no more
  resumed                           SIGUSR2 ended the stall
  downloaded MODULE                 the data of an image arrived completely
  version-record TEXT               the version record was written
  drivers-updated                   after SIGUSR1: DriverVersion 1.0.8.0, catalogue rewritten
  stopped                           on a stop signal: symlinks and catalogue records removed
Exit codes: 0 after a stop signal, 1 when the device cannot be set up, 2 for a bad command line.

Update port protocols:
  normal mode   FF FD EF FD EE 6F 00 01 40 FE -> 18-byte answer FF FD EF FD EE 6F 00 09 C0,
                six date-code bytes, 00 00 FE; FF 55 00 42 00 01 01 FE -> download mode
  boot loader   DB frames: xx05 erase (28/2A/2B/2C), 2801/2A01 image frames (header frame
                first), xx07 finish, nn09 checksum, 0108 version record, 0106/0206/0306
                module versions, 000B reset (no answer), 0004 end; answers echo the command
                word, errors are DB 80FF with a 32-bit code: -2 write into a block that was
                not erased, -4 address outside the flash or the module, -6 unknown command or
                bad length. D0 first stage: A0 01 01 -> B0 01 00 and the next A1 01 00 gets the
                zero-led answer 00 01 00; A1 01 00 -> B0 01 00; A2 (size) -> B1 02 00 00;
                A3 blocks -> B1 02 00 00; A4 02 (sum) -> B2 03 00|01 (device sum); A5 00 ->
                B0 01 00; a failure status is 01. S-records sent as text are accepted.
                Bytes that start no frame are dropped one by one until a frame start.
                After a cut the loader answers nothing until a DB frame with a known command
                word and a fitting length starts: everything before it is dropped, so the
                rest of a cut frame that comes late is never taken for frames of its own.
)";
}

}  // namespace sim::devsim
