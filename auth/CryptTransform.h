// CryptTransform: the message transform that puts an AuthSession on a socket:
// outgoing frames are encrypted by the session, incoming messages decrypted.
//
// Thread safety: as every transform, called only under its socket's lock. The
// session it holds must serve no other connection at the same time.
#ifndef QORAPI_AUTH_CRYPTTRANSFORM_H
#define QORAPI_AUTH_CRYPTTRANSFORM_H

#include "QORSocket/MsgTransform.h"
#include "auth/AuthSession.h"

namespace QORAPI {

class CryptTransform : public MsgTransform
{
public:
    explicit CryptTransform(const SmartPtr<AuthSession>& session);
    ~CryptTransform() override;

    WSStatus SendTransform(SmartPtr<ByteBuffer>& message) override;
    WSStatus RecvTransform(SmartPtr<ByteBuffer>& message) override;

    const SmartPtr<AuthSession>& GetSession() const { return mSession; }

private:
    SmartPtr<AuthSession> mSession;
};

} // namespace QORAPI

#endif
