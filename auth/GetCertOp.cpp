#include "auth/GetCertOp.h"

namespace QORAPI {

GetCertOp::GetCertOp(const SmartPtr<AuthContext>& context)
    : ServerRequestOp(context ? context->GetServerContext() : SmartPtr<ServerContext>()), mContext(context),
      mClockOffset(0), mOptionFlag(false), mState(1), mRetriedAfterBadBlock(false), mChallengeCount(0),
      mPubKeyRequests(0)
{
}

GetCertOp::~GetCertOp() = default;

SmartPtr<AuthPeerData> GetCertOp::GetNewPeerData() const
{
    ScopedLock lock(mCrit);
    return mNewPeerData;
}

void GetCertOp::RunHook()
{
    Finish(WS_GetCert_NeedVerifierKey);
}

WSStatus GetCertOp::BuildRequest()
{
    return WS_ServerReq_TryNextServer;
}

WSStatus GetCertOp::HandleReply()
{
    return WS_ServerReq_TryNextServer;
}

void GetCertOp::ResetForServer()
{
    mState = 1;
    mChallenge.clear();
}

} // namespace QORAPI
