// LocalAuthority: the key material of the local authentication service and
// the credentials it issues. It holds a verifier key pair, signing keys
// published in a public-key block that the verifier key signs, and issues
// certificates (an AuthCertificate and an Auth2Certificate) together with a
// fresh key pair for any user id and name, for logins and for servers alike.
//
// The default authority (1024-bit keys) uses fixed keys; its verifier public
// key is the library's built-in verifier key, so clients accept it without a
// key file. Other sizes, and Rotate, draw new keys; clients then need the
// verifier key file that WriteVerifierKeyFile writes.
//
// Thread safety: every method may be called from any thread; the keys are
// guarded by the authority's lock and handed out as copies or snapshots.
#ifndef QORAPI_SERVICE_LOCALAUTHORITY_H
#define QORAPI_SERVICE_LOCALAUTHORITY_H

#include "QORCrypt/ElGamal.h"
#include "auth/AuthPeerData.h"
#include "common/ByteBuffer.h"
#include "common/RefCount.h"
#include "service/KeyGen.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace QORAPI {

// What one issue produces: the signed certificates and the holder's keys.
struct IssuedCredentials
{
    SmartPtr<ByteBuffer> mCertificate;    // packed AuthCertificate
    SmartPtr<ByteBuffer> mCertificate2;   // packed Auth2Certificate
    SmartPtr<ByteBuffer> mPrivateKey;     // DER private key of the holder
    SmartPtr<ByteBuffer> mPublicKey;      // DER public key of the holder
    uint32_t mIssueTime = 0;
    uint32_t mExpiryTime = 0;
};

// Who a certificate is for.
struct IssueRequest
{
    uint32_t mUserId = 0;
    std::u16string mUserName;
    uint32_t mCommunityId = 0;
    uint16_t mTrustLevel = 0;
    uint32_t mLifetimeSeconds = 3600;     // AuthCertificate
    uint32_t mLifetime2Seconds = 3600;    // Auth2Certificate
    int32_t mClockShift = 0;              // added to the issue time (a server clock ahead or behind)
};

class LocalAuthority : public RefCount
{
public:
    // The default authority: fixed 1024-bit keys, the built-in verifier key.
    LocalAuthority();
    // A new authority with keys of the given size (1024 or 2048 bits); with
    // 1024 the fixed default keys are used unless freshKeys.
    explicit LocalAuthority(uint32_t keyBits, bool freshKeys = false);
    ~LocalAuthority() override;

    uint32_t GetKeyBits() const { return mKeyBits; }
    bool IsReady() const;

    // The verifier key: public part as DER, and as a loaded public key.
    SmartPtr<ByteBuffer> GetVerifierPublicKey() const;
    ElGamal GetVerifierKey() const;
    // Writes the verifier public key as "_qorkver.pub" in directory (empty:
    // the current directory; a missing trailing '/' is added).
    bool WriteVerifierKeyFile(const std::string& directory) const;
    static const char* VerifierKeyFileName() { return "_qorkver.pub"; }

    // The packed public-key block and its id.
    SmartPtr<ByteBuffer> GetPubKeyBlock() const;
    uint16_t GetBlockId() const;
    // The private key of the block's first key: it decrypts what clients
    // encrypt with the block.
    ElGamal GetSigningPrivateKey() const;

    // New signing keys and a new block id; blocks held by clients become
    // outdated.
    bool Rotate();

    // Issues both certificates (signed by the first signing key) and a fresh
    // key pair for the request.
    bool Issue(const IssueRequest& request, IssuedCredentials& out);
    // Issues certificates for a given public key instead of a fresh pair
    // (out.mPrivateKey stays null).
    bool IssueForKey(const IssueRequest& request, const ByteBuffer* publicKey, IssuedCredentials& out);
    // Ready-made credentials as a client holds them after a login.
    SmartPtr<AuthPeerData> IssuePeerData(const IssueRequest& request);

    // A block over the given DER public keys, signed by the verifier key (for
    // blocks with unusual keys).
    SmartPtr<ByteBuffer> IssuePubKeyBlock(const std::vector<SmartPtr<ByteBuffer>>& publicKeys);

    // Faults for tests: a block and certificates signed by a key this
    // authority does not vouch for.
    SmartPtr<ByteBuffer> GetForeignPubKeyBlock();
    bool IssueForeign(const IssueRequest& request, IssuedCredentials& out);

    // A new key pair over the authority's parameters (DER private key).
    SmartPtr<ElGamal> GenerateKeyPair();

private:
    bool Setup(bool freshKeys);
    bool BuildBlock();
    bool IssueWith(ElGamal& signer, const IssueRequest& request, const ByteBuffer* publicKey,
                   IssuedCredentials& out);

    mutable std::mutex mLock;   // guards everything below
    uint32_t mKeyBits;
    DLParams mParams;
    ElGamal mVerifier;          // private
    ElGamal mSigner;            // private; the block's first key
    ElGamal mForeign;           // private; known to nobody
    uint16_t mBlockId;
    SmartPtr<ByteBuffer> mBlock;
    Randomizer mRandom;
    bool mReady;
};

typedef SmartPtr<LocalAuthority> LocalAuthorityPtr;

} // namespace QORAPI

#endif
