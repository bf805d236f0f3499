#include "auth/ServerOp.h"

#include <algorithm>

namespace QORAPI {

ServerOp::ServerOp()
    : mAuthType(0), mLengthFieldSize(4), mConnectTimeout(60000), mSendTimeout(60000), mRecvTimeout(60000)
{
}

ServerOp::~ServerOp() = default;

void ServerOp::SetTimeouts(uint32_t connectMs, uint32_t sendMs, uint32_t recvMs)
{
    mConnectTimeout = connectMs;
    mSendTimeout = sendMs;
    mRecvTimeout = recvMs;
}

uint32_t ServerOp::StepTimeout(uint32_t stepMs) const
{
    if (IsAsync())
        return stepMs;
    return std::min(stepMs, TimeLeft());
}

} // namespace QORAPI
