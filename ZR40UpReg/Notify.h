// The update report as the update server takes it: one form-encoded POST per device.
#pragma once

#include <string>

#include "platform/net/Http.h"
#include "platform/net/UpdateServer.h"

// "0000." and the stored version without its first three characters, zero-filled on the left to
// seven: "Ver1.01" gives "0000.0001.01".
std::string FormatNotifyVersion(const std::string& strVersion);

// The values go in as they are: the server reads them unencoded.
std::string BuildNotifyBody(const std::string& strSerial, const std::string& strVersion,
                            const std::string& strDateTime);

// The HTTP status, 0 when no answer came.
long SendNotification(const platform::net::UpdateServer& server, const std::string& strBody,
                      const platform::net::Canceller* pCanceller);
