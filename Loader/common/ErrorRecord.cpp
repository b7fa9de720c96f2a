#include "Loader/common/ErrorRecord.h"

#include <mutex>
#include <utility>

#include "Loader/common/ComLog.h"
#include "Loader/common/ComString.h"

void ExecErrorRecord::Reset() {
    ExecIdx = kStart;
    ExecInfo = kStart;
    ExecDetail = kStart;
    ErrContents = kStart;
    ErrDetail = kStart;
}

void ExecErrorRecord::CopyFrom(const ExecErrorRecord& other) {
    ExecIdx = other.ExecIdx.load();
    ExecInfo = other.ExecInfo.load();
    ExecDetail = other.ExecDetail.load();
    ErrContents = other.ErrContents.load();
    ErrDetail = other.ErrDetail.load();
}

namespace {
thread_local ExecErrorRecord* t_pBound = nullptr;
}  // namespace

ExecErrorRecord& ProcessExecError() {
    static ExecErrorRecord record;
    return record;
}

ExecErrorRecord& ExecError() {
    return t_pBound != nullptr ? *t_pBound : ProcessExecError();
}

ScopedExecErrorBinding::ScopedExecErrorBinding(ExecErrorRecord& record) : m_pPrevious(t_pBound) {
    t_pBound = &record;
}

ScopedExecErrorBinding::~ScopedExecErrorBinding() {
    t_pBound = m_pPrevious;
}

void SetExecError(std::int32_t execIdx, std::int32_t execInfo, std::int32_t errContents,
                  std::int32_t errDetail) {
    ExecErrorRecord& r = ExecError();
    r.ExecIdx = execIdx;
    r.ExecInfo = execInfo;
    r.ErrContents = errContents;
    r.ErrDetail = errDetail;
}

namespace {

std::mutex g_placeLock;
ErrorLogOpener g_place;

ErrorLogOpener Place() {
    std::lock_guard lock(g_placeLock);
    return g_place;
}

}  // namespace

ScopedErrorLogPlace::ScopedErrorLogPlace(ErrorLogOpener opener) {
    std::lock_guard lock(g_placeLock);
    m_previous = std::exchange(g_place, std::move(opener));
}

ScopedErrorLogPlace::~ScopedErrorLogPlace() {
    std::lock_guard lock(g_placeLock);
    g_place = std::move(m_previous);
}

int WriteErrorLog() {
    const ExecErrorRecord& r = ExecError();
    CComLog log;
    const ErrorLogOpener place = Place();
    if ((place ? place(log) : log.Open(kErrorLogName)) != 1 || !log.IsOpen()) {
        return 0;
    }
    log.WriteDateTime("");
    log.WriteText(CComString::Formatted("Exec idx=%d info=%d detail=%d\n", r.ExecIdx.load(),
                                        r.ExecInfo.load(), r.ExecDetail.load()));
    log.WriteText(CComString::Formatted("Err  contents=%d detail=0x%08x\n", r.ErrContents.load(),
                                        static_cast<unsigned>(r.ErrDetail.load())));
    return 1;
}
