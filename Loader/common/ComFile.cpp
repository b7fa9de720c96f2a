#include "Loader/common/ComFile.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Loader/common/ErrorRecord.h"
#include "platform/resources/resources.h"

const CComModuleEntry kComModuleTable[14] = {
    {"C_CDSP", 153}, {"C_EDSP", 158}, {"C_GDSP", 157}, {"C_HDSP", 156}, {"C_L1", 162},
    {"C_L2", 159},   {"C_MDSP", 152}, {"C_PS", 151},   {"C_RFIC", 154}, {"C_USB", 164},
    {"C_VDSP", 155}, {"U_BDSP", 161}, {"U_LM", 160},   {"end", 0},
};

int FindModule(const CComString& strPath) {
    for (int i = 0; std::strcmp(kComModuleTable[i].name, "end") != 0; ++i) {
        if (strPath.Find(kComModuleTable[i].name) >= 0) {
            return i;
        }
    }
    return -1;
}

// ---- CComFile --------------------------------------------------------------------------------

namespace {}  // namespace

void CComFile::SetStaging(unsigned char* pBuffer, std::uint32_t uiSize) {
    m_pStaging = pBuffer;
    m_uiStagingSize = pBuffer != nullptr ? uiSize : 0;
}

int CComFile::Open(const CComString& strPath) {
    return OpenImage(strPath, false);
}

int CComFile::OpenImage(const CComString& strPath, bool report) {
    auto fail = [report](std::int32_t contents) {
        if (report) {
            ExecError().ErrContents = contents;
        }
        return 0;
    };
    Close();
    // The capacity may be larger than the buffer the caller lent; the smaller bounds every copy.
    std::uint32_t limit = m_uiCapacity;
    if (m_pStaging != nullptr) {
        limit = std::min(limit, m_uiStagingSize);
        std::memset(m_pStaging, 0, limit);
    }

    int row = FindModule(strPath);
    if (row < 0) {
        return fail(kErrNoModule);
    }
    ExecError().ExecDetail = row;
    auto image = platform::resources::Find("DATA", static_cast<int>(kComModuleTable[row].resource));
    if (!image) {
        return fail(kErrNoModule);
    }
    if (image->data() == nullptr && !image->empty()) {
        return fail(kErrNotLoadable);
    }
    if (image->size() > limit) {
        return fail(kErrTooLarge);
    }
    if (m_pStaging != nullptr && !image->empty()) {
        std::memcpy(m_pStaging, image->data(), image->size());
    }
    try {
        m_data.assign(image->begin(), image->end());
    } catch (const std::bad_alloc&) {
        m_data.clear();
        return 0;
    }
    return 1;
}

std::uint32_t CComFile::Read(void* pBuffer, std::uint32_t uiCount) {
    if (pBuffer == nullptr || m_uiPosition >= GetLength()) {
        return 0;
    }
    std::uint32_t n = std::min(uiCount, GetLength() - m_uiPosition);
    std::memcpy(pBuffer, m_data.data() + m_uiPosition, n);
    m_uiPosition += n;
    return n;
}

void CComFile::Close() {
    m_data.clear();
    m_data.shrink_to_fit();
    m_uiPosition = 0;
}

// ---- CComStdioFile ---------------------------------------------------------------------------

int CComStdioFile::Open(const CComString& strPath) {
    return OpenImage(strPath, true);
}

int CComStdioFile::ReadString(CComString& strLine) {
    strLine.Empty();
    if (m_uiPosition >= GetLength()) {
        return 0;
    }
    const auto begin = m_data.begin() + m_uiPosition;
    const auto lf = std::find(begin, m_data.end(), static_cast<unsigned char>('\n'));
    strLine = CComString(reinterpret_cast<const char*>(&*begin), static_cast<int>(lf - begin));
    m_uiPosition = static_cast<std::uint32_t>(lf - m_data.begin()) + (lf != m_data.end() ? 1 : 0);
    return 1;
}

void CComStdioFile::SetImage(const unsigned char* pImage, std::uint32_t uiTotalLength) {
    m_pImage = pImage;
    m_uiTotalLength = pImage != nullptr ? uiTotalLength : 0;
    m_uiReadPosition = 0;
}

void CComStdioFile::SetReadPosition(std::uint32_t uiPosition) {
    m_uiReadPosition = std::min(uiPosition, m_uiTotalLength);
}

std::uint32_t CComStdioFile::ReadChunk(unsigned char* pOut, std::uint32_t uiMax) {
    // uiMax below 2 would wrap the payload size to almost 4 GiB.
    if (pOut == nullptr || uiMax <= 2 || m_uiReadPosition >= m_uiTotalLength) {
        return 0;
    }
    std::uint32_t n = std::min(m_uiTotalLength - m_uiReadPosition, uiMax - 2);
    std::uint16_t sum = 0;
    for (std::uint32_t i = 0; i < n; ++i) {
        pOut[i] = m_pImage[m_uiReadPosition + i];
        sum = static_cast<std::uint16_t>(sum + pOut[i]);
    }
    m_uiReadPosition += n;
    const auto check = static_cast<std::uint16_t>(0x10000u - sum);
    pOut[n] = static_cast<unsigned char>(check >> 8);
    pOut[n + 1] = static_cast<unsigned char>(check & 0xFF);
    return n + 2;
}
