#include "sim/devsim/Catalog.h"

#include "platform/fd/UniqueFd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sim::devsim {

namespace {

constexpr const char* kOwnerKey = "Owner";

using platform::fd::UniqueFd;

std::string SysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The records of the file as it is, except owner's; a missing file has none.
std::string OtherRecords(const std::string& path, const std::string& ownerTag) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) {
        return {};
    }
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd.Get(), buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    std::string kept;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string_view line(text.data() + start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        // Owner=... is matched as a whole field.
        bool mine = false;
        std::size_t field = 0;
        while (field <= line.size()) {
            std::size_t tab = line.find('\t', field);
            std::string_view f =
                line.substr(field, tab == std::string_view::npos ? line.npos : tab - field);
            if (f == ownerTag) {
                mine = true;
                break;
            }
            if (tab == std::string_view::npos) {
                break;
            }
            field = tab + 1;
        }
        if (!mine) {
            kept.append(line);
            kept.push_back('\n');
        }
    }
    return kept;
}

int WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        done += static_cast<std::size_t>(n);
    }
    return 1;
}

}  // namespace

std::string FormatRecord(const CatalogRecord& record) {
    std::string line = record.kind + "\t" + record.id;
    for (const auto& [name, value] : record.properties) {
        line += "\t" + name + "=" + value;
    }
    return line;
}

int WriteCatalog(const std::string& path, const std::string& owner,
                 const std::vector<CatalogRecord>& records, std::string& error) {
    UniqueFd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock.Get() < 0) {
        error = SysError("cannot open " + path + ".lock");
        return 0;
    }
    while (::flock(lock.Get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            error = SysError("cannot lock " + path + ".lock");
            return 0;
        }
    }
    const std::string ownerTag = std::string(kOwnerKey) + "=" + owner;
    std::string text = "# ZR-40 device catalogue, written by zr40-devsim\n";
    text += OtherRecords(path, ownerTag);
    for (const CatalogRecord& record : records) {
        text += FormatRecord(record) + "\t" + ownerTag + "\n";
    }
    const std::string tmp = path + ".tmp";
    {
        UniqueFd out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (out.Get() < 0 || WriteAll(out.Get(), text) == 0) {
            error = SysError("cannot write " + tmp);
            return 0;
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        error = SysError("cannot rename " + tmp);
        ::unlink(tmp.c_str());
        return 0;
    }
    return 1;
}

}  // namespace sim::devsim
