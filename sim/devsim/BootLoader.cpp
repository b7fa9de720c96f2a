#include "sim/devsim/BootLoader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <utility>

namespace sim::devsim {

namespace {

using image::kFrameHeaderSize;

// A header frame names its module by the area code in payload byte 4.
constexpr std::size_t kHeaderAreaOffset = kFrameHeaderSize + 4;

enum class DbKind {
    Erase,
    Image,
    Finish,
    Checksum,
    SetVersion,
    ModuleVersion,
    Reset,
    End,
    Unknown
};

DbKind Classify(std::uint16_t word) {
    const std::uint8_t hi = word >> 8;
    const std::uint8_t lo = word & 0xFF;
    if (lo == 0x05 && (hi == 0x28 || hi == 0x2A || hi == 0x2B || hi == 0x2C)) {
        return DbKind::Erase;
    }
    if (word == 0x2801 || word == 0x2A01) {
        return DbKind::Image;
    }
    if (lo == 0x07 && (hi == 0x01 || hi == 0x25 || hi == 0x26 || hi == 0x2B || hi == 0x2C)) {
        return DbKind::Finish;
    }
    if (lo == 0x09) {
        return DbKind::Checksum;
    }
    if (word == 0x0108) {
        return DbKind::SetVersion;
    }
    if (lo == 0x06 && hi >= 1 && hi <= 3) {
        return DbKind::ModuleVersion;
    }
    if (word == 0x000B) {
        return DbKind::Reset;
    }
    if (word == 0x0004) {
        return DbKind::End;
    }
    return DbKind::Unknown;
}

// Total frame lengths the loader accepts per command; a length outside is a format error.
std::pair<std::uint32_t, std::uint32_t> LengthRange(DbKind kind) {
    switch (kind) {
        case DbKind::Erase:
            return {12, 12};
        case DbKind::Image:
            return {kFrameHeaderSize + 1, image::kMaxFrameSize};
        case DbKind::SetVersion:
            return {kFrameHeaderSize + 1, kFrameHeaderSize + 99};
        case DbKind::Unknown:
            return {kFrameHeaderSize, kMaxUnknownFrame};
        default:
            return {kFrameHeaderSize, kFrameHeaderSize};
    }
}

std::string Hex4(std::uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(v & 0xFFFF));
    return text;
}

std::string Hex2(std::uint8_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", v);
    return text;
}

bool IsHex(std::uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int HexValue(std::uint8_t c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

bool IsD0Opcode(std::uint8_t b) {
    return b >= 0xA0 && b <= 0xA5;
}

// Bytes between S-record lines; a text download may carry them, they mean nothing.
bool IsLineEnd(std::uint8_t b) {
    return b == '\r' || b == '\n';
}

// 1 when input starts a DB frame of a known command with a length it accepts, 0 when too little
// has come to tell, -1 when it does not.
int KnownDbStart(std::span<const std::uint8_t> input) {
    if (input.empty() || input[0] != 'D' || (input.size() >= 2 && input[1] != 'B')) {
        return -1;
    }
    if (input.size() < kFrameHeaderSize) {
        return 0;
    }
    const DbKind kind = Classify(ReadBe16(&input[2]));
    const std::uint32_t length = image::ReadBe32(&input[4]);
    const auto [minLength, maxLength] = LengthRange(kind);
    return kind != DbKind::Unknown && length >= minLength && length <= maxLength ? 1 : -1;
}

// "DB 2801 65560" for a frame whose header is in, as the frame log names it; "-" for what is not
// known yet.
std::string Describe(std::span<const std::uint8_t> input) {
    const std::uint8_t b0 = input.empty() ? 0 : input[0];
    if (b0 == 'D') {
        if (input.size() < kFrameHeaderSize) {
            return "DB - -";
        }
        return "DB " + Hex4(ReadBe16(&input[2])) + " " + std::to_string(image::ReadBe32(&input[4]));
    }
    if (IsD0Opcode(b0)) {
        const std::size_t headerSize = b0 == 0xA3 ? 3 : 2;
        if (input.size() < headerSize) {
            return "D0 " + Hex2(b0) + " -";
        }
        const std::size_t count = b0 == 0xA3 ? ReadBe16(&input[1]) : input[1];
        return "D0 " + Hex2(b0) + " " + std::to_string(headerSize + count);
    }
    if (b0 == 'S' && input.size() >= 4) {
        const std::size_t count =
            static_cast<std::size_t>(HexValue(input[2]) * 16 + HexValue(input[3]));
        return "SREC S" + std::string(1, static_cast<char>(input[1])) + " " +
               std::to_string(4 + 2 * count);
    }
    return b0 == 'S' ? "SREC - -" : "RAW - -";
}

// Blocks of the flash that a write of length bytes at address touches.
std::uint32_t BlocksTouched(std::uint32_t address, std::size_t length) {
    if (length == 0) {
        return 0;
    }
    std::uint64_t first = address / image::kBlockSize;
    std::uint64_t last = (std::uint64_t{address} + length - 1) / image::kBlockSize;
    return static_cast<std::uint32_t>(last - first + 1);
}

}  // namespace

Bytes DbFrame(std::uint16_t word, std::span<const std::uint8_t> payload) {
    // The header goes into a fixed array first: writing it into the sized vector makes GCC -O3
    // warn of a null dereference, as it cannot rule out an empty vector.
    std::array<std::uint8_t, kFrameHeaderSize> header = {
        'D', 'B', static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
    image::WriteBe32(&header[4], static_cast<std::uint32_t>(kFrameHeaderSize + payload.size()));
    Bytes frame;
    frame.reserve(kFrameHeaderSize + payload.size());
    frame.insert(frame.end(), header.begin(), header.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Bytes DbError(std::int32_t code) {
    std::uint8_t payload[4];
    image::WriteBe32(payload, static_cast<std::uint32_t>(code));
    return DbFrame(kErrorWord, payload);
}

void BootLoader::Restart() {
    m_download.reset();
    m_lastDownloaded = nullptr;
    m_resync = false;
    m_loading = false;
    m_zeroLedNext = false;
    m_window.clear();
    m_windowFill = 0;
    m_nextBlock = 0;
}

std::size_t BootLoader::Step(std::span<const std::uint8_t> input, Host& host) {
    if (input.empty()) {
        return 0;
    }
    if (m_resync) {
        return Resync(input, host);
    }
    const std::uint8_t b0 = input[0];
    if (b0 == 'D') {
        if (input.size() < 2) {
            return 0;
        }
        if (input[1] == 'B') {
            return StepDb(input, host);
        }
    } else if (IsD0Opcode(b0)) {
        return StepD0(input, host);
    } else if (b0 == 'S') {
        if (input.size() < 2) {
            return 0;
        }
        if (input[1] >= '0' && input[1] <= '9') {
            return StepSRecord(input, host);
        }
    } else if (IsLineEnd(b0)) {
        auto end = std::find_if_not(input.begin(), input.end(), IsLineEnd);
        return static_cast<std::size_t>(end - input.begin());
    }
    return DropGarbage(input, host);
}

// A real loader hunts for the next frame start byte by byte; so do we, and the dropped run is
// logged as one line.
std::size_t BootLoader::DropGarbage(std::span<const std::uint8_t> input, Host& host) {
    std::size_t n = 1;
    while (n < input.size()) {
        std::uint8_t b = input[n];
        if (b == 'D' || b == 'S' || IsD0Opcode(b) || IsLineEnd(b)) {
            break;
        }
        ++n;
    }
    host.FrameLog("rx GARBAGE - " + std::to_string(n));
    return n;
}

void BootLoader::Cut(std::span<const std::uint8_t> partial, Host& host) {
    const std::string what = Describe(partial) + " ";
    const std::string count = "after " + std::to_string(partial.size());
    host.FrameLog("rx " + what + "cut " + count);
    host.Event("cut " + what + count);
    m_resync = true;
}

// The rest of a cut frame may still come, and its data holds D0 opcodes and frame starts by
// chance; answering those would put answers on the line that nobody asked for.
std::size_t BootLoader::Resync(std::span<const std::uint8_t> input, Host& host) {
    std::size_t n = 0;
    while (n < input.size() && KnownDbStart(input.subspan(n)) < 0) {
        ++n;
    }
    if (n > 0) {
        host.FrameLog("rx GARBAGE - " + std::to_string(n));
        return n;
    }
    if (input.size() < kFrameHeaderSize) {
        return 0;
    }
    m_resync = false;
    return StepDb(input, host);
}

std::optional<std::pair<const image::Module*, std::uint32_t>> BootLoader::FrameOf(
    std::span<const std::uint8_t> input) const {
    if (m_download) {
        return std::make_pair(m_download->module, m_download->frames + 1);
    }
    if (input.size() <= kHeaderAreaOffset) {
        return std::nullopt;
    }
    const image::Module* module = image::FindModuleByArea(input[kHeaderAreaOffset]);
    if (module == nullptr) {
        return std::nullopt;
    }
    return std::make_pair(module, 1u);
}

FrameFault* BootLoader::TakeStall(const image::Module* module, std::uint32_t frame,
                                  std::size_t held) {
    for (FrameFault& f : m_options.frameFaults) {
        if (!f.fired && f.kind == FaultKind::Stall && f.module == module && f.frame == frame &&
            held >= f.bytes) {
            f.fired = true;
            return &f;
        }
    }
    return nullptr;
}

FrameFault* BootLoader::TakeFault(FaultKind kind, const image::Module* module,
                                  std::uint32_t frame) {
    for (FrameFault& f : m_options.frameFaults) {
        if (!f.fired && f.kind == kind && f.module == module && f.frame == frame) {
            f.fired = true;
            return &f;
        }
    }
    return nullptr;
}

std::size_t BootLoader::StepDb(std::span<const std::uint8_t> input, Host& host) {
    if (input.size() < kFrameHeaderSize) {
        return 0;
    }
    const std::uint16_t word = ReadBe16(&input[2]);
    const std::uint32_t length = image::ReadBe32(&input[4]);
    const DbKind kind = Classify(word);
    const auto [minLength, maxLength] = LengthRange(kind);
    if (length < minLength || length > maxLength) {
        // The length cannot be trusted, so neither can anything after the header: answer,
        // drop the header and hunt for the next frame.
        host.FrameLog("rx DB " + Hex4(word) + " " + std::to_string(length) + " bad-length");
        Error(kErrFormat, host);
        return kFrameHeaderSize;
    }
    if (kind == DbKind::Image) {
        // The header frame's module is known only once its area byte is in.
        if (!m_download && input.size() <= kHeaderAreaOffset && length > kHeaderAreaOffset) {
            return 0;
        }
        if (auto frame = FrameOf(input)) {
            if (TakeFault(FaultKind::Unplug, frame->first, frame->second) != nullptr) {
                host.FrameLog("rx DB " + Hex4(word) + " " + std::to_string(length) + " partial");
                host.Unplug();
                return input.size();
            }
            if (TakeStall(frame->first, frame->second, input.size()) != nullptr) {
                host.Event("stalled " + std::string(frame->first->name) + " " +
                           std::to_string(frame->second) + " after " +
                           std::to_string(std::min<std::size_t>(input.size(), length)));
                host.Stall();
                return 0;
            }
        }
    }
    if (input.size() < length) {
        return 0;
    }
    host.FrameLog("rx DB " + Hex4(word) + " " + std::to_string(length));
    HandleDb(word, input.subspan(kFrameHeaderSize, length - kFrameHeaderSize), host);
    return length;
}

void BootLoader::HandleDb(std::uint16_t word, std::span<const std::uint8_t> payload, Host& host) {
    const std::uint8_t hi = word >> 8;
    switch (Classify(word)) {
        case DbKind::Erase: {
            const std::uint16_t first = ReadBe16(&payload[0]);
            const std::uint16_t last = ReadBe16(&payload[2]);
            m_download.reset();
            if (std::int32_t err = m_memory.flash.Erase(first, last); err != 0) {
                Error(err, host);
                return;
            }
            host.Event("erased " + Hex4(first) + "-" + Hex4(last));
            Ack(word,
                (std::uint32_t{last} - first + 1) *
                    m_options.eraseMsPerBlock.value_or(m_options.flashMsPerBlock),
                host);
            return;
        }
        case DbKind::Image:
            HandleImageFrame(word, payload, host);
            return;
        case DbKind::Finish: {
            // Finishing an image whose data did not all arrive must not look like success.
            const bool incomplete = m_download.has_value();
            m_download.reset();
            const image::Module* finished = std::exchange(m_lastDownloaded, nullptr);
            if (incomplete) {
                Error(kErrWrite, host);
            } else if (FrameFault* f = TakeFault(FaultKind::FinishError, finished, 0)) {
                Error(f->code, host);
            } else {
                Ack(word, 0, host);
            }
            return;
        }
        case DbKind::Checksum: {
            const image::Module* module = image::FindModuleByArea(hi);
            if (module == nullptr) {
                Error(kErrAddress, host);
                return;
            }
            std::uint16_t sum = 0;
            if (auto it = m_memory.areas.find(hi); it != m_memory.areas.end()) {
                sum = m_memory.flash.Sum16(it->second.startAddress, it->second.dataLength);
            }
            auto bad = std::find(m_options.badSum.begin(), m_options.badSum.end(), module);
            if (bad != m_options.badSum.end()) {
                m_options.badSum.erase(bad);
                ++sum;
            }
            const std::uint8_t answer[2] = {static_cast<std::uint8_t>(sum >> 8),
                                            static_cast<std::uint8_t>(sum)};
            Answer(DbFrame(word, answer), 0, "DB " + Hex4(word) + " 10", host);
            return;
        }
        case DbKind::SetVersion: {
            const bool printable = std::all_of(payload.begin(), payload.end(), [](std::uint8_t c) {
                return c >= 0x20 && c <= 0x7E;
            });
            if (!printable) {
                Error(kErrFormat, host);
                return;
            }
            m_memory.versionRecord.assign(payload.begin(), payload.end());
            host.Event("version-record " + m_memory.versionRecord);
            Ack(word, 0, host);
            return;
        }
        case DbKind::ModuleVersion: {
            const std::string& text = m_options.moduleVersions[hi - 1];
            Bytes frame = DbFrame(
                word, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
            std::string log = "DB " + Hex4(word) + " " + std::to_string(frame.size());
            Answer(std::move(frame), 0, std::move(log), host);
            return;
        }
        case DbKind::Reset:
            m_download.reset();
            host.Event("reset");
            host.Reset();
            return;
        case DbKind::End:
            Ack(word, 0, host);
            return;
        case DbKind::Unknown:
            Error(kErrFormat, host);
            return;
    }
}

void BootLoader::HandleImageFrame(std::uint16_t word, std::span<const std::uint8_t> payload,
                                  Host& host) {
    std::uint32_t blocks = 0;
    if (m_download ? WriteData(word, payload, blocks, host) == 0
                   : StartDownload(word, payload, host) == 0) {
        return;
    }
    Download& d = *m_download;
    if (TakeFault(FaultKind::NoAck, d.module, d.frames) == nullptr) {
        std::uint32_t delay = blocks * m_options.flashMsPerBlock;
        if (FrameFault* late = TakeFault(FaultKind::LateAck, d.module, d.frames)) {
            delay += late->delayMs;
        }
        if (TakeFault(FaultKind::DoubleAck, d.module, d.frames) != nullptr) {
            Bytes twice = DbFrame(word);
            const Bytes once = twice;
            twice.insert(twice.end(), once.begin(), once.end());
            Answer(std::move(twice), delay, "DB " + Hex4(word) + " 8 x2", host);
        } else {
            Ack(word, delay, host);
        }
    }
    if (d.remaining == 0) {
        host.Event("downloaded " + std::string(d.module->name));
        m_lastDownloaded = d.module;
        m_download.reset();
    }
}

int BootLoader::StartDownload(std::uint16_t word, std::span<const std::uint8_t> payload,
                              Host& host) {
    std::optional<image::ImageInfo> info = image::DecodeInfo(payload);
    if (!info) {
        // Data without a header: the loader does not know where it goes.
        Error(kErrFormat, host);
        return 0;
    }
    const image::Module* module = image::FindModuleByArea(info->areaCode);
    if (module == nullptr) {
        Error(kErrAddress, host);
        return 0;
    }
    if (FrameFault* f = TakeFault(FaultKind::Error, module, 1)) {
        Error(f->code, host);
        return 0;
    }
    if (word != module->frameCommand) {
        Error(kErrFormat, host);
        return 0;
    }
    if (info->startAddress != module->StartAddress() || info->dataLength > module->AreaSize()) {
        Error(kErrAddress, host);
        return 0;
    }
    m_memory.areas[info->areaCode] = *info;
    m_download = Download{module, word, info->startAddress, info->dataLength, 1};
    return 1;
}

int BootLoader::WriteData(std::uint16_t word, std::span<const std::uint8_t> payload,
                          std::uint32_t& blocks, Host& host) {
    Download& d = *m_download;
    ++d.frames;
    if (FrameFault* f = TakeFault(FaultKind::Error, d.module, d.frames)) {
        Error(f->code, host);
        return 0;
    }
    if (word != d.word) {
        Error(kErrFormat, host);
        return 0;
    }
    if (payload.size() > d.remaining) {
        Error(kErrAddress, host);
        return 0;
    }
    if (std::int32_t err = m_memory.flash.Write(d.next, payload); err != 0) {
        Error(err, host);
        return 0;
    }
    blocks = BlocksTouched(d.next, payload.size());
    d.next += static_cast<std::uint32_t>(payload.size());
    d.remaining -= static_cast<std::uint32_t>(payload.size());
    return 1;
}

std::size_t BootLoader::StepD0(std::span<const std::uint8_t> input, Host& host) {
    const std::uint8_t opcode = input[0];
    std::size_t headerSize = opcode == 0xA3 ? 3 : 2;
    if (input.size() < headerSize) {
        return 0;
    }
    std::uint32_t count = opcode == 0xA3 ? ReadBe16(&input[1]) : input[1];
    const std::uint32_t maxCount = opcode == 0xA3 ? kMaxD0Count : 16;
    if (count > maxCount || (opcode == 0xA3 && count < 2)) {
        return DropGarbage(input, host);
    }
    if (input.size() < headerSize + count) {
        return 0;
    }
    host.FrameLog("rx D0 " + Hex2(opcode) + " " + std::to_string(headerSize + count));
    HandleD0(opcode, input.subspan(headerSize, count), host);
    return headerSize + count;
}

void BootLoader::HandleD0(std::uint8_t opcode, std::span<const std::uint8_t> data, Host& host) {
    constexpr std::uint8_t kOk = 0x00;
    constexpr std::uint8_t kFail = 0x01;
    switch (opcode) {
        case 0xA0: {  // enter the loading mode
            const bool ok = data.size() == 1 && data[0] == 0x01;
            if (ok) {
                m_loading = true;
                m_zeroLedNext = true;
            }
            D0Answer(0xB0, {ok ? kOk : kFail}, host);
            return;
        }
        case 0xA1:  // poll
            if (data.size() != 1 || data[0] != 0x00) {
                D0Answer(0xB0, {kFail}, host);
            } else if (m_zeroLedNext) {
                // The first answer after the mode switch comes without its opcode.
                m_zeroLedNext = false;
                Answer({0x00, 0x01, kOk}, 0, "D0 00 3", host);
            } else {
                D0Answer(0xB0, {kOk}, host);
            }
            return;
        case 0xA2: {  // announce the image size
            const bool form = data.size() == 8 && data[0] == 0xE5 && data[1] == 0x5B &&
                              data[2] == 0 && data[3] == 0;
            const std::uint32_t size = form ? image::ReadBe32(&data[4]) : 0;
            if (!m_loading || size == 0 || size > kMaxD0Window) {
                D0Answer(0xB1, {kFail, 0x00}, host);
                return;
            }
            m_window.assign(size, 0xFF);
            m_windowFill = 0;
            m_nextBlock = 0;
            D0Answer(0xB1, {kOk, 0x00}, host);
            return;
        }
        case 0xA3: {  // one block of the image, numbered from 0
            const std::uint16_t block = ReadBe16(&data[0]);
            std::span<const std::uint8_t> bytes = data.subspan(2);
            if (m_window.empty() || block != m_nextBlock ||
                bytes.size() > m_window.size() - m_windowFill) {
                D0Answer(0xB1, {kFail, 0x00}, host);
                return;
            }
            std::copy(bytes.begin(), bytes.end(), m_window.begin() + m_windowFill);
            m_windowFill += static_cast<std::uint32_t>(bytes.size());
            ++m_nextBlock;
            D0Answer(0xB1, {kOk, 0x00}, host);
            return;
        }
        case 0xA4:
            if (data.size() == 2) {  // compare the PC's checksum with ours
                std::uint16_t sum = 0;
                std::uint8_t status = kFail;
                if (!m_window.empty()) {
                    sum = static_cast<std::uint16_t>(0x10000u - image::Sum16(m_window));
                    status = sum == ReadBe16(&data[0]) ? kOk : kFail;
                }
                D0Answer(
                    0xB2,
                    {status, static_cast<std::uint8_t>(sum >> 8), static_cast<std::uint8_t>(sum)},
                    host);
            } else {
                D0Answer(0xB0, {data.empty() ? kOk : kFail}, host);
            }
            return;
        case 0xA5:  // finish
            D0Answer(0xB0, {data.empty() && m_loading ? kOk : kFail}, host);
            m_loading = false;
            return;
        default:
            return;
    }
}

std::size_t BootLoader::StepSRecord(std::span<const std::uint8_t> input, Host& host) {
    if (input.size() < 4) {
        return 0;
    }
    if (!IsHex(input[2]) || !IsHex(input[3])) {
        return DropGarbage(input, host);
    }
    const std::size_t count =
        static_cast<std::size_t>(HexValue(input[2]) * 16 + HexValue(input[3]));
    const std::size_t length = 4 + 2 * count;
    const std::size_t available = std::min(length, input.size());
    if (!std::all_of(input.begin() + 4, input.begin() + static_cast<std::ptrdiff_t>(available),
                     IsHex)) {
        return DropGarbage(input, host);
    }
    if (input.size() < length) {
        return 0;
    }
    host.FrameLog("rx SREC S" + std::string(1, static_cast<char>(input[1])) + " " +
                  std::to_string(length));
    return length;
}

void BootLoader::Answer(Bytes bytes, std::uint32_t delayMs, std::string log, Host& host) {
    if (m_options.garbage > 0) {
        host.Send(Bytes(m_options.garbage, 0xEE), delayMs,
                  "GARBAGE - " + std::to_string(m_options.garbage));
        delayMs = 0;
    }
    host.Send(std::move(bytes), delayMs, std::move(log));
}

void BootLoader::Ack(std::uint16_t word, std::uint32_t delayMs, Host& host) {
    Answer(DbFrame(word), delayMs, "DB " + Hex4(word) + " 8", host);
}

void BootLoader::Error(std::int32_t code, Host& host) {
    Answer(DbError(code), 0, "DB 80FF 12", host);
}

void BootLoader::D0Answer(std::uint8_t opcode, std::initializer_list<std::uint8_t> data,
                          Host& host) {
    Bytes bytes{opcode, static_cast<std::uint8_t>(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    std::string log = "D0 " + Hex2(opcode) + " " + std::to_string(bytes.size());
    Answer(std::move(bytes), 0, std::move(log), host);
}

}  // namespace sim::devsim
