#include "platform/FileSystem.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include <windows.h>

#include "platform/win32/WinPath.h"

// The names of this layer, not the character-set macros of <windows.h>.
#undef GetEnvironmentVariable
#undef SetEnvironmentVariable

namespace QORAPI {

namespace {

const size_t kMaxEntry = 255;

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

void SplitPath(const std::string& path, std::string& dir, std::string& base)
{
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
    {
        dir = ".";
        base = path;
    }
    else
    {
        dir = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
}

// A short name unique within this process and unlikely across processes.
std::string UniqueSuffix()
{
    static std::atomic<uint32_t> counter{0};
    const uint64_t mix = (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount() ^
                         (static_cast<uint64_t>(counter.fetch_add(1)) * 0x9E3779B97F4A7C15ull);
    static const char kChars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string out;
    uint64_t v = mix;
    for (int i = 0; i < 6; ++i)
    {
        out += kChars[v % 62];
        v /= 62;
    }
    return out;
}

DWORD Attributes(const std::string& path)
{
    return ::GetFileAttributesW(WidePath(path).c_str());
}

// Moves from over to. A reader that has the target open makes the replace
// fail for a moment (readers open with FILE_SHARE_DELETE, so it is brief); it
// is retried for up to about two seconds.
bool ReplaceWith(const std::string& from, const std::string& to)
{
    const std::wstring wfrom = WidePath(from), wto = WidePath(to);
    for (int attempt = 0;; ++attempt)
    {
        if (::MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD err = ::GetLastError();
        if ((err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION) || attempt >= 400)
            return false;
        ::Sleep(attempt < 20 ? 0 : 5);
    }
}

} // namespace

bool WriteFileAtomic(const std::string& path, const void* data, size_t len)
{
    if (path.empty() || (len > 0 && data == nullptr) || len > 0xFFFFFFFFu)
        return false;
    std::string dir, base;
    SplitPath(path, dir, base);
    if (base.empty())
        return false;

    // "." + name + ".tmp-XXXXXX" must itself fit in a folder entry.
    const std::string tempBase = base.substr(0, kMaxEntry - 12);
    std::string temp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt)
    {
        temp = dir + "/." + tempBase + ".tmp-" + UniqueSuffix();
        h = ::CreateFileW(WidePath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;

    DWORD written = 0;
    bool ok = (len == 0 || (::WriteFile(h, data, static_cast<DWORD>(len), &written, nullptr) && written == len)) &&
              ::FlushFileBuffers(h);
    if (!::CloseHandle(h))
        ok = false;
    if (ok && !ReplaceWith(temp, path))
        ok = false;
    if (!ok)
        ::DeleteFileW(WidePath(temp).c_str());
    return ok;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxLen)
{
    out.clear();
    const DWORD attrs = Attributes(path);
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    const HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(h, &size) || static_cast<uint64_t>(size.QuadPart) > maxLen)
    {
        ::CloseHandle(h);
        return false;
    }
    uint8_t chunk[4096];
    bool ok = true;
    for (;;)
    {
        DWORD n = 0;
        if (!::ReadFile(h, chunk, sizeof(chunk), &n, nullptr))
        {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        if (out.size() + n > maxLen)
        {
            ok = false;
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    ::CloseHandle(h);
    if (!ok)
        out.clear();
    return ok;
}

bool MakeDirectories(const std::string& path, uint32_t)
{
    if (path.empty())
        return false;
    if (IsDirectory(path))
        return true;
    for (size_t pos = 0; pos <= path.size(); ++pos)
    {
        if (pos < path.size() && !IsSeparator(path[pos]))
            continue;
        const std::string part = path.substr(0, pos);
        // Skip the root ("", "C:") and folders that are there already.
        if (part.empty() || part.back() == ':' || IsDirectory(part))
            continue;
        if (!::CreateDirectoryW(WidePath(part).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return IsDirectory(path);
}

// "C:\x", "C:/x" and "\\server\share" (a path from the root of the current
// drive, "\x", still depends on the current directory's drive).
bool IsAbsolutePath(const std::string& path)
{
    if (path.size() >= 3 && path[1] == ':' && IsSeparator(path[2]))
        return true;
    return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

bool IsDirectory(const std::string& path)
{
    const DWORD attrs = Attributes(path);
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsRegularFile(const std::string& path)
{
    const DWORD attrs = Attributes(path);
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

bool RemoveFile(const std::string& path)
{
    if (::DeleteFileW(WidePath(path).c_str()))
        return true;
    const DWORD err = ::GetLastError();
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

bool RemoveEmptyDirectory(const std::string& path)
{
    return ::RemoveDirectoryW(WidePath(path).c_str()) != 0;
}

bool ListDirectory(const std::string& path, std::vector<DirEntry>& out)
{
    out.clear();
    WIN32_FIND_DATAW fd;
    const HANDLE h = ::FindFirstFileW((WidePath(path) + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return ::GetLastError() == ERROR_FILE_NOT_FOUND && IsDirectory(path);
    do
    {
        const std::string name = NarrowName(fd.cFileName);
        if (name == "." || name == "..")
            continue;
        // A reparse point (link) is neither a folder nor a file of the store.
        const bool link = (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out.push_back(DirEntry{name, dir && !link, !dir && !link});
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
    std::sort(out.begin(), out.end(), [](const DirEntry& a, const DirEntry& b) { return a.mName < b.mName; });
    return true;
}

bool CreateTemporaryDirectory(const std::string& prefix, std::string& out)
{
    std::string base;
    if (!GetEnvironmentVariable("TMPDIR", base) || base.empty())
    {
        char buf[MAX_PATH + 1];
        const DWORD n = ::GetTempPathA(sizeof(buf), buf);
        if (n == 0 || n > MAX_PATH)
            return false;
        base.assign(buf, n);
    }
    while (!base.empty() && IsSeparator(base.back()))
        base.pop_back();
    for (int attempt = 0; attempt < 100; ++attempt)
    {
        const std::string candidate = base + "/" + prefix + UniqueSuffix();
        if (::CreateDirectoryW(WidePath(candidate).c_str(), nullptr))
        {
            out = candidate;
            return true;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

// The run-time library's copy of the environment, kept in step with the
// process's own by _putenv_s.
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
    return ::_putenv_s(name.c_str(), value.c_str()) == 0;
}

bool GetHomeDirectory(std::string& out)
{
    if (GetEnvironmentVariable("USERPROFILE", out) && !out.empty())
        return true;
    std::string drive, path;
    if (GetEnvironmentVariable("HOMEDRIVE", drive) && GetEnvironmentVariable("HOMEPATH", path) && !path.empty())
    {
        out = drive + path;
        return true;
    }
    return false;
}

FileLock::~FileLock()
{
    Unlock();
}

bool FileLock::Lock(const std::string& path)
{
    Unlock();
    const HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    OVERLAPPED ov = {};
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov))
    {
        ::CloseHandle(h);
        return false;
    }
    // A file removed while we waited stays only until its last handle closes;
    // the lock is then on a file nobody else can open, so report failure.
    if (Attributes(path) == INVALID_FILE_ATTRIBUTES)
    {
        ::CloseHandle(h);
        return false;
    }
    mHandle = reinterpret_cast<intptr_t>(h);
    return true;
}

void FileLock::Unlock()
{
    if (mHandle == -1)
        return;
    const HANDLE h = reinterpret_cast<HANDLE>(mHandle);
    OVERLAPPED ov = {};
    ::UnlockFileEx(h, 0, 1, 0, &ov);
    ::CloseHandle(h);
    mHandle = -1;
}

} // namespace QORAPI
