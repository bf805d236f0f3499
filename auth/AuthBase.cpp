#include "auth/AuthBase.h"

#include "QORCrypt/ElGamal.h"
#include "platform/Tick.h"

namespace QORAPI {

namespace {

SmartPtr<ByteBuffer> CopyBlock(const void* data, uint32_t length)
{
    if (data == nullptr || length == 0)
        return nullptr;
    return new ByteBuffer(data, length, false);
}

} // namespace

AuthBase::AuthBase(const void* data, uint32_t length)
    : AuthBase(data, length, DeferUnpack())
{
    Unpack();
}

AuthBase::AuthBase(const SmartPtr<ByteBuffer>& raw)
    : AuthBase(raw, DeferUnpack())
{
    Unpack();
}

AuthBase::AuthBase(const void* data, uint32_t length, DeferUnpack)
    : AuthBase(CopyBlock(data, length), DeferUnpack())
{
}

AuthBase::AuthBase(const SmartPtr<ByteBuffer>& raw, DeferUnpack)
    : mRaw(ByteBuffer::LengthOf(raw) ? raw : SmartPtr<ByteBuffer>()),
      mSignedLength(0),
      mHeaderValue(0),
      mIssueTime(0),
      mExpiryTime(0),
      mValid(false)
{
}

AuthBase::~AuthBase() = default;

bool AuthBase::Unpack()
{
    mValid = false;
    mSignedLength = 0;
    if (!mRaw)
        return false;

    // The signed part is counted in 16 bits, so the hook reads at most that
    // much: a longer body is outside the format (cutting the count would make
    // Verify check the wrong bytes), and no input makes parsing read or build
    // more than 64 KiB worth of fields.
    const uint32_t rawLength = mRaw->GetLength();
    ReadBuffer reader(mRaw->GetData(), rawLength < kMaxSignedLength ? rawLength : kMaxSignedLength);
    bool ok = false;
    try
    {
        ok = UnpackHook(reader);
    }
    catch (const ReadBufferException&)
    {
        ok = false;
    }
    if (!ok)
        return false;

    mSignedLength = static_cast<uint16_t>(reader.GetPos());
    mValid = rawLength > mSignedLength;
    return mValid;
}

bool AuthBase::UnpackHook(ReadBuffer& reader)
{
    mHeaderValue = reader.ReadShort();
    mIssueTime = reader.ReadLong();
    mExpiryTime = reader.ReadLong();
    return true;
}

bool AuthBase::ReadBlockWString(ReadBuffer& reader, std::u16string& out)
{
    const uint16_t count = reader.ReadShort();
    if (count >= 0x8000)
        return false;
    reader.ReadWString(out, ReadBuffer::Count{count});
    return true;
}

bool AuthBase::Verify(const ElGamal& key) const
{
    if (!mValid)
        return false;
    return key.verify(GetRawData(), mSignedLength, GetSignature(), GetSignatureLength());
}

bool AuthBase::IsExpired(int32_t secondsAhead) const
{
    if (!mValid)
        return true;
    // 64-bit sums: neither a negative lead nor a time near 2^32 may wrap.
    const int64_t horizon = static_cast<int64_t>(GetTimeSeconds()) + secondsAhead;
    return static_cast<int64_t>(mExpiryTime) <= horizon;
}

const uint8_t* AuthBase::GetSignature() const
{
    return mValid ? GetRawData() + mSignedLength : nullptr;
}

uint32_t AuthBase::GetSignatureLength() const
{
    return mValid ? GetRawLength() - mSignedLength : 0;
}

} // namespace QORAPI
