#include "ZR40UpReg/Notify.h"

namespace net = platform::net;

std::string FormatNotifyVersion(const std::string& strVersion) {
    const std::string rest = strVersion.size() > 3 ? strVersion.substr(3) : std::string();
    const std::size_t width = 7;
    const std::string zeros(rest.size() < width ? width - rest.size() : 0, '0');
    return "0000." + zeros + rest;
}

std::string BuildNotifyBody(const std::string& strSerial, const std::string& strVersion,
                            const std::string& strDateTime) {
    return "serial=" + strSerial + "&version=" + FormatNotifyVersion(strVersion) +
           "&date=" + strDateTime;
}

long SendNotification(const net::UpdateServer& server, const std::string& strBody,
                      const net::Canceller* pCanceller) {
    net::Request request;
    request.method = "POST";
    request.url = server.Url(net::kNotifyPath);
    request.headers.push_back("Content-Type: application/x-www-form-urlencoded");
    request.body = strBody;
    // The answer's body means nothing to us.
    const net::Result result = net::Perform(
        request, [](std::string_view) { return true; }, pCanceller);
    return result.Ok() ? result.status : 0;
}
