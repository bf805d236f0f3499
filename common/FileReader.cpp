#include "common/FileReader.h"

#include "common/Endian.h"

#include <cstring>

namespace QORAPI {

namespace {
const char kPastMem[] = "Attempt to read past end of mem buffer.";
const char kNullFile[] = "NULL File.";
const char kPastFile[] = "Attempt to read past end of file.";
} // namespace

bool FileReader::Open(const std::string& path)
{
    Close();
    mFile = std::fopen(path.c_str(), "rb");
    return mFile != nullptr;
}

void FileReader::SetBuffer(const void* data, uint32_t length)
{
    Close();
    mMemBuf = static_cast<const uint8_t*>(data);
    mMemLen = data ? length : 0;
    mMemPos = 0;
}

void FileReader::Close()
{
    mMemBuf = nullptr;
    mMemLen = 0;
    mMemPos = 0;
    if (mFile)
    {
        std::fclose(mFile);
        mFile = nullptr;
    }
}

void FileReader::Read(void* dst, uint32_t n)
{
    if (mMemBuf)
    {
        if (n > mMemLen - mMemPos)
            throw FileReaderException(kPastMem);
        if (n)
            std::memcpy(dst, mMemBuf + mMemPos, n);
        mMemPos += n;
        return;
    }
    if (!mFile)
        throw FileReaderException(kNullFile);
    if (n && std::fread(dst, 1, n, mFile) != n)
        throw FileReaderException(kPastFile);
}

void FileReader::Skip(uint32_t n)
{
    if (mMemBuf)
    {
        if (n > mMemLen - mMemPos)
            throw FileReaderException(kPastMem);
        mMemPos += n;
        return;
    }
    if (!mFile)
        throw FileReaderException(kNullFile);
    if (std::fseek(mFile, static_cast<long>(n), SEEK_CUR) != 0)
        throw FileReaderException(kPastFile);
}

uint8_t FileReader::ReadByte()
{
    uint8_t b;
    Read(&b, 1);
    return b;
}

uint16_t FileReader::ReadShort()
{
    uint8_t b[2];
    Read(b, 2);
    return LoadLE16(b);
}

uint32_t FileReader::ReadLong()
{
    uint8_t b[4];
    Read(b, 4);
    return LoadLE32(b);
}

} // namespace QORAPI
