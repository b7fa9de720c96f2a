#include "ZR40UpReg/UpRegStore.h"

#include <charconv>
#include <optional>

namespace reg = platform::registry;

namespace {

constexpr const char* kBase = "Software\\Norvale\\ZR40UpReg";
const std::string kUpdateList = std::string(kBase) + "\\UpdateList";
const std::string kRequesting = std::string(kBase) + "\\UpdateRequesting";
const std::string kRetry = std::string(kBase) + "\\UpdateRetry";
const std::string kVerSetting = std::string(kBase) + "\\GetVerSetting";

constexpr std::size_t kSerialChars = 15;  // a 16-character buffer with its zero
constexpr std::size_t kDateTimeChars = 14;
constexpr std::size_t kVersionChars = 12;
constexpr std::size_t kVersionTailChars = 7;
constexpr std::size_t kLastVerChars = 6;
constexpr std::size_t kLastVerNameChars = 7;
constexpr int kMaxRetry = 5;

int Done(const reg::Error& e) {
    return e.ok() ? 1 : 0;
}

reg::Error Absent(std::string text) {
    return reg::Error{reg::Kind::kNotFound, std::move(text)};
}

reg::Error IgnoreAbsent(const reg::Error& e) {
    return e.kind == reg::Kind::kNotFound ? reg::Error{} : e;
}

// The text of a string value up to its first zero; longer than maxChars counts as unreadable,
// as it would not fit the reader's buffer.
reg::Error ReadText(reg::Txn& t, const std::string& key, const char* name, std::size_t maxChars,
                    std::string& out) {
    auto r = t.GetString(key, name);
    if (!r.ok()) {
        return r.error();
    }
    std::string text = r.value().substr(0, r.value().find('\0'));
    if (text.size() > maxChars) {
        return Absent(std::string(name) + " is too long");
    }
    out = std::move(text);
    return {};
}

reg::Error WriteText(reg::Txn& t, const std::string& key, const char* name, std::string_view text) {
    return t.SetString(key, name, text, reg::Zero::kStored);
}

reg::Error CreateKey(reg::Txn& t, const std::string& key) {
    auto r = t.CreateKey(key);
    return r.ok() ? reg::Error{} : r.error();
}

std::optional<int> Number(std::string_view text) {
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<std::time_t> ParseStoredTime(const std::string& text) {
    if (text.size() != kDateTimeChars) {
        return std::nullopt;
    }
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    auto field = [&](std::size_t pos, std::size_t len) { return *Number(text.substr(pos, len)); };
    std::tm tm{};
    const int year = field(0, 4);
    const int month = field(4, 2);
    tm.tm_mday = field(6, 2);
    tm.tm_hour = field(8, 2);
    tm.tm_min = field(10, 2);
    tm.tm_sec = field(12, 2);
    if (year < 1900 || month < 1 || month > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 ||
        tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59) {
        return std::nullopt;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return t;
}

CUpRegStore::CUpRegStore(reg::Location location, NowSource now)
    : m_location(std::move(location)), m_now(std::move(now)) {
    if (!m_now) {
        m_now = [] { return std::time(nullptr); };
    }
}

std::string CUpRegStore::NowText() const {
    const std::time_t now = m_now();
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

bool CUpRegStore::Elapsed(const std::string& strStored, std::int64_t& llElapsedSec) const {
    const auto start = ParseStoredTime(strStored);
    if (!start) {
        return false;
    }
    llElapsedSec = static_cast<std::int64_t>(m_now()) - static_cast<std::int64_t>(*start);
    return true;
}

int CUpRegStore::IsUpdateRequesting() {
    reg::Store store(m_location);
    return Done(store.OpenKey(kRequesting));
}

int CUpRegStore::HasUpdateListEntry(std::string& strSerial) {
    reg::Store store(m_location);
    return Done(store.Read([&](reg::Txn& t) {
        auto r = t.SubkeyAt(kUpdateList, 0);
        if (!r.ok()) {
            return r.error();
        }
        if (r.value().size() > kSerialChars) {
            return Absent("serial number too long");
        }
        strSerial = r.value();
        return reg::Error{};
    }));
}

int CUpRegStore::ReadUpdateListEntry(const std::string& strSerial, std::string& strDateTime,
                                     std::string& strVersion) {
    if (strSerial.empty() || strSerial.find('\\') != std::string::npos) {
        return 0;
    }
    const std::string key = kUpdateList + "\\" + strSerial;
    reg::Store store(m_location);
    std::string dateTime;
    std::string version;
    const int ok = Done(store.Read([&](reg::Txn& t) {
        reg::Error e = ReadText(t, key, "DateTime", kDateTimeChars, dateTime);
        e = e.ok() ? ReadText(t, key, "Version", kVersionChars, version) : e;
        if (e.ok() && version.size() > 3 + kVersionTailChars) {
            return Absent("Version too long");
        }
        return e;
    }));
    if (ok != 0) {
        strDateTime = dateTime;
        strVersion = version;
    }
    return ok;
}

int CUpRegStore::DeleteUpdateListEntry(const std::string& strSerial) {
    if (strSerial.empty() || strSerial.find('\\') != std::string::npos) {
        return 0;
    }
    reg::Store store(m_location);
    return Done(IgnoreAbsent(store.DeleteKey(kUpdateList + "\\" + strSerial)));
}

int CUpRegStore::DeleteUpdateRequesting() {
    reg::Store store(m_location);
    return Done(IgnoreAbsent(store.DeleteKey(kRequesting)));
}

int CUpRegStore::DeleteSentReport(const std::string& strSerial) {
    if (strSerial.empty() || strSerial.find('\\') != std::string::npos) {
        return 0;
    }
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        if (const reg::Error e = IgnoreAbsent(t.DeleteKey(kUpdateList + "\\" + strSerial));
            !e.ok()) {
            return e;
        }
        auto next = t.SubkeyAt(kUpdateList, 0);
        if (next.ok()) {
            return reg::Error{};
        }
        if (next.error().kind != reg::Kind::kNotFound) {
            return next.error();
        }
        return IgnoreAbsent(t.DeleteKey(kRequesting));
    }));
}

int CUpRegStore::HasRetryState() {
    reg::Store store(m_location);
    return Done(store.OpenKey(kRetry));
}

int CUpRegStore::ReadRetryState(int& nCount, std::int64_t& llElapsedSec) {
    reg::Store store(m_location);
    std::string count;
    std::string start;
    const int ok = Done(store.Read([&](reg::Txn& t) {
        // Any length: whatever is not 0-5 reads as 5, the slowest retry.
        reg::Error e = ReadText(t, kRetry, "UpRetryCount", std::string::npos, count);
        return e.ok() ? ReadText(t, kRetry, "UpRetryStart", kDateTimeChars, start) : e;
    }));
    std::int64_t elapsed = 0;
    if (ok == 0 || !Elapsed(start, elapsed)) {
        return 0;
    }
    const auto n = Number(count);
    nCount = n && *n >= 0 && *n <= kMaxRetry ? *n : kMaxRetry;
    llElapsedSec = elapsed;
    return 1;
}

int CUpRegStore::WriteRetryState(int nCount) {
    const int count = nCount >= 0 && nCount <= kMaxRetry ? nCount : kMaxRetry;
    const std::string start = NowText();
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        reg::Error e = CreateKey(t, kRetry);
        e = e.ok() ? WriteText(t, kRetry, "UpRetryCount", std::to_string(count)) : e;
        return e.ok() ? WriteText(t, kRetry, "UpRetryStart", start) : e;
    }));
}

int CUpRegStore::DeleteRetryState() {
    reg::Store store(m_location);
    return Done(IgnoreAbsent(store.DeleteKey(kRetry)));
}

int CUpRegStore::ReadVerCheck(bool& bOn) {
    reg::Store store(m_location);
    std::string text;
    const int ok = Done(
        store.Read([&](reg::Txn& t) { return ReadText(t, kVerSetting, "VerCheck", 1, text); }));
    // Only an explicit "0" switches the check off.
    bOn = ok == 0 || text != "0";
    return ok;
}

int CUpRegStore::WriteVerCheck(bool bOn) {
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        reg::Error e = CreateKey(t, kVerSetting);
        return e.ok() ? WriteText(t, kVerSetting, "VerCheck", bOn ? "1" : "0") : e;
    }));
}

int CUpRegStore::ReadVerLastDate(std::int64_t& llElapsedSec) {
    reg::Store store(m_location);
    std::string text;
    const int ok = Done(store.Read([&](reg::Txn& t) {
        return ReadText(t, kVerSetting, "VerLastDate", kDateTimeChars, text);
    }));
    return ok != 0 && Elapsed(text, llElapsedSec) ? 1 : 0;
}

int CUpRegStore::WriteVerLastDate() {
    const std::string now = NowText();
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        reg::Error e = CreateKey(t, kVerSetting);
        return e.ok() ? WriteText(t, kVerSetting, "VerLastDate", now) : e;
    }));
}

int CUpRegStore::DeleteVerLastDate() {
    reg::Store store(m_location);
    return Done(IgnoreAbsent(store.DeleteValue(kVerSetting, "VerLastDate")));
}

int CUpRegStore::ReadLastVer(std::string& strDateCode, std::string& strName) {
    reg::Store store(m_location);
    std::string code;
    std::string name;
    const int ok = Done(store.Read([&](reg::Txn& t) {
        reg::Error e = ReadText(t, kVerSetting, "LastVer", kLastVerChars, code);
        return e.ok() ? ReadText(t, kVerSetting, "LastVerName", kLastVerNameChars, name) : e;
    }));
    if (ok != 0) {
        strDateCode = code;
        strName = name;
    }
    return ok;
}

int CUpRegStore::WriteLastVer(const std::string& strDateCode, const std::string& strName) {
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        reg::Error e = CreateKey(t, kVerSetting);
        e = e.ok() ? WriteText(t, kVerSetting, "LastVer", strDateCode) : e;
        return e.ok() ? WriteText(t, kVerSetting, "LastVerName", strName) : e;
    }));
}
