#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

// A fresh folder under the build's temporary area, removed with its files.
class TempDir
{
public:
    TempDir() { EXPECT_TRUE(CreateTemporaryDirectory("qorapi-fs-", mPath)); }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(mPath, ec);
    }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
};

std::vector<uint8_t> Read(const std::string& path)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(ReadWholeFile(path, out));
    return out;
}

} // namespace

TEST(FileSystem, AtomicWriteCreatesAndReplaces)
{
    TempDir dir;
    const std::string path = dir.Path() + "/store.bin";
    ASSERT_TRUE(WriteFileAtomic(path, "first", 5));
    EXPECT_EQ(Read(path), std::vector<uint8_t>({'f', 'i', 'r', 's', 't'}));
    ASSERT_TRUE(WriteFileAtomic(path, "2", 1));
    EXPECT_EQ(Read(path), std::vector<uint8_t>({'2'}));
    ASSERT_TRUE(WriteFileAtomic(path, nullptr, 0));
    EXPECT_TRUE(Read(path).empty());

    // No temporary file is left behind.
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(dir.Path(), entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].mName, "store.bin");
    EXPECT_TRUE(entries[0].mIsRegularFile);
}

TEST(FileSystem, FailedWriteKeepsTheOldFile)
{
    TempDir dir;
    const std::string path = dir.Path() + "/keep.txt";
    ASSERT_TRUE(WriteFileAtomic(path, "old", 3));
    EXPECT_FALSE(WriteFileAtomic(dir.Path() + "/missing/keep.txt", "x", 1));
    EXPECT_FALSE(WriteFileAtomic(path, nullptr, 4));
    EXPECT_FALSE(WriteFileAtomic("", "x", 1));
    EXPECT_FALSE(WriteFileAtomic(dir.Path() + "/", "x", 1));
    // Renaming over a folder fails; the folder and its neighbour survive.
    ASSERT_TRUE(MakeDirectories(dir.Path() + "/sub"));
    EXPECT_FALSE(WriteFileAtomic(dir.Path() + "/sub", "x", 1));
    EXPECT_TRUE(IsDirectory(dir.Path() + "/sub"));
    EXPECT_EQ(Read(path), std::vector<uint8_t>({'o', 'l', 'd'}));
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(dir.Path(), entries));
    EXPECT_EQ(entries.size(), 2u);
}

TEST(FileSystem, ReadWholeFileLimits)
{
    TempDir dir;
    std::vector<uint8_t> out{1, 2};
    EXPECT_FALSE(ReadWholeFile(dir.Path() + "/absent", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(ReadWholeFile(dir.Path(), out));
    const std::string path = dir.Path() + "/big";
    ASSERT_TRUE(WriteFileAtomic(path, "0123456789", 10));
    EXPECT_FALSE(ReadWholeFile(path, out, 9));
    EXPECT_TRUE(ReadWholeFile(path, out, 10));
    EXPECT_EQ(out.size(), 10u);
}

TEST(FileSystem, FoldersAndListings)
{
    TempDir dir;
    const std::string deep = dir.Path() + "/a/b/c";
    EXPECT_TRUE(MakeDirectories(deep));
    EXPECT_TRUE(MakeDirectories(deep));
    EXPECT_TRUE(IsDirectory(deep));
    EXPECT_FALSE(IsRegularFile(deep));
    ASSERT_TRUE(WriteFileAtomic(dir.Path() + "/a/z", "1", 1));
    ASSERT_TRUE(WriteFileAtomic(dir.Path() + "/a/m", "1", 1));
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(dir.Path() + "/a", entries));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].mName, "b");
    EXPECT_TRUE(entries[0].mIsDirectory);
    EXPECT_EQ(entries[1].mName, "m");
    EXPECT_EQ(entries[2].mName, "z");
    EXPECT_FALSE(RemoveEmptyDirectory(dir.Path() + "/a/b"));
    EXPECT_TRUE(RemoveEmptyDirectory(deep));
    EXPECT_TRUE(RemoveFile(dir.Path() + "/a/z"));
    EXPECT_TRUE(RemoveFile(dir.Path() + "/a/z"));
    EXPECT_FALSE(ListDirectory(dir.Path() + "/nothing", entries));
    // A file in the way of a folder.
    EXPECT_FALSE(MakeDirectories(dir.Path() + "/a/m/x"));
}

TEST(FileSystem, HomeAndEnvironment)
{
    std::string home;
    EXPECT_TRUE(GetHomeDirectory(home));
    EXPECT_FALSE(home.empty());
    std::string value;
    EXPECT_FALSE(GetEnvironmentVariable("QORAPI_SURELY_UNSET_VARIABLE_42", value));
}
