#include "Loader/device/AtChannel.h"

#include "Loader/device/PortManage.h"

namespace {

constexpr std::uint32_t kPauseMs = 100;
constexpr int kVersionAttempts = 4;
constexpr std::uint32_t kVersionRetryMs = 1000;
constexpr std::uint32_t kAreaRetryMs = 5000;
// Real time the modem is given to start and to go on with an answer; the pacing above is the
// clock's.
constexpr std::uint32_t kAnswerStartMs = 1000;
constexpr std::uint32_t kAnswerRestMs = 100;
constexpr std::size_t kSerialLength = 15;

}  // namespace

std::optional<std::string> AtVersionIn(std::string_view answer) {
    const auto at = answer.find("Ver");
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(answer.substr(at, 7));
}

std::optional<std::string> AtSerialIn(std::string_view answer) {
    if (answer.empty()) {
        return std::nullopt;
    }
    if (answer[0] != 'A') {
        if (answer.size() <= 2) {
            return std::nullopt;
        }
        return std::string(answer.substr(2, kSerialLength));
    }
    if (answer.size() < 26) {
        return std::nullopt;
    }
    return std::string(answer.substr(10, kSerialLength));
}

AtArea AtAreaIn(std::string_view answer) {
    const auto first = answer.find(',');
    if (first == std::string_view::npos) {
        return AtArea::kUndecided;
    }
    const auto second = answer.find(',', first + 1);
    if (second == std::string_view::npos || second + 1 >= answer.size()) {
        return AtArea::kUndecided;
    }
    switch (answer[second + 1]) {
        case '0':
            return AtArea::kHome;
        case '1':
            return AtArea::kRoaming;
        case ',':
            return AtArea::kUndecided;
        default:
            return AtArea::kNoService;
    }
}

CAtChannels::CAtChannels(CUsbPort& port, platform::kernel::Clock& clock)
    : m_port(port), m_clock(clock), m_bOpen(port.OpenAtChannels() == 1) {}

CAtChannels::~CAtChannels() {
    if (m_bOpen) {
        m_port.CloseAtChannels();
    }
}

bool CAtChannels::Write(int nChannel, std::string_view command) {
    return m_port.AtWrite(nChannel, reinterpret_cast<const std::uint8_t*>(command.data()),
                          static_cast<std::uint32_t>(command.size())) == 1;
}

// What the channel has to say to the last command, up to the capacity: the first bytes may take
// a while; the rest of the answer follows at once or not at all.
std::string CAtChannels::Gather(int nChannel, std::uint32_t uiCapacity) {
    std::string text;
    std::uint32_t uiWait = kAnswerStartMs;
    while (text.size() < uiCapacity && m_port.AtWaitInput(nChannel, uiWait) == 1) {
        std::uint8_t buffer[kAtAreaCapacity];
        std::uint32_t uiRead = 0;
        const auto uiWant = std::min<std::uint32_t>(
            sizeof buffer, uiCapacity - static_cast<std::uint32_t>(text.size()));
        if (m_port.AtRead(nChannel, buffer, uiWant, uiRead) != 1) {
            break;
        }
        text.append(reinterpret_cast<const char*>(buffer), uiRead);
        if (text.find("OK\r\n") != std::string::npos || text.find("ERROR") != std::string::npos) {
            break;
        }
        uiWait = kAnswerRestMs;
    }
    return text;
}

bool CAtChannels::Ask(const Question& question,
                      const std::function<Verdict(const std::string&)>& judge) {
    if (!m_bOpen || !Write(question.nChannel, question.command)) {
        return false;
    }
    for (int nAttempt = 1;; ++nAttempt) {
        m_clock.SleepMs(kPauseMs);
        switch (judge(Gather(question.nChannel, question.uiCapacity))) {
            case Verdict::kDone:
                return true;
            case Verdict::kGiveUp:
                return false;
            case Verdict::kAgain:
                break;
        }
        if (nAttempt >= question.nAttempts) {
            return false;
        }
        m_clock.SleepMs(question.uiRetryMs);
        if (!Write(question.nChannel, question.command)) {
            return false;
        }
    }
}

AtAnswer CAtChannels::AskFor(
    const Question& question,
    const std::function<std::optional<std::string>(std::string_view)>& reader,
    bool bAnyAnswerDecides, CComString& strFound) {
    if (!m_bOpen) {
        return AtAnswer::kNotAvailable;
    }
    const bool bRead = Ask(question, [&](const std::string& answer) {
        if (auto found = reader(answer)) {
            strFound = CComString(found->c_str());
            return Verdict::kDone;
        }
        return answer.empty() || !bAnyAnswerDecides ? Verdict::kAgain : Verdict::kGiveUp;
    });
    return bRead ? AtAnswer::kRead : AtAnswer::kNoAnswer;
}

AtAnswer CAtChannels::AskVersion(AtVersionRule rule, CComString& strVersion) {
    return AskFor(
        {kAtVersionChannel, "AT+GMR\r\n", kAtVersionCapacity, kVersionAttempts, kVersionRetryMs},
        AtVersionIn, rule == AtVersionRule::kFirstAnswer, strVersion);
}

AtAnswer CAtChannels::AskSerial(CComString& strSerial) {
    return AskFor(
        {kAtVersionChannel, "AT+CGSN\r\n", kAtSerialCapacity, kVersionAttempts, kVersionRetryMs},
        AtSerialIn, false, strSerial);
}

AtArea CAtChannels::AskArea(int nRetries) {
    AtArea area = AtArea::kNoService;
    const Question question{kAtAreaChannel, "AT@FCMINFO=1\r\n", kAtAreaCapacity, nRetries + 1,
                            kAreaRetryMs};
    Ask(question, [&](const std::string& answer) {
        area = AtAreaIn(answer);
        return area == AtArea::kUndecided ? Verdict::kAgain : Verdict::kDone;
    });
    return area == AtArea::kUndecided ? AtArea::kNoService : area;
}
