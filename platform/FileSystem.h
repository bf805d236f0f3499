// File-system calls of the library: atomic replacement of small files, whole
// file reads, folders and their listings, and the user's data folders.
//
// WriteFileAtomic writes a temporary file in the same folder, flushes it to
// disk and renames it over the target, so a reader sees either the old or the
// new contents, never a torn file. Temporary files are named
// ".<name>.tmp-XXXXXX", with <name> cut short where the whole would exceed 255
// bytes, so every name a folder can hold can be written; listings of the
// library's own stores skip names starting with '.'.
//
// Thread safety: every function may be called from any thread; concurrent
// writers of the same path each leave a complete file (the last rename wins).
#ifndef QORAPI_PLATFORM_FILESYSTEM_H
#define QORAPI_PLATFORM_FILESYSTEM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace QORAPI {

// Replaces the file at path with the given bytes. A new file is created
// readable and writable by its owner only; an existing file keeps its
// permission bits. Returns false (and leaves the old file untouched) on failure.
bool WriteFileAtomic(const std::string& path, const void* data, size_t len);

// Reads the whole regular file at path into out. False when it cannot be
// opened or read, when it is not a regular file, or when it is longer than
// maxLen bytes (out is then left empty).
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& out, size_t maxLen = 64u * 1024u * 1024u);

// Creates path and its missing parents with the given permission bits.
// True when path is a folder afterwards.
bool MakeDirectories(const std::string& path, uint32_t mode = 0700);

// True for a path that does not depend on the current directory.
bool IsAbsolutePath(const std::string& path);

bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);

// Removes a file (not a folder). True when it is gone afterwards.
bool RemoveFile(const std::string& path);

// Removes an empty folder. False when it is not empty or cannot be removed.
bool RemoveEmptyDirectory(const std::string& path);

// One entry of a folder listing ("." and ".." excluded).
struct DirEntry
{
    std::string mName;
    bool mIsDirectory;
    bool mIsRegularFile;
};

// Lists the folder at path, sorted by name. False when it cannot be read.
bool ListDirectory(const std::string& path, std::vector<DirEntry>& out);

// Creates a new, empty folder readable only by its owner under $TMPDIR (else
// /tmp), named "<prefix>XXXXXX"; its path goes to out.
bool CreateTemporaryDirectory(const std::string& prefix, std::string& out);

// An exclusive lock on a lock file, held against other processes and against
// other FileLock objects of this process alike. Lock creates the file when it
// is missing (readable and writable by its owner only) and waits until the lock
// is granted; a lock file removed or replaced meanwhile is opened again, so the
// lock granted is always on the file now at path. The file stays behind.
// A FileLock object belongs to one thread at a time.
class FileLock
{
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False when the file cannot be opened or created (its folder is missing).
    bool Lock(const std::string& path);
    void Unlock();
    bool IsLocked() const { return mHandle != -1; }

private:
    intptr_t mHandle = -1;  // the open lock file; -1 when not locked
};

// The value of an environment variable; false when it is not set.
bool GetEnvironmentVariable(const std::string& name, std::string& out);

// Sets (or with an empty value, removes) an environment variable of the
// process. Not safe while other threads read the environment.
bool SetEnvironmentVariable(const std::string& name, const std::string& value);

// The user's home folder ($HOME, else the password database); false when unknown.
bool GetHomeDirectory(std::string& out);

} // namespace QORAPI

#endif
