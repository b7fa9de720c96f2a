#include "Loader/app/StateStore.h"

#include <cstdio>
#include <string>

namespace reg = platform::registry;

namespace {

constexpr const char* kBase = "Software\\norvale\\ZR40UpReg";
constexpr const char* kSwUp = "Software\\norvale\\ZR40UpReg\\ZR40SwUp";
constexpr std::uint32_t kStatusDelete = 99;
constexpr std::uint32_t kDriverUnchanged = 9;
constexpr std::uint32_t kStatusWritten = 1;
// UpdateRequesting taken away for a write: kept with the flag's removal so that a run killed
// before it gives the flag back does not lose the records it announces.
constexpr const char* kRequestsWithheld = "RequestsWithheld";
constexpr const char* kWriteUnderWay = "WriteUnderWay";

std::string LocalTimeText(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

// Already absent counts as deleted.
reg::Error DeleteKeyIfPresent(reg::Txn& t, const std::string& key) {
    reg::Error e = t.DeleteKey(key);
    return e.kind == reg::Kind::kNotFound ? reg::Error{} : e;
}

reg::Error DeleteValueIfPresent(reg::Txn& t, const char* pszName) {
    reg::Error e = t.DeleteValue(kSwUp, pszName);
    return e.kind == reg::Kind::kNotFound ? reg::Error{} : e;
}

reg::Error Created(const reg::Result<bool>& r) {
    return r.ok() ? reg::Error{} : r.error();
}

int Done(const reg::Error& e) {
    return e.ok() ? 1 : 0;
}

}  // namespace

CStateStore::CStateStore(reg::Location location, NowSource now)
    : m_location(std::move(location)), m_now(std::move(now)) {
    if (!m_now) {
        m_now = [] { return std::time(nullptr); };
    }
}

int CStateStore::CreateStateKeys() {
    reg::Store store(m_location);
    return Done(store.Write([](reg::Txn& t) {
        for (const char* sub : {"norvale\\ZR40UpReg\\UpdateList", "norvale\\ZR40UpReg\\ZR40SwUp"}) {
            if (reg::Error e = Created(t.CreateKey("Software", sub)); !e.ok()) {
                return e;
            }
        }
        return reg::Error{};
    }));
}

int CStateStore::WriteUpdateListEntry(const CComString& strSerial, const CComString& strVersion) {
    const std::string_view serial = strSerial.View();
    if (serial.empty() || serial.find('\\') != std::string_view::npos) {
        return 0;
    }
    const std::string key = std::string(kBase) + "\\UpdateList\\" + std::string(serial);
    const std::string dateTime = LocalTimeText(m_now());
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        if (reg::Error e = Created(t.CreateKey(kBase, "UpdateList\\" + std::string(serial)));
            !e.ok()) {
            return e;
        }
        reg::Error e = t.SetString(key, "DateTime", dateTime, reg::Zero::kStored);
        return e.ok() ? t.SetString(key, "Version", strVersion.View(), reg::Zero::kStored) : e;
    }));
}

int CStateStore::SetUpdateRequesting(bool bOn, bool* pbExisted) {
    reg::Store store(m_location);
    bool existed = false;
    const int ok = Done(store.Write([&](reg::Txn& t) {
        if (bOn) {
            reg::Error e = Created(t.CreateKey(kBase, "UpdateRequesting"));
            e = e.ok() ? DeleteKeyIfPresent(t, std::string(kBase) + "\\UpdateRetry") : e;
            if (e.ok() && t.OpenKey(kSwUp).ok()) {
                e = DeleteValueIfPresent(t, kRequestsWithheld);
            }
            return e;
        }
        const std::string key = std::string(kBase) + "\\UpdateRequesting";
        existed = t.OpenKey(key).ok();
        if (!existed) {
            return reg::Error{};
        }
        reg::Error e = Created(t.CreateKey(kBase, "ZR40SwUp"));
        e = e.ok() ? t.SetDword(kSwUp, kRequestsWithheld, 1) : e;
        return e.ok() ? t.DeleteKey(key) : e;
    }));
    if (pbExisted != nullptr) {
        *pbExisted = ok != 0 && existed;
    }
    return ok;
}

int CStateStore::RestoreWithheldRequests() {
    std::uint32_t dwWithheld = 0;
    if (ReadDword(kRequestsWithheld, dwWithheld) != 1) {
        return 0;
    }
    return SetUpdateRequesting(true);
}

int CStateStore::WriteSwUpState(std::uint32_t dwStatus, std::uint32_t dwDriverUpdate,
                                const CComString& strOldVersion, const CComString& strExecDir) {
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        if (dwStatus == kStatusDelete) {
            if (reg::Error e = t.OpenKey(kBase); !e.ok()) {
                return e;
            }
            return DeleteKeyIfPresent(t, kSwUp);
        }
        reg::Error e = Created(t.CreateKey(kBase, "ZR40SwUp"));
        e = e.ok() ? t.SetDword(kSwUp, "Status", dwStatus) : e;
        if (e.ok() && dwDriverUpdate != kDriverUnchanged) {
            e = t.SetDword(kSwUp, "DriverUpdate", dwDriverUpdate);
        }
        if (e.ok() && dwStatus == kStatusWritten) {
            e = t.SetString(kSwUp, "OldVersion", strOldVersion.View(), reg::Zero::kNotStored);
            e = e.ok() ? t.SetString(kSwUp, "ExecDir", strExecDir.View(), reg::Zero::kNotStored)
                       : e;
            e = e.ok() ? DeleteValueIfPresent(t, kWriteUnderWay) : e;
        }
        return e;
    }));
}

int CStateStore::MarkWriteUnderWay(const CComString& strOldVersion, const CComString& strExecDir) {
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        reg::Error e = Created(t.CreateKey(kBase, "ZR40SwUp"));
        e = e.ok() ? t.SetString(kSwUp, "OldVersion", strOldVersion.View(), reg::Zero::kNotStored)
                   : e;
        e = e.ok() ? t.SetString(kSwUp, "ExecDir", strExecDir.View(), reg::Zero::kNotStored) : e;
        return e.ok() ? t.SetDword(kSwUp, kWriteUnderWay, 1) : e;
    }));
}

// OldVersion and ExecDir were the mark's; without a Status they describe nothing.
int CStateStore::ClearWriteUnderWay() {
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        if (!t.OpenKey(kSwUp).ok()) {
            return reg::Error{};
        }
        reg::Error e = DeleteValueIfPresent(t, kWriteUnderWay);
        if (e.ok() && t.GetDword(kSwUp, "Status").error().kind == reg::Kind::kNotFound) {
            e = DeleteValueIfPresent(t, "OldVersion");
            e = e.ok() ? DeleteValueIfPresent(t, "ExecDir") : e;
        }
        return e;
    }));
}

int CStateStore::HasWriteUnderWay() {
    std::uint32_t dwMarked = 0;
    return ReadDword(kWriteUnderWay, dwMarked) == 1 && dwMarked == 1 ? 1 : 0;
}

int CStateStore::SetUpdateError(bool bOn) {
    reg::Store store(m_location);
    return Done(store.Write([&](reg::Txn& t) {
        return bOn ? Created(t.CreateKey(kBase, "UpdateError"))
                   : DeleteKeyIfPresent(t, std::string(kBase) + "\\UpdateError");
    }));
}

int CStateStore::ReadDword(const char* pszName, std::uint32_t& dwValue) {
    reg::Store store(m_location);
    return Done(store.Read([&](reg::Txn& t) {
        auto r = t.GetDword(kSwUp, pszName);
        if (r.ok()) {
            dwValue = r.value();
        }
        return r.ok() ? reg::Error{} : r.error();
    }));
}

int CStateStore::ReadText(const char* pszName, CComString& strValue) {
    reg::Store store(m_location);
    return Done(store.Read([&](reg::Txn& t) {
        auto r = t.GetString(kSwUp, pszName);
        if (r.ok()) {
            // Written without a terminating zero, but a zero from another writer ends the text.
            const std::string& bytes = r.value();
            strValue = CComString(std::string_view(bytes).substr(0, bytes.find('\0')));
        }
        return r.ok() ? reg::Error{} : r.error();
    }));
}

int CStateStore::ReadStatus(std::uint32_t& dwStatus) {
    return ReadDword("Status", dwStatus);
}

int CStateStore::ReadDriverUpdate(std::uint32_t& dwDriverUpdate) {
    return ReadDword("DriverUpdate", dwDriverUpdate);
}

int CStateStore::ReadOldVersion(CComString& strOldVersion) {
    return ReadText("OldVersion", strOldVersion);
}

int CStateStore::ReadExecDir(CComString& strExecDir) {
    return ReadText("ExecDir", strExecDir);
}

int CStateStore::HasUpdateError() {
    reg::Store store(m_location);
    return Done(store.OpenKey(std::string(kBase) + "\\UpdateError"));
}
