#include "auth/CryptTransform.h"

namespace QORAPI {

CryptTransform::CryptTransform(const SmartPtr<AuthSession>& session) : mSession(session)
{
}

CryptTransform::~CryptTransform() = default;

WSStatus CryptTransform::SendTransform(SmartPtr<ByteBuffer>& message)
{
    // Without a session the transform is a plain pass-through.
    return mSession ? mSession->Encrypt(message) : WS_Success;
}

WSStatus CryptTransform::RecvTransform(SmartPtr<ByteBuffer>& message)
{
    return mSession ? mSession->Decrypt(message) : WS_Success;
}

} // namespace QORAPI
