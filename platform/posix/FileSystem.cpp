#include "platform/FileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/file.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace QORAPI {

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t len)
{
    while (len > 0)
    {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

void SplitPath(const std::string& path, std::string& dir, std::string& base)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
    {
        dir = ".";
        base = path;
    }
    else
    {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
}

} // namespace

bool WriteFileAtomic(const std::string& path, const void* data, size_t len)
{
    if (path.empty() || (len > 0 && data == nullptr))
        return false;
    std::string dir, base;
    SplitPath(path, dir, base);
    if (base.empty())
        return false;

    // "." + name + ".tmp-XXXXXX" must itself fit in a folder entry.
    const size_t kMaxEntry = 255, kTempExtra = 12;
    const std::string tempBase = base.substr(0, kMaxEntry - kTempExtra);
    std::string temp = (dir == "/" ? std::string() : dir) + "/." + tempBase + ".tmp-XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    temp.assign(name.data());

    struct stat existing;
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ::fchmod(fd, existing.st_mode & 07777);

    bool ok = WriteAll(fd, static_cast<const uint8_t*>(data), len) && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0)
        ok = false;
    if (!ok)
    {
        ::unlink(temp.c_str());
        return false;
    }

    // Make the rename itself durable; a failure here does not undo the write.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0)
    {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxLen)
{
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > maxLen)
    {
        ::close(fd);
        return false;
    }
    uint8_t chunk[4096];
    bool ok = true;
    for (;;)
    {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (out.size() + static_cast<size_t>(n) > maxLen)
        {
            ok = false;
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    ::close(fd);
    if (!ok)
        out.clear();
    return ok;
}

bool MakeDirectories(const std::string& path, uint32_t mode)
{
    if (path.empty())
        return false;
    if (IsDirectory(path))
        return true;
    size_t pos = 0;
    while (pos != std::string::npos)
    {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (part.empty() || IsDirectory(part))
            continue;
        if (::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST)
            return false;
    }
    return IsDirectory(path);
}

bool IsAbsolutePath(const std::string& path)
{
    return !path.empty() && path[0] == '/';
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RemoveFile(const std::string& path)
{
    if (::unlink(path.c_str()) == 0)
        return true;
    return errno == ENOENT;
}

bool RemoveEmptyDirectory(const std::string& path)
{
    return ::rmdir(path.c_str()) == 0;
}

bool ListDirectory(const std::string& path, std::vector<DirEntry>& out)
{
    out.clear();
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return false;
    while (const dirent* ent = ::readdir(dir))
    {
        const std::string name = ent->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        DirEntry entry{name, false, false};
        // lstat: a symbolic link is neither a folder nor a file of the store.
        if (::fstatat(::dirfd(dir), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        {
            entry.mIsDirectory = S_ISDIR(st.st_mode);
            entry.mIsRegularFile = S_ISREG(st.st_mode);
        }
        out.push_back(entry);
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) { return a.mName < b.mName; });
    return true;
}

bool CreateTemporaryDirectory(const std::string& prefix, std::string& out)
{
    std::string base;
    if (!GetEnvironmentVariable("TMPDIR", base) || base.empty())
        base = "/tmp";
    const std::string pattern = base + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data()))
        return false;
    out.assign(name.data());
    return true;
}

FileLock::~FileLock()
{
    Unlock();
}

bool FileLock::Lock(const std::string& path)
{
    Unlock();
    for (;;)
    {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return false;
        int rc;
        do
            rc = ::flock(fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        struct stat held, current;
        if (rc != 0 || ::fstat(fd, &held) != 0)
        {
            ::close(fd);
            return false;
        }
        // The file may have been removed (or replaced) while we waited.
        if (::stat(path.c_str(), &current) == 0 && current.st_dev == held.st_dev && current.st_ino == held.st_ino)
        {
            mHandle = fd;
            return true;
        }
        ::close(fd);
    }
}

void FileLock::Unlock()
{
    if (mHandle == -1)
        return;
    ::close(static_cast<int>(mHandle));  // releases the lock
    mHandle = -1;
}

bool GetEnvironmentVariable(const std::string& name, std::string& out)
{
    const char* value = std::getenv(name.c_str());
    if (!value)
        return false;
    out = value;
    return true;
}

bool SetEnvironmentVariable(const std::string& name, const std::string& value)
{
    if (value.empty())
        return ::unsetenv(name.c_str()) == 0;
    return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

bool GetHomeDirectory(std::string& out)
{
    if (GetEnvironmentVariable("HOME", out) && !out.empty())
        return true;
    struct passwd pwd;
    struct passwd* result = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pwd, buf, sizeof(buf), &result) == 0 && result && result->pw_dir)
    {
        out = result->pw_dir;
        return !out.empty();
    }
    return false;
}

} // namespace QORAPI
