// The update tool's side of the shared state store: the keys it creates at start-up, the update
// record it hands to the update manager, the pending-request flag and its own progress record.
// Each operation opens the current user's store, does one transaction and closes it; each
// returns 1 on success and 0 on failure.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

#include "Loader/common/ComString.h"
#include "platform/registry/Registry.h"

class CStateStore {
  public:
    using NowSource = std::function<std::time_t()>;

    // `now` defaults to the system's clock.
    explicit CStateStore(
        platform::registry::Location location = platform::registry::CurrentUserStore(),
        NowSource now = {});

    // Software\norvale\ZR40UpReg with UpdateList and ZR40SwUp, inside an existing Software.
    int CreateStateKeys();
    // UpdateList\<serial> with DateTime = now and Version; fails without the base key or for a
    // serial that is empty or holds a backslash (it would name a deeper key).
    int WriteUpdateListEntry(const CComString& strSerial, const CComString& strVersion);
    // On: creates UpdateRequesting and deletes UpdateRetry. Off: deletes UpdateRequesting and
    // tells through pbExisted whether it was there.
    // Off also notes, with the deletion, that the flag was taken away; on forgets that note.
    int SetUpdateRequesting(bool bOn, bool* pbExisted = nullptr);
    // Gives UpdateRequesting back when a run ended before it could (killed during the write);
    // 1 when it did.
    int RestoreWithheldRequests();
    // Status 99 deletes the whole ZR40SwUp key; DriverUpdate 9 leaves that value as it is;
    // OldVersion and ExecDir are written with Status 1 only.
    int WriteSwUpState(std::uint32_t dwStatus, std::uint32_t dwDriverUpdate,
                       const CComString& strOldVersion, const CComString& strExecDir);
    int SetUpdateError(bool bOn);
    // A write has started: what Status 1 records, without the Status. The device resets at the
    // end of the write, before Status 1 can be written; a run ended in between is told by this.
    // Status 1 and ClearWriteUnderWay (a failed write) remove it; a failed write also takes
    // OldVersion and ExecDir with it while no Status is recorded.
    int MarkWriteUnderWay(const CComString& strOldVersion, const CComString& strExecDir);
    int ClearWriteUnderWay();
    // 1 when a write was started and neither its end nor its failure was recorded.
    int HasWriteUnderWay();

    // What a resumed run needs; 0 when the key or value is missing.
    int ReadStatus(std::uint32_t& dwStatus);
    int ReadDriverUpdate(std::uint32_t& dwDriverUpdate);
    int ReadOldVersion(CComString& strOldVersion);
    int ReadExecDir(CComString& strExecDir);
    // 1 when UpdateError exists.
    int HasUpdateError();

  private:
    int ReadDword(const char* pszName, std::uint32_t& dwValue);
    int ReadText(const char* pszName, CComString& strValue);

    platform::registry::Location m_location;
    NowSource m_now;
};
