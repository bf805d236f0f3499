// AuthPubKeyBlock: the signed list of the authentication service's current
// public keys, with which certificates are verified. The block id names the
// key set; the keys are kept in the order of the block.
//
// Thread safety: immutable after construction; may be read and used to
// verify from any number of threads (verification only reads the keys).
#ifndef QORAPI_AUTH_AUTHPUBKEYBLOCK_H
#define QORAPI_AUTH_AUTHPUBKEYBLOCK_H

#include "QORCrypt/ElGamal.h"
#include "auth/AuthBase.h"

#include <cstdint>
#include <vector>

namespace QORAPI {

class AuthPubKeyBlock : public AuthBase
{
public:
    AuthPubKeyBlock(const void* data = nullptr, uint32_t length = 0);
    explicit AuthPubKeyBlock(const SmartPtr<ByteBuffer>& raw);
    ~AuthPubKeyBlock() override;

    uint16_t GetBlockId() const { return mBlockId; }
    const std::vector<ElGamal>& GetKeys() const { return mKeys; }
    uint32_t GetKeyCount() const { return static_cast<uint32_t>(mKeys.size()); }

    // Verifying this block itself with one key.
    using AuthBase::Verify;
    // False when either block is not valid; true when the other block verifies
    // with any of this block's keys, tried in list order.
    bool Verify(const AuthBase& other) const;

protected:
    bool UnpackHook(ReadBuffer& reader) override;

private:
    uint16_t mBlockId;
    std::vector<ElGamal> mKeys;
};

typedef SmartPtr<AuthPubKeyBlock> AuthPubKeyBlockPtr;

} // namespace QORAPI

#endif
