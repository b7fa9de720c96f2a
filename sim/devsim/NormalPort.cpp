#include "sim/devsim/NormalPort.h"

#include <algorithm>
#include <string>

namespace sim::devsim {

namespace {

enum class Match { No, Partial, Full };

template <std::size_t N>
Match MatchRequest(std::span<const std::uint8_t> input, const std::array<std::uint8_t, N>& req) {
    std::size_t n = std::min(input.size(), N);
    if (!std::equal(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n), req.begin())) {
        return Match::No;
    }
    return n == N ? Match::Full : Match::Partial;
}

}  // namespace

Bytes BuildVersionAnswer(const std::string& dateCode) {
    Bytes answer = {0xFF, 0xFD, 0xEF, 0xFD, 0xEE, 0x6F, 0x00, 0x09, 0xC0};
    for (std::size_t i = 0; i < 6; ++i) {
        answer.push_back(i < dateCode.size() ? static_cast<std::uint8_t>(dateCode[i]) : ' ');
    }
    answer.insert(answer.end(), {0x00, 0x00, 0xFE});
    return answer;
}

std::size_t NormalPort::Step(std::span<const std::uint8_t> input, Host& host) {
    if (input.empty()) {
        return 0;
    }
    Match version = MatchRequest(input, kVersionRequest);
    Match download = MatchRequest(input, kDownloadModeRequest);
    if (version == Match::Full) {
        host.FrameLog("rx RAW VERSION 10");
        host.Send(BuildVersionAnswer(m_dateCode), 0, "RAW VERSION 18");
        return kVersionRequest.size();
    }
    if (download == Match::Full) {
        host.FrameLog("rx RAW DOWNLOAD 8");
        host.Event("download-mode");
        host.EnterDownloadMode();
        return kDownloadModeRequest.size();
    }
    if (version == Match::Partial || download == Match::Partial) {
        return 0;
    }
    // Drop up to the next byte that may start a request.
    auto next = std::find(input.begin() + 1, input.end(), std::uint8_t{0xFF});
    auto dropped = static_cast<std::size_t>(next - input.begin());
    host.FrameLog("rx GARBAGE - " + std::to_string(dropped));
    return dropped;
}

}  // namespace sim::devsim
