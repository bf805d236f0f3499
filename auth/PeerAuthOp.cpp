#include "auth/PeerAuthOp.h"

namespace QORAPI {

PeerAuthOp::PeerAuthOp(const InetAddress& address, const SmartPtr<AuthContext>& context, int32_t authType,
                       const SmartPtr<AsyncSocket>& socket, bool useSecondCertificate)
    : mAddress(address), mUseSecondCertificate(useSecondCertificate), mRenewalStatus(WS_None)
{
    mAuthContext = context;
    mAuthType = authType;
    mSocket = socket;
}

PeerAuthOp::~PeerAuthOp() = default;

void PeerAuthOp::RunHook()
{
    Finish(WS_AuthRequired);
}

} // namespace QORAPI
