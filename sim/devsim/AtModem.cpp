#include "sim/devsim/AtModem.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace sim::devsim {

namespace {

const char* kOk = "\r\nOK\r\n";
const char* kError = "\r\nERROR\r\n";

std::string Info(const std::string& text) {
    return "\r\n" + text + "\r\n" + kOk;
}

std::string AreaField(Area area) {
    switch (area) {
        case Area::Home:
            return "0";
        case Area::Roaming:
            return "1";
        case Area::None:
            return "2";
        case Area::Empty:
            return "";
    }
    return "";
}

}  // namespace

void AtChannel::Feed(std::span<const std::uint8_t> input, std::string& out) {
    for (std::uint8_t b : input) {
        if (b != '\r' && b != '\n') {
            if (m_line.size() < kMaxLine) {
                m_line.push_back(static_cast<char>(b));
            } else {
                m_overflow = true;
            }
            continue;
        }
        // The LF of a CR LF pair, and empty lines, are nothing to answer.
        if (m_line.empty() && !m_overflow) {
            continue;
        }
        std::string line;
        line.swap(m_line);
        const bool overflow = m_overflow;
        m_overflow = false;
        if (m_info.silent) {
            continue;
        }
        if (m_echo) {
            out += line;
            out += '\r';
        }
        out += overflow ? std::string(kError) : Execute(line);
    }
}

std::string AtChannel::Execute(const std::string& line) {
    std::string cmd;
    for (char c : line) {
        if (c != ' ') {
            cmd.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    if (!cmd.starts_with("AT")) {
        return kError;
    }
    if (cmd == "AT") {
        return kOk;
    }
    if (cmd == "ATE0" || cmd == "ATE" || cmd == "ATE1") {
        m_echo = cmd == "ATE1";
        return kOk;
    }
    if (cmd == "AT+GMR") {
        return Info(m_info.version);
    }
    if (cmd == "AT+CGSN") {
        return Info(m_info.serial);
    }
    if (cmd == "AT@FCMINFO=1") {
        // The PC decides by the character after the second comma.
        return Info("@FCMINFO: 1,1," + AreaField(m_info.area) + ",3");
    }
    return kError;
}

}  // namespace sim::devsim
