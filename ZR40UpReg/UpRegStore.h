// The update manager's side of the shared state store: the owed update records, the retry state
// of the notification and the version-check settings. Each operation opens the current user's
// store, does one transaction and closes it; each returns 1 on success and 0 on failure (a
// missing key or value is a failure). Strings are written with their terminating zero.
//
// Stored times are local time, "YYYYMMDDhhmmss"; one whose digits do not form a date and time
// counts as missing. Elapsed times are whole seconds from the stored time to now.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "platform/registry/Registry.h"

// "YYYYMMDDhhmmss" as local time, daylight-saving time decided by the system; nothing when the
// digits do not form a date and time.
std::optional<std::time_t> ParseStoredTime(const std::string& text);

class CUpRegStore {
  public:
    using NowSource = std::function<std::time_t()>;

    // `now` defaults to the system's clock.
    explicit CUpRegStore(
        platform::registry::Location location = platform::registry::CurrentUserStore(),
        NowSource now = {});

    int IsUpdateRequesting();
    // The subkey of UpdateList at index 0; names longer than 15 characters do not fit.
    int HasUpdateListEntry(std::string& strSerial);
    // DateTime (at most 14 characters) and Version (at most 12, of which at most 7 after the
    // first three).
    int ReadUpdateListEntry(const std::string& strSerial, std::string& strDateTime,
                            std::string& strVersion);
    // Deletes of what is already absent succeed.
    int DeleteUpdateListEntry(const std::string& strSerial);
    int DeleteUpdateRequesting();
    // A sent report's entry, and UpdateRequesting with it when no other entry is left, in one
    // transaction: a flag deleted while entries remain would strand them, and a flag left
    // behind without entries would keep the retries going for nothing.
    int DeleteSentReport(const std::string& strSerial);

    int HasRetryState();
    // A count outside 0-5 reads as 5.
    int ReadRetryState(int& nCount, std::int64_t& llElapsedSec);
    // UpRetryCount = nCount (clamped to 0-5) and UpRetryStart = now.
    int WriteRetryState(int nCount);
    int DeleteRetryState();

    // A missing VerCheck fails but sets bOn: the check counts as switched on.
    int ReadVerCheck(bool& bOn);
    int WriteVerCheck(bool bOn);
    int ReadVerLastDate(std::int64_t& llElapsedSec);
    int WriteVerLastDate();
    int DeleteVerLastDate();
    int ReadLastVer(std::string& strDateCode, std::string& strName);
    int WriteLastVer(const std::string& strDateCode, const std::string& strName);

  private:
    std::string NowText() const;
    bool Elapsed(const std::string& strStored, std::int64_t& llElapsedSec) const;

    platform::registry::Location m_location;
    NowSource m_now;
};
