#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace QORAPI {

bool WriteFileAtomically(const std::string& path, const std::string& contents)
{
    std::vector<char> temp(path.begin(), path.end());
    const char suffix[] = ".tmpXXXXXX";
    temp.insert(temp.end(), suffix, suffix + sizeof(suffix));
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;

    bool ok = true;
    struct stat old;
    if (stat(path.c_str(), &old) == 0)
        ok = fchmod(fd, old.st_mode & 07777) == 0;
    else
        ok = fchmod(fd, 0644) == 0;

    size_t done = 0;
    while (ok && done < contents.size())
    {
        const ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (ok && fsync(fd) != 0)
        ok = false;
    if (close(fd) != 0)
        ok = false;
    if (ok && std::rename(temp.data(), path.c_str()) != 0)
        ok = false;
    if (!ok)
        unlink(temp.data());
    return ok;
}

} // namespace QORAPI
