#include "Loader/common/ComLog.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace {

struct LocalNow {
    struct tm tm {};
    int millis = 0;
};

LocalNow Now() {
    LocalNow now;
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    localtime_r(&ts.tv_sec, &now.tm);
    now.millis = static_cast<int>(ts.tv_nsec / 1000000);
    return now;
}

CComString TimeStamp() {
    LocalNow n = Now();
    return CComString::Formatted("<%02d:%02d:%02d.%03d>", n.tm.tm_hour, n.tm.tm_min, n.tm.tm_sec,
                                 n.millis);
}

// Index of the last path separator, or -1; both separators count so that script paths and
// Linux paths alike lose their folders.
int LastSeparator(const CComString& path) {
    return std::max(path.ReverseFind('\\'), path.ReverseFind('/'));
}

}  // namespace

CComLog::CComLog(const CComString& strFileName) {
    Open(strFileName);
}

CComLog::~CComLog() {
    Close();
}

int CComLog::Open(const CComString& strFileName) {
    Close();
    // Emptied only once it has passed; non-blocking so that a FIFO cannot hold the writer.
    const int fd = ::open(strFileName.GetString(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) {
        return 0;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return 0;
    }
    return Adopt(fd, strFileName);
}

int CComLog::Adopt(int fd, const CComString& strFileName) {
    Close();
    // Binary: the LF to CR LF translation is done by Put, the same on every platform.
    m_file.reset(::fdopen(fd, "w+b"));
    if (!m_file) {
        ::close(fd);
        return 0;
    }
    m_strFileName = strFileName;
    return 1;
}

int CComLog::OpenDefault() {
    std::string exe(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n <= 0) {
        return 0;
    }
    exe.resize(static_cast<std::size_t>(n));
    return Open(DefaultLogName(CComString(std::string_view(exe))));
}

void CComLog::Close() {
    m_file.reset();
    m_strFileName.Empty();
}

CComString CComLog::DefaultLogName(const CComString& strExePath) {
    int sep = LastSeparator(strExePath);
    CComString name = strExePath.Mid(sep + 1);
    int dot = name.Find('.');
    if (dot >= 0) {
        name = name.Left(dot);
    }
    return strExePath.Left(sep + 1) + name + ".log";
}

void CComLog::Put(std::string_view text) {
    if (!m_file) {
        return;
    }
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    std::fwrite(out.data(), 1, out.size(), m_file.get());
    std::fflush(m_file.get());
}

void CComLog::WriteText(const CComString& strText) {
    Put(strText.View());
}

void CComLog::WriteDateTime(const CComString& strText) {
    if (!m_file) {
        return;
    }
    LocalNow n = Now();
    Put(CComString::Formatted("<%04d.%02d.%02d %02d:%02d:%02d.%03d> %s\n", n.tm.tm_year + 1900,
                              n.tm.tm_mon + 1, n.tm.tm_mday, n.tm.tm_hour, n.tm.tm_min, n.tm.tm_sec,
                              n.millis, strText.GetString())
            .View());
}

void CComLog::WriteTime(const CComString& strText) {
    if (!m_file) {
        return;
    }
    Put((TimeStamp() + " " + strText + "\n").View());
}

void CComLog::WriteSource(const CComString& strPath, int nLine, const CComString& strText) {
    if (!m_file) {
        return;
    }
    CComString file = strPath.Mid(LastSeparator(strPath) + 1);
    Put(CComString::Formatted("%s(%05d): %s\n", file.GetString(), nLine, strText.GetString())
            .View());
}

void CComLog::WriteSourceTime(const CComString& strPath, int nLine, const CComString& strText) {
    if (!m_file) {
        return;
    }
    WriteSource(strPath, nLine, TimeStamp() + " " + strText);
}
