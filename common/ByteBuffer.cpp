#include "common/ByteBuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace QORAPI {

uint8_t* ByteBuffer::AllocBlock(uint32_t length)
{
    void* block = std::malloc(length ? length : 1);
    if (!block)
        throw std::bad_alloc();
    return static_cast<uint8_t*>(block);
}

uint8_t* ByteBuffer::ResizeBlock(uint8_t* block, uint32_t length)
{
    void* resized = std::realloc(block, length ? length : 1);
    if (!resized)
        throw std::bad_alloc();
    return static_cast<uint8_t*>(resized);
}

void ByteBuffer::FreeBlock(uint8_t* block)
{
    std::free(block);
}

ByteBuffer::ByteBuffer(const void* data, uint32_t length, bool takeOwnership)
    : mData(nullptr), mLength(data ? length : 0)
{
    // A null source gives an empty buffer rather than a length over no bytes.
    if (takeOwnership)
        mData = static_cast<uint8_t*>(const_cast<void*>(data));
    else if (mLength > 0)
    {
        mData = AllocBlock(mLength);
        std::memcpy(mData, data, mLength);
    }
}

ByteBuffer::ByteBuffer(const char* text) : mData(nullptr), mLength(0)
{
    if (!text)
        return;
    mLength = static_cast<uint32_t>(std::strlen(text)) + 1;
    mData = AllocBlock(mLength);
    std::memcpy(mData, text, mLength);
}

ByteBuffer::~ByteBuffer()
{
    FreeBlock(mData);
}

bool ByteBuffer::Equal(const ByteBuffer* a, const ByteBuffer* b)
{
    const uint32_t len = LengthOf(a);
    if (len != LengthOf(b))
        return false;
    return len == 0 || std::memcmp(DataOf(a), DataOf(b), len) == 0;
}

} // namespace QORAPI
