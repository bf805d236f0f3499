#include "QORSocket/PingOp.h"

#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

namespace QORAPI {

PingOp::PingOp(const InetAddress& address, uint8_t lengthFieldSize, bool extended)
    : ServerRequestOp(address),
      mExtended(extended),
      mRoundTripTime(0),
      mNumber1(0),
      mNumber2(0),
      mFlag(false),
      mSentTick(0)
{
    mLengthFieldSize = lengthFieldSize;
}

PingOp::~PingOp() = default;

WSStatus PingOp::BuildRequest()
{
    WriteBuffer request(mLengthFieldSize, true);
    request.AppendByte(3);
    request.AppendByte(1);
    request.AppendByte(5);
    mSentTick = GetTickCount();
    request.AppendLong(mSentTick);
    request.AppendByte(mExtended ? 1 : 0);
    mRequest = request.ToByteBuffer(true);
    return WS_ServerReq_Recv;
}

WSStatus PingOp::HandleReply()
{
    ReadBuffer rb(mReply);
    const uint8_t* header = rb.ReadBytes(3);
    if (header[0] != 3 || header[1] != 1 || header[2] != 6)
        return FailOver(WS_ServerReq_InvalidReplyHeader);
    const uint32_t echoed = rb.ReadLong();
    if (echoed != mSentTick)
        return FailOver(WS_ServerReq_InvalidReplyHeader);
    const uint32_t roundTrip = GetTickCount() - echoed;

    // The fields are read whole before any is kept: a reply that ends inside
    // them leaves the operation's fields as they were.
    std::string t1, t2, t3, t4, t5, t6;
    uint32_t n1 = 0, n2 = 0;
    bool flag = false;
    if (!rb.AtEnd())
    {
        rb.ReadString(t1, 2);
        rb.ReadString(t2, 2);
        n1 = rb.ReadLong();
        rb.ReadString(t3, 2);
        n2 = rb.ReadLong();
        rb.ReadString(t4, 2);
        flag = rb.ReadByte() != 0;
        if (!rb.AtEnd())
        {
            rb.ReadString(t5, 2);
            rb.ReadString(t6, 2);
        }
    }
    mRoundTripTime = roundTrip;
    mText1.swap(t1);
    mText2.swap(t2);
    mText3.swap(t3);
    mText4.swap(t4);
    mText5.swap(t5);
    mText6.swap(t6);
    mNumber1 = n1;
    mNumber2 = n2;
    mFlag = flag;
    return WS_Success;
}

void PingOp::ResetForServer()
{
    mText1.clear();
    mText2.clear();
    mText3.clear();
    mText4.clear();
    mText5.clear();
    mText6.clear();
    mNumber1 = 0;
    mNumber2 = 0;
    mFlag = false;
}

} // namespace QORAPI
