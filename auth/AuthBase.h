// AuthBase: the signed block that certificates and public-key blocks share: a
// common header (header value, issue time, expiry time), a body read by the
// derived class, and a signature over everything before it.
//
// Thread safety: a block is parsed once by its constructor and is immutable
// afterwards, so one block may be read from any number of threads. Unpack
// re-parses in place and must not run while others read the block.
#ifndef QORAPI_AUTH_AUTHBASE_H
#define QORAPI_AUTH_AUTHBASE_H

#include "common/ByteBuffer.h"
#include "common/ReadBuffer.h"
#include "common/RefCount.h"

#include <cstdint>

namespace QORAPI {

class ElGamal;

class AuthBase : public RefCount
{
public:
    // Copies the bytes and parses them; no bytes (or 0 length) give an empty,
    // invalid block.
    AuthBase(const void* data = nullptr, uint32_t length = 0);
    // Shares the (immutable) buffer instead of copying it.
    explicit AuthBase(const SmartPtr<ByteBuffer>& raw);
    ~AuthBase() override;

    // Parses the raw bytes; the result is stored as the valid flag. Any byte
    // string gives a valid or an invalid block, never an exception.
    bool Unpack();

    bool IsValid() const { return mValid; }

    // False when not valid; otherwise the key's verdict on the signature over
    // the signed part.
    bool Verify(const ElGamal& key) const;

    // True when not valid or when the expiry time is at or before now + secondsAhead.
    bool IsExpired(int32_t secondsAhead = 0) const;

    // The bytes as received: this is the packed form handed on to peers.
    const SmartPtr<ByteBuffer>& GetRaw() const { return mRaw; }
    const uint8_t* GetRawData() const { return ByteBuffer::DataOf(mRaw); }
    uint32_t GetRawLength() const { return ByteBuffer::LengthOf(mRaw); }

    uint16_t GetSignedLength() const { return mSignedLength; }
    const uint8_t* GetSignature() const;     // null when the block is not valid
    uint32_t GetSignatureLength() const;     // raw length - signed length; 0 when not valid

    uint16_t GetHeaderValue() const { return mHeaderValue; }
    uint32_t GetIssueTime() const { return mIssueTime; }
    uint32_t GetExpiryTime() const { return mExpiryTime; }

    // Size of the common header at the start of every block.
    static constexpr uint32_t kHeaderSize = 10;
    // The signed part is counted in 16 bits.
    static constexpr uint32_t kMaxSignedLength = 0xFFFF;

protected:
    // Derived classes construct without parsing and call Unpack from their own
    // constructor, once their hook is in place.
    struct DeferUnpack
    {
    };
    AuthBase(const void* data, uint32_t length, DeferUnpack);
    AuthBase(const SmartPtr<ByteBuffer>& raw, DeferUnpack);

    // Reads this class's fields; derived versions call this one first. May
    // throw ReadBufferException, which Unpack turns into an invalid block.
    virtual bool UnpackHook(ReadBuffer& reader);

    // Reads a wide string with a 2-byte character count; a count of 0x8000
    // or more makes the block unreadable (false).
    static bool ReadBlockWString(ReadBuffer& reader, std::u16string& out);

private:
    SmartPtr<ByteBuffer> mRaw;
    uint16_t mSignedLength;
    uint16_t mHeaderValue;
    uint32_t mIssueTime;
    uint32_t mExpiryTime;
    bool mValid;
};

typedef SmartPtr<AuthBase> AuthBasePtr;

} // namespace QORAPI

#endif
