// FileReader: reads little-endian values from a file or from a borrowed memory
// range, throwing FileReaderException on a short read.
//
// When a memory range is set it is the source; otherwise the open file is.
// A failed read from memory leaves the position where it was.
//
// Thread safety: none; a FileReader belongs to one thread at a time.
#ifndef QORAPI_COMMON_FILEREADER_H
#define QORAPI_COMMON_FILEREADER_H

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

namespace QORAPI {

class FileReaderException : public std::exception
{
public:
    explicit FileReaderException(const char* what) : mWhat(what) {}
    const char* what() const noexcept override { return mWhat.c_str(); }

private:
    std::string mWhat;
};

class FileReader
{
public:
    FileReader() : mFile(nullptr), mMemBuf(nullptr), mMemLen(0), mMemPos(0) {}
    ~FileReader() { Close(); }

    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Close(), then opens path for binary reading; false when it cannot be opened.
    bool Open(const std::string& path);
    // Close(), then reads the given range (borrowed) from its start.
    void SetBuffer(const void* data, uint32_t length);
    void Close();

    void Read(void* dst, uint32_t n);
    void Skip(uint32_t n);
    uint8_t ReadByte();
    uint16_t ReadShort();
    uint32_t ReadLong();

    bool IsFileOpen() const { return mFile != nullptr; }
    uint32_t GetMemPos() const { return mMemPos; }

private:
    std::FILE* mFile;
    const uint8_t* mMemBuf;
    uint32_t mMemLen;
    uint32_t mMemPos;
};

} // namespace QORAPI

#endif
