// Readers of the firmware images carried inside the program. An image path from the script is
// never opened on disk: the first module name contained in it selects an embedded DATA resource.
#pragma once

#include <cstdint>
#include <vector>

#include "Loader/common/ComString.h"

// One row of the module table: a module name and the number of its DATA resource.
struct CComModuleEntry {
    char name[16];
    std::uint32_t resource;
};

// The module table in its fixed order, ended by a row named "end".
extern const CComModuleEntry kComModuleTable[14];

// Row index of the first module whose name occurs in the path (case-sensitive), or -1.
int FindModule(const CComString& strPath);

// A frame image: the embedded image copied into a block of its own.
class CComFile {
  public:
    CComFile() = default;
    CComFile(const CComFile&) = delete;
    CComFile& operator=(const CComFile&) = delete;
    virtual ~CComFile() = default;

    // Largest image Open accepts.
    void SetCapacity(std::uint32_t uiCapacity) { m_uiCapacity = uiCapacity; }
    std::uint32_t GetCapacity() const { return m_uiCapacity; }
    // The work buffer the image passes through (the run's ImageBuffer); optional. Open never
    // touches more than min(capacity, uiSize) bytes of it.
    void SetStaging(unsigned char* pBuffer, std::uint32_t uiSize);

    // 1 or 0. Stores the module row in ExecDetail; on failure the error category is left as it
    // was (the text opener of CComStdioFile reports one).
    virtual int Open(const CComString& strPath);
    // Bytes copied: at most uiCount, no further than the end of the data.
    std::uint32_t Read(void* pBuffer, std::uint32_t uiCount);
    std::uint32_t GetLength() const { return static_cast<std::uint32_t>(m_data.size()); }
    std::uint32_t GetPosition() const { return m_uiPosition; }
    void Close();

  protected:
    // Shared steps of both openers; `report` stores the error category of a failed lookup.
    int OpenImage(const CComString& strPath, bool report);

    std::uint32_t m_uiPosition = 0;
    std::vector<unsigned char> m_data;

  private:
    std::uint32_t m_uiCapacity = 0;
    unsigned char* m_pStaging = nullptr;
    std::uint32_t m_uiStagingSize = 0;
};

// A text image (S-records or D2 lines), plus checksummed chunks of the shared image that the
// address-range commands prepare.
class CComStdioFile : public CComFile {
  public:
    // The text opener: on failure ErrContents is 3 (no module or no resource), 4 (resource not
    // loadable) or 5 (larger than the capacity).
    int Open(const CComString& strPath) override;
    // Next line of the opened image without its LF (a CR before it stays); the last line may
    // lack the LF. 1 when a line was read, 0 at the end.
    int ReadString(CComString& strLine);

    // The shared image the chunks come from, with its length; the read position goes back to 0.
    // Nothing is copied: the caller keeps the image alive.
    void SetImage(const unsigned char* pImage, std::uint32_t uiTotalLength);
    // Copies min(remaining, uiMax - 2) bytes from the read position and appends the two's
    // complement of their 16-bit sum, high byte first. Bytes written, 0 when uiMax <= 2 or
    // nothing remains.
    std::uint32_t ReadChunk(unsigned char* pOut, std::uint32_t uiMax);

    std::uint32_t GetTotalLength() const { return m_uiTotalLength; }
    std::uint32_t GetReadPosition() const { return m_uiReadPosition; }
    // Clamped to the total length.
    void SetReadPosition(std::uint32_t uiPosition);
    std::uint16_t GetValue16() const { return m_usValue16; }
    void SetValue16(std::uint16_t usValue) { m_usValue16 = usValue; }
    std::uint32_t GetValue32() const { return m_uiValue32; }
    void SetValue32(std::uint32_t uiValue) { m_uiValue32 = uiValue; }

  private:
    std::uint32_t m_uiValue32 = 0;
    std::uint16_t m_usValue16 = 0;
    const unsigned char* m_pImage = nullptr;
    std::uint32_t m_uiTotalLength = 0;
    std::uint32_t m_uiReadPosition = 0;
};
