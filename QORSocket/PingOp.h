// PingOp: asks one server over TCP how far away it is, as a server request
// (fail-over rules of ServerRequestOp) with the short header 3, 1, 5. The
// request carries the sender's tick, which the server echoes; with extended
// set the server may add information about itself (text1 ... text6, number1,
// number2, flag), which is stored as it comes.
//
// A reply with another header, or echoing a tick that was not sent, is not an
// answer to this ping: the run fails over with WS_ServerReq_InvalidReplyHeader.
//
// Thread safety: as AsyncOp. Setters before a run; results after its end.
#ifndef QORAPI_QORSOCKET_PINGOP_H
#define QORAPI_QORSOCKET_PINGOP_H

#include "auth/ServerRequestOp.h"

#include <cstdint>
#include <string>

namespace QORAPI {

class PingOp : public ServerRequestOp
{
public:
    PingOp(const InetAddress& address, uint8_t lengthFieldSize = 4, bool extended = false);
    ~PingOp() override;

    void SetExtended(bool extended) { mExtended = extended; }
    bool GetExtended() const { return mExtended; }

    // Milliseconds between building the request and reading the reply.
    uint32_t GetRoundTripTime() const { return mRoundTripTime; }
    // The extended information: empty or 0 when the server sent none.
    const std::string& GetText1() const { return mText1; }
    const std::string& GetText2() const { return mText2; }
    const std::string& GetText3() const { return mText3; }
    const std::string& GetText4() const { return mText4; }
    const std::string& GetText5() const { return mText5; }
    const std::string& GetText6() const { return mText6; }
    uint32_t GetNumber1() const { return mNumber1; }
    uint32_t GetNumber2() const { return mNumber2; }
    bool GetFlag() const { return mFlag; }

protected:
    WSStatus BuildRequest() override;
    WSStatus HandleReply() override;
    void ResetForServer() override;

private:
    bool mExtended;
    uint32_t mRoundTripTime;
    std::string mText1, mText2, mText3, mText4, mText5, mText6;
    uint32_t mNumber1;
    uint32_t mNumber2;
    bool mFlag;
    uint32_t mSentTick;     // the tick of the last request built
};

typedef SmartPtr<PingOp> PingOpPtr;

} // namespace QORAPI

#endif
