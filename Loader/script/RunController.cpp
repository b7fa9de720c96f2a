#include "Loader/script/RunController.h"

#include <utility>

#include "Loader/common/ErrorRecord.h"
#include "Loader/common/StartTrace.h"
#include "Loader/device/PortManage.h"
#include "platform/resources/resources.h"

CLoaderRun::CLoaderRun(platform::kernel::Clock& clock) : m_clock(clock) {}

CLoaderRun::~CLoaderRun() {
    if (m_bStarted) {
        Stop();
        Wait();
    }
}

int CLoaderRun::LoadTexts() {
    const int nScript = m_script.LoadParamSection("Loader_Update");
    const int nInit = m_initData.LoadParamSection("Loader_Ini");
    m_verData.LoadParamSection("Loader_Ver");
    m_sumData.LoadParamSection("Loader_Sum");
    m_bTextsLoaded = nScript == 1 && nInit == 1;
    return m_bTextsLoaded ? 1 : 0;
}

int CLoaderRun::LoadScriptText(std::string_view cp932Text) {
    const platform::resources::ScopedResource text(
        "INI", 145, {reinterpret_cast<const std::uint8_t*>(cp932Text.data()), cp932Text.size()});
    return m_script.LoadParamSection("Loader_Update");
}

void CLoaderRun::SetPort(std::unique_ptr<CPortManage> pPort) {
    m_pPort = std::move(pPort);
}

int CLoaderRun::Start(const CComString& cstrSection) {
    if (!m_bTextsLoaded || m_bStarted) {
        return 0;
    }
    starttrace::Mark("start");
    if (!m_pPort) {
        auto pUsbPort = std::make_unique<CUsbPort>(&m_initData, m_clock);
        if (pUsbPort->FindPort(CUsbPort::kUpdatePort) == 0) {
            return 0;
        }
        m_pPort = std::move(pUsbPort);
    }
    starttrace::Mark("found");
    m_bStarted = true;
    if (!StartThreads({&m_script, &m_initData, &m_verData, &m_sumData}, m_pPort.get(), cstrSection,
                      m_clock)) {
        m_bStarted = false;
        return 0;
    }
    return 1;
}

CLoaderRun::Result CLoaderRun::Wait() {
    if (!m_bStarted) {
        return Result::kNotStarted;
    }
    JoinThreads();
    if (m_bFailed.load()) {
        return Result::kFailed;
    }
    const bool bStoppedBetweenRows =
        ExecError().ExecInfo.load() == kStartStopped && ExecError().ExecIdx.load() == 0;
    if (StopRequested() || bStoppedBetweenRows) {
        return Result::kStopped;
    }
    return Result::kSucceeded;
}

void CLoaderRun::StepMessage(const CComString& cstrText, int nLevel) {
    if (m_callbacks.onStep) {
        m_callbacks.onStep(cstrText, nLevel);
    }
}

void CLoaderRun::ShowErrorBox(int nMessageId) {
    ++m_nErrorBoxes;
    if (m_callbacks.onErrorBox) {
        m_callbacks.onErrorBox(nMessageId);
    }
}

void CLoaderRun::SetFailed(bool bFailed) {
    if (bFailed) {
        m_bFailed = true;
    }
}

void CLoaderRun::PostLoaderEnd() {
    ++m_nEnds;
    if (m_callbacks.onEnd) {
        m_callbacks.onEnd();
    }
}

void CLoaderRun::PostProgress() {
    ++m_nProgress;
    if (m_callbacks.onProgress) {
        m_callbacks.onProgress();
    }
}
