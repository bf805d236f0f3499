#include "common/ReadBuffer.h"

#include "common/Endian.h"

namespace QORAPI {

uint32_t ReadBuffer::ReadLength(uint8_t fieldSize)
{
    switch (fieldSize)
    {
    case 1: return ReadByte();
    case 2: return ReadShort();
    case 4: return ReadLong();
    default: return 0;
    }
}

void ReadBuffer::ReadString(std::string& s, Count length)
{
    const uint8_t* p = ReadBytes(length.value);
    if (length.value == 0)
        s.clear();
    else
        s.assign(reinterpret_cast<const char*>(p), length.value);
}

void ReadBuffer::ReadString(std::string& s, uint8_t fieldSize)
{
    const uint32_t start = mPos;
    const uint32_t length = ReadLength(fieldSize);
    if (length > mLength - mPos)
    {
        mPos = start;
        throw ReadBufferException();
    }
    ReadString(s, Count{length});
}

void ReadBuffer::ReadWString(std::u16string& w, uint8_t fieldSize)
{
    const uint32_t start = mPos;
    const uint32_t length = ReadLength(fieldSize);
    if (length > (mLength - mPos) / 2)
    {
        mPos = start;
        throw ReadBufferException();
    }
    ReadWString(w, Count{length});
}

void ReadBuffer::ReadWString(std::u16string& w, Count length)
{
    if (length.value > (mLength - mPos) / 2)
        throw ReadBufferException();
    const uint8_t* p = ReadBytes(length.value * 2);
    w.resize(length.value);
    for (uint32_t i = 0; i < length.value; ++i)
        w[i] = static_cast<char16_t>(LoadLE16(p + 2 * i));
}

void ReadBuffer::ReadBuf(SmartPtr<ByteBuffer>& out, uint8_t fieldSize)
{
    const uint32_t start = mPos;
    const uint32_t len = ReadLength(fieldSize);
    if (len > mLength - mPos)
    {
        mPos = start;
        throw ReadBufferException();
    }
    out = new ByteBuffer(ReadBytes(len), len, false);
}

} // namespace QORAPI
