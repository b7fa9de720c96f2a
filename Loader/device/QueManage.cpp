#include "Loader/device/QueManage.h"

#include <algorithm>
#include <utility>

#include "Loader/device/LoaderThread.h"

CQueData::CQueData(const std::uint8_t* pbKey, int iSize, CLoaderThread* pExecThread)
    : m_pExecThread(pExecThread) {
    if (pbKey != nullptr && iSize > 0) {
        m_pbKey.assign(pbKey, pbKey + iSize);
        m_iSize = iSize;
    }
}

int CQueManage::AddQueData(std::unique_ptr<CQueData> pQueData) {
    if (!pQueData) {
        return 0;
    }
    m_QueList.push_back(std::move(pQueData));
    if (m_pReadEvent) {
        m_pReadEvent->Set();
    }
    ++m_nWaitCount;
    return 1;
}

int CQueManage::AddQueData(const std::uint8_t* pbKey, int iSize, CLoaderThread* pExecThread) {
    return AddQueData(std::make_unique<CQueData>(pbKey, iSize, pExecThread));
}

CQueData* CQueManage::FindQueData(const std::uint8_t* pbKey, int iSize) {
    const std::size_t available =
        pbKey != nullptr && iSize > 0 ? static_cast<std::size_t>(iSize) : 0;
    CQueData* served = nullptr;
    for (const std::unique_ptr<CQueData>& entry : m_QueList) {
        const std::vector<std::uint8_t>& key = entry->m_pbKey;
        if (key.size() > available || !std::equal(key.begin(), key.end(), pbKey)) {
            continue;
        }
        // A served entry whose owner has not taken its record yet must not swallow the next
        // answer meant for the wait registered after it.
        if (!entry->m_bServed) {
            return entry.get();
        }
        if (served == nullptr) {
            served = entry.get();
        }
    }
    return served;
}

CQueData* CQueManage::FindQueData(const CLoaderThread* pExecThread) {
    for (const std::unique_ptr<CQueData>& entry : m_QueList) {
        if (entry->m_pExecThread == pExecThread) {
            return entry.get();
        }
    }
    return nullptr;
}

void CQueManage::Unregister(const CQueData& entry) {
    if (!entry.m_bServed && m_nWaitCount > 0 && --m_nWaitCount == 0 && m_pReadEvent) {
        m_pReadEvent->Reset();
    }
}

int CQueManage::DelQueData(const CLoaderThread* pExecThread) {
    auto it = std::find_if(m_QueList.begin(), m_QueList.end(), [pExecThread](const auto& e) {
        return e->m_pExecThread == pExecThread;
    });
    if (it == m_QueList.end()) {
        return 0;
    }
    Unregister(**it);
    m_QueList.erase(it);
    return 1;
}

int CQueManage::DelAllQueData(const CLoaderThread* pExecThread) {
    int removed = 0;
    while (DelQueData(pExecThread) == 1) {
        ++removed;
    }
    return removed;
}

int CQueManage::SetRecvData(CQueData* pQueData, std::vector<std::uint8_t> record) {
    if (pQueData == nullptr) {
        return 0;
    }
    pQueData->m_dwLength = static_cast<std::uint32_t>(record.size());
    pQueData->m_pvBuff = std::move(record);
    if (pQueData->m_pExecThread != nullptr) {
        if (std::shared_ptr<platform::kernel::Event> recv =
                pQueData->m_pExecThread->GetRecvEvent()) {
            recv->Set();
        }
    }
    // The count holds waits not yet served; a replacement does not serve anybody new.
    if (!pQueData->m_bServed) {
        pQueData->m_bServed = true;
        if (m_nWaitCount > 0) {
            --m_nWaitCount;
        }
        if (m_nWaitCount == 0 && m_pReadEvent) {
            m_pReadEvent->Reset();
        }
    }
    return 1;
}

void CQueManage::SetReadThreadObject(CLoaderReadThread* pReadThread) {
    m_pReadThread = pReadThread;
    m_pReadEvent = pReadThread != nullptr ? pReadThread->GetReadEvent() : nullptr;
}
