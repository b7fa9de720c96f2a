#include "Loader/common/ErrorRecord.h"

#include "Loader/common/ComLog.h"
#include "Loader/common/ComString.h"

void ExecErrorRecord::Reset() {
    ExecIdx = kStart;
    ExecInfo = kStart;
    ExecDetail = kStart;
    ErrContents = kStart;
    ErrDetail = kStart;
}

ExecErrorRecord& ExecError() {
    static ExecErrorRecord record;
    return record;
}

void SetExecError(std::int32_t execIdx, std::int32_t execInfo, std::int32_t errContents,
                  std::int32_t errDetail) {
    ExecErrorRecord& r = ExecError();
    r.ExecIdx = execIdx;
    r.ExecInfo = execInfo;
    r.ErrContents = errContents;
    r.ErrDetail = errDetail;
}

int WriteErrorLog() {
    const ExecErrorRecord& r = ExecError();
    CComLog log("ZR40Loader_err.log");
    if (!log.IsOpen()) {
        return 0;
    }
    log.WriteDateTime("");
    log.WriteText(CComString::Formatted("Exec idx=%d info=%d detail=%d\n", r.ExecIdx.load(),
                                        r.ExecInfo.load(), r.ExecDetail.load()));
    log.WriteText(CComString::Formatted("Err  contents=%d detail=0x%08x\n", r.ErrContents.load(),
                                        static_cast<unsigned>(r.ErrDetail.load())));
    return 1;
}
