// GetCertOp: logs the context's user in at one of its authentication servers
// and installs the credentials it obtains (public-key block, AuthCertificate,
// Auth2Certificate, private key, clock offset) in the context as a new
// AuthPeerData. It runs the fail-over request loop without peer
// authentication; everything secret travels under an 8-byte session key drawn
// for each login and sent encrypted with the servers' public key.
//
// Per server: the public-key exchange (skipped when the context already holds
// a valid block), the login request, any number of challenge rounds, the
// login reply. A reply that cannot be trusted moves on to the next server; a
// login the server refuses ends the run with the server's status.
//
// Thread safety: as ServerRequestOp. Setters are for the caller before a run.
#ifndef QORAPI_AUTH_GETCERTOP_H
#define QORAPI_AUTH_GETCERTOP_H

#include "QORCrypt/Blowfish.h"
#include "QORCrypt/ElGamal.h"
#include "auth/AuthContext.h"
#include "auth/AuthPeerData.h"
#include "auth/AuthPubKeyBlock.h"
#include "auth/ServerRequestOp.h"

#include <cstdint>
#include <string>
#include <vector>

namespace QORAPI {

class GetCertOp : public ServerRequestOp
{
public:
    // Message types of the login exchange.
    enum MsgType : uint16_t
    {
        Msg_PubKeyRequest = 1,
        Msg_PubKeyReply = 2,
        Msg_LoginRequest = 3,
        Msg_Challenge = 4,
        Msg_ChallengeReply = 5,
        Msg_LoginReply = 6,
    };
    // Item types of the login reply.
    enum ItemType : uint8_t
    {
        Item_Certificate = 1,
        Item_PrivateKey = 2,
        Item_PubKeyBlock = 3,
        Item_SecretConfirm = 4,
        Item_Certificate2 = 6,
    };
    static const uint16_t ServiceType = 12;
    static const uint8_t HeaderByte = 5;
    static const uint32_t LoginFlags = 14;
    static const uint32_t SessionKeyLength = 8;
    static const uint32_t ChallengeLength = 16;

    explicit GetCertOp(const SmartPtr<AuthContext>& context);
    ~GetCertOp() override;

    void SetNewPassword(const std::u16string& password) { mNewPassword = password; }
    void SetOptionFlag(bool flag) { mOptionFlag = flag; }

    // The credentials installed by a successful run (null before).
    SmartPtr<AuthPeerData> GetNewPeerData() const;
    // Challenge rounds answered in the current or last attempt.
    uint32_t GetChallengeCount() const { return mChallengeCount; }
    // Public-key requests sent during the run.
    uint32_t GetPubKeyRequestCount() const { return mPubKeyRequests; }

protected:
    void RunHook() override;
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;
    void ResetForServer() override;

private:
    WSStatus BuildLoginRequest();
    WSStatus HandlePubKeyReply(ReadBuffer& reader);
    WSStatus HandleChallenge(ReadBuffer& reader);
    WSStatus HandleLoginReply(ReadBuffer& reader);
    void WriteHeader(WriteBuffer& out, uint16_t type) const;

    SmartPtr<AuthContext> mContext;
    ElGamal mVerifier;   // copied at the start of a run
    Blowfish mSessionKey;
    SmartPtr<AuthPubKeyBlock> mPubKeyBlock;
    int32_t mClockOffset;
    SmartPtr<AuthPeerData> mNewPeerData;
    std::vector<uint8_t> mChallenge;
    std::u16string mNewPassword;
    bool mOptionFlag;
    int mState;
    bool mRetriedAfterBadBlock;
    uint32_t mChallengeCount;
    uint32_t mPubKeyRequests;
};

typedef SmartPtr<GetCertOp> GetCertOpPtr;

} // namespace QORAPI

#endif
