// The modem port's AT channels: the questions the tool asks the device in its normal mode (its
// firmware version, its serial number, its service area), with the attempts, pauses and answer
// rules each one has. The answer readers are apart so that any text can be fed to them.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Loader/common/ComString.h"
#include "platform/kernel/Clock.h"

class CUsbPort;

// Channel 0 is the modem port, channel 1 its second path.
inline constexpr int kAtVersionChannel = 0;
inline constexpr int kAtAreaChannel = 1;

// At most this much of each answer is gathered.
inline constexpr std::uint32_t kAtVersionCapacity = 25;
inline constexpr std::uint32_t kAtSerialCapacity = 40;
inline constexpr std::uint32_t kAtAreaCapacity = 100;

// The seven characters from "Ver" (fewer when the answer ends first); none without "Ver".
std::optional<std::string> AtVersionIn(std::string_view answer);
// The serial in the answer to "AT+CGSN": 15 characters from offset 2 when the device did not
// echo the command, from offset 10 when it did and 26 or more bytes arrived; none while the
// answer is empty or an echoed one is still short.
std::optional<std::string> AtSerialIn(std::string_view answer);

enum class AtArea { kHome, kRoaming, kNoService, kUndecided };
// The field after the second comma of the answer to "AT@FCMINFO=1": '0' home, '1' roaming,
// empty (or not there yet) undecided, anything else no service.
AtArea AtAreaIn(std::string_view answer);

enum class AtAnswer { kRead, kNotAvailable, kNoAnswer };

// How the version answer is judged.
enum class AtVersionRule {
    // Any answer decides: without "Ver" it is no answer at once (the start-up check).
    kFirstAnswer,
    // Only an answer with "Ver" counts; the others are asked again (after the write).
    kUntilVersion,
};

// Both channels opened for the object's life; every question below needs them open.
class CAtChannels {
  public:
    // `clock` paces the pauses between attempts; the device is given real time to answer.
    CAtChannels(CUsbPort& port, platform::kernel::Clock& clock);
    ~CAtChannels();
    CAtChannels(const CAtChannels&) = delete;
    CAtChannels& operator=(const CAtChannels&) = delete;

    bool IsOpen() const { return m_bOpen; }

    // "AT+GMR" on channel 0: up to 4 attempts 1 second apart.
    AtAnswer AskVersion(AtVersionRule rule, CComString& strVersion);
    // "AT+CGSN" on channel 0: up to 4 attempts 1 second apart.
    AtAnswer AskSerial(CComString& strSerial);
    // "AT@FCMINFO=1" on channel 1: nRetries + 1 attempts 5 seconds apart; no service when
    // nothing decided.
    AtArea AskArea(int nRetries);

  private:
    enum class Verdict { kDone, kAgain, kGiveUp };
    struct Question {
        int nChannel;
        std::string_view command;
        std::uint32_t uiCapacity;
        int nAttempts;
        std::uint32_t uiRetryMs;
    };

    // The text `reader` finds in an answer; bAnyAnswerDecides: an answer it finds nothing in
    // ends the attempts.
    AtAnswer AskFor(const Question& question,
                    const std::function<std::optional<std::string>(std::string_view)>& reader,
                    bool bAnyAnswerDecides, CComString& strFound);
    // Writes the command; each attempt pauses, gathers what the device answers and lets the
    // judge decide; the command is written again before each further attempt. True when the
    // judge said done; false when it gave up, the attempts ran out or a write failed.
    bool Ask(const Question& question, const std::function<Verdict(const std::string&)>& judge);
    std::string Gather(int nChannel, std::uint32_t uiCapacity);
    bool Write(int nChannel, std::string_view command);

    CUsbPort& m_port;
    platform::kernel::Clock& m_clock;
    bool m_bOpen = false;
};
