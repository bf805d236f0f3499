// WriteBuffer: a growable output buffer that builds one message at a time in
// the wire encoding, optionally with its own length in a field at offset 0.
//
// Integers are little-endian; strings, wide strings and blocks are written as
// a length field of the given width (1, 2 or 4; any other width writes none)
// followed by the bytes. A length that does not fit its field is truncated to
// the field's width: callers keep their values within it.
//
// Thread safety: none; a WriteBuffer belongs to one thread at a time.
#ifndef QORAPI_COMMON_WRITEBUFFER_H
#define QORAPI_COMMON_WRITEBUFFER_H

#include "common/ByteBuffer.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class WriteBuffer
{
public:
    explicit WriteBuffer(uint8_t lengthFieldSize = 0, bool includeLengthField = true);
    virtual ~WriteBuffer();

    WriteBuffer(const WriteBuffer&) = delete;
    WriteBuffer& operator=(const WriteBuffer&) = delete;

    void Reset();                     // frees the storage and reserves the length field anew
    void Release();                   // forgets the storage (now owned elsewhere), then Reset
    void Reserve(uint32_t n);         // exact allocation when the capacity is below n
    void SetLength(uint32_t n);       // Reserve(n), then length = n (a receive area)
    void SkipBytes(uint32_t n);

    void AppendBytes(const void* data, uint32_t n);
    void AppendByte(uint8_t c);
    void AppendBool(bool b) { AppendByte(b ? 1 : 0); }
    void AppendShort(uint16_t v);
    void AppendLong(uint32_t v);
    void AppendLength(uint32_t v, uint8_t fieldSize);
    void AppendString(const std::string& s, uint8_t fieldSize);
    void AppendWString(const std::u16string& w, uint8_t fieldSize);
    void AppendBuffer(const ByteBuffer* b, uint8_t fieldSize);
    void AppendBuffer(const SmartPtr<ByteBuffer>& b, uint8_t fieldSize) { AppendBuffer(b.Get(), fieldSize); }

    // Overwrite bytes already written; pos + width must lie within GetLength().
    void SetBytes(uint32_t pos, const void* data, uint32_t n);
    void SetByte(uint32_t pos, uint8_t c);
    void SetShort(uint32_t pos, uint16_t v);
    void SetLong(uint32_t pos, uint32_t v);

    // Writes the length field, then returns the bytes. With release the block is
    // handed over without a copy and the buffer is ready for the next message.
    SmartPtr<ByteBuffer> ToByteBuffer(bool release = true);

    const uint8_t* GetData() const { return mData; }
    uint8_t* GetWritableData() { return mData; }
    uint32_t GetLength() const { return mLength; }
    uint32_t GetCapacity() const { return mCapacity; }
    uint8_t GetLengthFieldSize() const { return mLengthFieldSize; }
    bool GetIncludeLengthField() const { return mIncludeLengthField; }

private:
    void Grow(uint32_t n);

    uint8_t mLengthFieldSize;
    bool mIncludeLengthField;
    uint32_t mCapacity;
    uint32_t mLength;
    uint8_t* mData;
};

} // namespace QORAPI

#endif
