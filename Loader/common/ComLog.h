// Text-file log writer. Every LF written becomes CR LF, as the log's readers on the PC expect,
// and every write is flushed so that a crash loses nothing already written.
#pragma once

#include <cstdio>
#include <memory>

#include "Loader/common/ComString.h"

class CComLog {
  public:
    CComLog() = default;
    explicit CComLog(const CComString& strFileName);
    CComLog(const CComLog&) = delete;
    CComLog& operator=(const CComLog&) = delete;
    virtual ~CComLog();

    // Creates (truncates) the file; 1 on success, 0 when it cannot be created. A file already
    // open is closed first. Never through a link, and never a file with another name or not a
    // regular file: a name planted there must not make the writer empty what it stands for.
    int Open(const CComString& strFileName);
    // Takes `fd`, open for writing and ready to be written from its start, as the log named
    // strFileName; 1 on success, 0 when it cannot be taken (it is closed then).
    int Adopt(int fd, const CComString& strFileName);
    // The log named after the program: directory of the executable + its name up to the first
    // dot + ".log".
    int OpenDefault();
    void Close();
    bool IsOpen() const { return m_file != nullptr; }
    const CComString& GetFileName() const { return m_strFileName; }

    // Writes do nothing while no file is open.
    void WriteText(const CComString& strText);
    // "<YYYY.MM.DD hh:mm:ss.mmm> text" + line end, local time.
    void WriteDateTime(const CComString& strText);
    // "<hh:mm:ss.mmm> text" + line end.
    void WriteTime(const CComString& strText);
    // "file(00042): text" + line end; file is the part of the path after its last backslash or
    // slash.
    void WriteSource(const CComString& strPath, int nLine, const CComString& strText);
    // WriteSource with the text prefixed by "<hh:mm:ss.mmm> ".
    void WriteSourceTime(const CComString& strPath, int nLine, const CComString& strText);

    // The name OpenDefault uses for an executable path.
    static CComString DefaultLogName(const CComString& strExePath);

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    void Put(std::string_view text);

    CComString m_strFileName;
    std::unique_ptr<std::FILE, FileCloser> m_file;
};
