#include "common/WriteBuffer.h"

#include "common/Endian.h"

#include <cstring>
#include <stdexcept>

namespace QORAPI {

WriteBuffer::WriteBuffer(uint8_t lengthFieldSize, bool includeLengthField)
    : mLengthFieldSize(lengthFieldSize), mIncludeLengthField(includeLengthField),
      mCapacity(0), mLength(0), mData(nullptr)
{
    Reset();
}

WriteBuffer::~WriteBuffer()
{
    ByteBuffer::FreeBlock(mData);
}

void WriteBuffer::Reset()
{
    ByteBuffer::FreeBlock(mData);
    mData = nullptr;
    mCapacity = 0;
    mLength = 0;
    SkipBytes(mLengthFieldSize);
}

void WriteBuffer::Release()
{
    mData = nullptr;
    Reset();
}

void WriteBuffer::Reserve(uint32_t n)
{
    if (mCapacity >= n)
        return;
    mData = ByteBuffer::ResizeBlock(mData, n);
    mCapacity = n;
}

void WriteBuffer::SetLength(uint32_t n)
{
    Reserve(n);
    mLength = n;
}

void WriteBuffer::Grow(uint32_t n)
{
    const uint64_t needed = static_cast<uint64_t>(mLength) + n;
    if (needed <= mCapacity)
        return;
    if (needed > 0xFFFFFFFFu)
        throw std::length_error("WriteBuffer over 4 GiB");
    uint64_t capacity = mCapacity < 32 ? 32 : mCapacity;
    while (capacity < needed)
        capacity *= 2;
    if (capacity > 0xFFFFFFFFu)
        capacity = 0xFFFFFFFFu;
    Reserve(static_cast<uint32_t>(capacity));
}

void WriteBuffer::SkipBytes(uint32_t n)
{
    if (n == 0)
        return;
    Grow(n);
    // Reserved bytes are zeroed so that an unfilled field never carries stale heap contents.
    std::memset(mData + mLength, 0, n);
    mLength += n;
}

void WriteBuffer::AppendBytes(const void* data, uint32_t n)
{
    if (n == 0)
        return;
    Grow(n);
    std::memcpy(mData + mLength, data, n);
    mLength += n;
}

void WriteBuffer::AppendByte(uint8_t c)
{
    Grow(1);
    mData[mLength++] = c;
}

void WriteBuffer::AppendShort(uint16_t v)
{
    Grow(2);
    StoreLE16(mData + mLength, v);
    mLength += 2;
}

void WriteBuffer::AppendLong(uint32_t v)
{
    Grow(4);
    StoreLE32(mData + mLength, v);
    mLength += 4;
}

void WriteBuffer::AppendLength(uint32_t v, uint8_t fieldSize)
{
    switch (fieldSize)
    {
    case 1: AppendByte(static_cast<uint8_t>(v)); break;
    case 2: AppendShort(static_cast<uint16_t>(v)); break;
    case 4: AppendLong(v); break;
    default: break;
    }
}

void WriteBuffer::AppendString(const std::string& s, uint8_t fieldSize)
{
    AppendLength(static_cast<uint32_t>(s.size()), fieldSize);
    AppendBytes(s.data(), static_cast<uint32_t>(s.size()));
}

void WriteBuffer::AppendWString(const std::u16string& w, uint8_t fieldSize)
{
    if (w.size() > 0x7FFFFFFFu)
        throw std::length_error("WriteBuffer over 4 GiB");
    const uint32_t count = static_cast<uint32_t>(w.size());
    AppendLength(count, fieldSize);
    if (count == 0)
        return;
    Grow(count * 2);
    uint8_t* out = mData + mLength;
    for (char16_t c : w)
    {
        StoreLE16(out, static_cast<uint16_t>(c));
        out += 2;
    }
    mLength += count * 2;
}

void WriteBuffer::AppendBuffer(const ByteBuffer* b, uint8_t fieldSize)
{
    const uint32_t len = ByteBuffer::LengthOf(b);
    AppendLength(len, fieldSize);
    if (len > 0)
        AppendBytes(b->GetData(), len);
}

void WriteBuffer::SetBytes(uint32_t pos, const void* data, uint32_t n)
{
    if (n)
        std::memcpy(mData + pos, data, n);
}

void WriteBuffer::SetByte(uint32_t pos, uint8_t c)
{
    mData[pos] = c;
}

void WriteBuffer::SetShort(uint32_t pos, uint16_t v)
{
    StoreLE16(mData + pos, v);
}

void WriteBuffer::SetLong(uint32_t pos, uint32_t v)
{
    StoreLE32(mData + pos, v);
}

SmartPtr<ByteBuffer> WriteBuffer::ToByteBuffer(bool release)
{
    const bool validField = mLengthFieldSize == 1 || mLengthFieldSize == 2 || mLengthFieldSize == 4;
    if (validField && mLength >= mLengthFieldSize)
    {
        const uint32_t value = mIncludeLengthField ? mLength : mLength - mLengthFieldSize;
        switch (mLengthFieldSize)
        {
        case 1: SetByte(0, static_cast<uint8_t>(value)); break;
        case 2: SetShort(0, static_cast<uint16_t>(value)); break;
        default: SetLong(0, value); break;
        }
    }

    uint8_t* data = mData;
    const uint32_t length = mLength;
    if (!release)
        return new ByteBuffer(data, length, false);

    Release();
    if (length == 0)
    {
        ByteBuffer::FreeBlock(data);
        return new ByteBuffer(nullptr, 0, false);
    }
    return new ByteBuffer(data, length, true);
}

} // namespace QORAPI
