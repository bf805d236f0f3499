#include "auth/AuthPubKeyBlock.h"

namespace QORAPI {

AuthPubKeyBlock::AuthPubKeyBlock(const void* data, uint32_t length)
    : AuthBase(data, length, DeferUnpack()), mBlockId(0)
{
    Unpack();
}

AuthPubKeyBlock::AuthPubKeyBlock(const SmartPtr<ByteBuffer>& raw)
    : AuthBase(raw, DeferUnpack()), mBlockId(0)
{
    Unpack();
}

AuthPubKeyBlock::~AuthPubKeyBlock() = default;

bool AuthPubKeyBlock::UnpackHook(ReadBuffer& reader)
{
    mKeys.clear();
    if (!AuthBase::UnpackHook(reader))
        return false;
    mBlockId = reader.ReadShort();
    const uint16_t count = reader.ReadShort();
    if (count == 0)
        return false;
    for (uint32_t i = 0; i < count; ++i)
    {
        const uint16_t keyLength = reader.ReadShort();
        const uint8_t* key = reader.ReadBytes(keyLength);
        // Keys are only built for bytes actually present, so a large count
        // over a short block costs nothing before the read fails.
        mKeys.emplace_back();
        if (!mKeys.back().setPublicKey(key, keyLength))
            return false;
    }
    return true;
}

bool AuthPubKeyBlock::Verify(const AuthBase& other) const
{
    if (!IsValid() || !other.IsValid())
        return false;
    for (const ElGamal& key : mKeys)
    {
        if (other.Verify(key))
            return true;
    }
    return false;
}

} // namespace QORAPI
