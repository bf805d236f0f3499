// AuthSession: the symmetric key agreed by peer authentication, with the
// authentication type, session identifier and sequence counters; it encrypts
// and decrypts whole framed messages of one connection.
//
// Thread safety: none. The counters and the key's chaining state change on
// every call, so Encrypt and Decrypt of one session must not overlap: a
// session serves one connection, whose socket calls its transforms under the
// socket's lock, and a cached session is taken out of the cache while in use.
#ifndef QORAPI_AUTH_AUTHSESSION_H
#define QORAPI_AUTH_AUTHSESSION_H

#include "QORCrypt/Blowfish.h"
#include "common/ByteBuffer.h"
#include "common/RefCount.h"
#include "common/WSStatus.h"

#include <cstdint>

namespace QORAPI {

class AuthSession : public RefCount
{
public:
    // Authentication types. Only Session and PersistentEncrypted encrypt;
    // messages of any other type pass both ways unchanged.
    enum AuthType : int32_t
    {
        AuthType_None = 0,
        AuthType_Session = 1,
        AuthType_PersistentEncrypted = 2,
        AuthType_PersistentNotEncrypted = 3,
    };

    // Header type of every message this library encrypts.
    static constexpr uint8_t kEncryptedHeaderType = 12;

    // Counters start at 0; the key is copied.
    AuthSession(int32_t authType, uint16_t sessionId, const Blowfish& key, uint8_t lengthFieldSize);
    ~AuthSession() override;

    // message: a whole frame, length field first; replaced by the encrypted
    // frame on success, untouched on failure. A message whose encrypted frame
    // would be longer than the receiving framing takes for the length field
    // (127, 32,767 or 255,999 bytes) is refused with
    // WS_AuthSession_EncryptFailure and consumes no sequence number.
    WSStatus Encrypt(SmartPtr<ByteBuffer>& message);

    // message: a received message without its length field; replaced by the
    // plain message on success, untouched on failure. Messages whose header
    // type is not an encrypted form pass unchanged.
    WSStatus Decrypt(SmartPtr<ByteBuffer>& message);

    int32_t GetAuthType() const { return mAuthType; }
    uint16_t GetSessionId() const { return mSessionId; }
    uint8_t GetLengthFieldSize() const { return mLengthFieldSize; }
    const Blowfish& GetKey() const { return mKey; }
    uint32_t GetLastUseTime() const { return mLastUseTime; }
    uint16_t GetOutgoingSequence() const { return mOutgoingSequence; }   // last number sent
    uint16_t GetIncomingSequence() const { return mIncomingSequence; }   // last number accepted

    bool IsEncrypting() const
    {
        return mAuthType == AuthType_Session || mAuthType == AuthType_PersistentEncrypted;
    }

private:
    int32_t mAuthType;
    uint8_t mLengthFieldSize;
    uint16_t mSessionId;
    uint16_t mIncomingSequence;
    uint16_t mOutgoingSequence;
    Blowfish mKey;
    uint32_t mLastUseTime;
};

typedef SmartPtr<AuthSession> AuthSessionPtr;

} // namespace QORAPI

#endif
