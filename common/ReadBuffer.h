// ReadBuffer: a bounds-checked read cursor over a borrowed byte range, the one
// way the library takes received bytes apart.
//
// Every read checks the remaining length first; a read past the end throws
// ReadBufferException and leaves the position where it was. The caller keeps
// the range alive while the reader is used.
//
// Thread safety: none; a ReadBuffer belongs to one thread at a time.
#ifndef QORAPI_COMMON_READBUFFER_H
#define QORAPI_COMMON_READBUFFER_H

#include "common/ByteBuffer.h"
#include "common/Endian.h"

#include <cstdint>
#include <exception>
#include <string>

namespace QORAPI {

class ReadBufferException : public std::exception
{
public:
    explicit ReadBufferException(const char* what = "Attempt to read past end of buffer.") : mWhat(what) {}
    const char* what() const noexcept override { return mWhat.c_str(); }

private:
    std::string mWhat;
};

class ReadBuffer
{
public:
    // An explicit element count, to tell it apart from a length-field width.
    struct Count
    {
        uint32_t value;
    };

    ReadBuffer(const void* data = nullptr, uint32_t length = 0) { Set(data, length); }
    explicit ReadBuffer(const ByteBuffer* buf) { Set(ByteBuffer::DataOf(buf), ByteBuffer::LengthOf(buf)); }
    explicit ReadBuffer(const SmartPtr<ByteBuffer>& buf) : ReadBuffer(buf.Get()) {}

    void Set(const void* data, uint32_t length)
    {
        mData = static_cast<const uint8_t*>(data);
        mLength = data ? length : 0;
        mPos = 0;
    }
    void Rewind() { mPos = 0; }

    const uint8_t* ReadBytes(uint32_t n)
    {
        if (n > mLength - mPos)
            throw ReadBufferException();
        const uint8_t* p = mData + mPos;
        mPos += n;
        return p;
    }
    bool ReadBool() { return ReadByte() != 0; }
    uint8_t ReadByte() { return *ReadBytes(1); }
    uint16_t ReadShort() { return LoadLE16(ReadBytes(2)); }
    uint32_t ReadLong() { return LoadLE32(ReadBytes(4)); }
    uint32_t ReadLength(uint8_t fieldSize);   // 0 without reading for widths other than 1, 2, 4

    void ReadString(std::string& s, Count length);
    // The length-field forms leave the position unchanged when they throw.
    void ReadString(std::string& s, uint8_t fieldSize);
    void ReadWString(std::u16string& w, Count length);
    void ReadWString(std::u16string& w, uint8_t fieldSize);
    void ReadBuf(SmartPtr<ByteBuffer>& out, uint8_t fieldSize);

    const uint8_t* GetData() const { return mData; }
    uint32_t GetLength() const { return mLength; }
    uint32_t GetPos() const { return mPos; }
    uint32_t Remaining() const { return mLength - mPos; }
    bool AtEnd() const { return mPos >= mLength; }

private:
    uint32_t mPos;
    const uint8_t* mData;
    uint32_t mLength;
};

} // namespace QORAPI

#endif
