#include "common/FileReader.h"
#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

using namespace QORAPI;

namespace {

std::string MessageOf(const std::function<void()>& f)
{
    try
    {
        f();
    }
    catch (const FileReaderException& e)
    {
        return e.what();
    }
    return "no exception";
}

const std::string kPastMem = "Attempt to read past end of mem buffer.";
const std::string kNullFile = "NULL File.";
const std::string kPastFile = "Attempt to read past end of file.";

} // namespace

TEST(FileReader, MemoryValuesAreLittleEndian)
{
    const uint8_t data[] = {0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB};
    FileReader r;
    r.SetBuffer(data, sizeof(data));
    EXPECT_EQ(r.ReadByte(), 0x01);
    EXPECT_EQ(r.ReadShort(), 0x1234);
    EXPECT_EQ(r.ReadLong(), 0x12345678u);
    r.Skip(1);
    uint8_t last = 0;
    r.Read(&last, 1);
    EXPECT_EQ(last, 0xBB);
    EXPECT_EQ(MessageOf([&] { r.ReadByte(); }), kPastMem);
}

TEST(FileReader, ShortMemoryReadThrowsAndKeepsPosition)
{
    const uint8_t data[] = {1, 2, 3};
    FileReader r;
    r.SetBuffer(data, 3);
    EXPECT_EQ(r.ReadShort(), 0x0201);
    EXPECT_EQ(MessageOf([&] { r.ReadShort(); }), kPastMem);
    EXPECT_EQ(r.GetMemPos(), 2u);
    EXPECT_EQ(MessageOf([&] { r.Skip(2); }), kPastMem);
    EXPECT_EQ(r.GetMemPos(), 2u);
    EXPECT_EQ(r.ReadByte(), 3);
    r.Skip(0);
    EXPECT_EQ(MessageOf([&] { r.Skip(0xFFFFFFFFu); }), kPastMem);
}

TEST(FileReader, NoSourceThrowsNullFile)
{
    FileReader r;
    EXPECT_EQ(MessageOf([&] { r.ReadShort(); }), kNullFile);
    EXPECT_EQ(MessageOf([&] { r.Skip(1); }), kNullFile);
    // A null memory range is no source either.
    r.SetBuffer(nullptr, 10);
    EXPECT_EQ(MessageOf([&] { r.ReadByte(); }), kNullFile);
    EXPECT_FALSE(r.Open("/nonexistent/qorapi/file"));
    EXPECT_EQ(MessageOf([&] { r.ReadByte(); }), kNullFile);
}

TEST(FileReader, FileSource)
{
    std::string dir;
    ASSERT_TRUE(CreateTemporaryDirectory("qorapi-fr-", dir));
    const std::string path = dir + "/data.bin";
    const uint8_t bytes[] = {0x78, 0x56, 0x34, 0x12, 0x00, 0xCD, 0xAB, 0x09};
    ASSERT_TRUE(WriteFileAtomic(path, bytes, sizeof(bytes)));

    FileReader r;
    ASSERT_TRUE(r.Open(path));
    EXPECT_TRUE(r.IsFileOpen());
    EXPECT_EQ(r.ReadLong(), 0x12345678u);
    r.Skip(1);
    EXPECT_EQ(r.ReadShort(), 0xABCD);
    EXPECT_EQ(MessageOf([&] { r.ReadShort(); }), kPastFile);

    // A memory range takes over from the file, which is closed.
    const uint8_t mem[] = {7};
    r.SetBuffer(mem, 1);
    EXPECT_FALSE(r.IsFileOpen());
    EXPECT_EQ(r.ReadByte(), 7);
    r.Close();
    EXPECT_EQ(MessageOf([&] { r.ReadByte(); }), kNullFile);

    // Reopening starts at the beginning again.
    ASSERT_TRUE(r.Open(path));
    EXPECT_EQ(r.ReadByte(), 0x78);
    ASSERT_TRUE(r.Open(path));
    uint8_t all[8];
    r.Read(all, 8);
    EXPECT_EQ(all[7], 0x09);
    EXPECT_EQ(MessageOf([&] { r.ReadByte(); }), kPastFile);

    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
