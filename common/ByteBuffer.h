// ByteBuffer: a shared, immutable byte string.
//
// Messages, keys, certificates and file contents travel as SmartPtr<ByteBuffer>.
// An absent buffer reads as an empty one: DataOf and LengthOf accept a null
// pointer.
//
// Thread safety: a ByteBuffer never changes after construction and may be read
// from any number of threads at once.
#ifndef QORAPI_COMMON_BYTEBUFFER_H
#define QORAPI_COMMON_BYTEBUFFER_H

#include "common/RefCount.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class ByteBuffer : public RefCount
{
public:
    // With takeOwnership the buffer adopts data, a block from AllocBlock (or
    // WriteBuffer), and frees it; otherwise it copies length bytes.
    ByteBuffer(const void* data, uint32_t length, bool takeOwnership = false);
    // Copies the text and its terminating zero byte; a null text gives an empty buffer.
    explicit ByteBuffer(const char* text);
    ~ByteBuffer() override;

    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    const uint8_t* GetData() const { return mData; }
    uint32_t GetLength() const { return mLength; }

    // Null-tolerant accessors: an absent buffer has no data and length 0.
    static const uint8_t* DataOf(const ByteBuffer* buf) { return buf ? buf->mData : nullptr; }
    static uint32_t LengthOf(const ByteBuffer* buf) { return buf ? buf->mLength : 0; }
    static const uint8_t* DataOf(const SmartPtr<ByteBuffer>& buf) { return DataOf(buf.Get()); }
    static uint32_t LengthOf(const SmartPtr<ByteBuffer>& buf) { return LengthOf(buf.Get()); }

    // The heap used for adopted blocks.
    static uint8_t* AllocBlock(uint32_t length);
    static uint8_t* ResizeBlock(uint8_t* block, uint32_t length);
    static void FreeBlock(uint8_t* block);

    // Byte-wise equality; null equals empty.
    static bool Equal(const ByteBuffer* a, const ByteBuffer* b);

    // The bytes as an 8-bit string (convenience for tests and tools).
    std::string ToString() const { return std::string(reinterpret_cast<const char*>(mData), mLength); }

private:
    uint8_t* mData;
    uint32_t mLength;
};

typedef SmartPtr<ByteBuffer> ByteBufferPtr;

} // namespace QORAPI

#endif
