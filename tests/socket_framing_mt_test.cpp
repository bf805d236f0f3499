// Framed messages and CR LF lines against peers that send in pieces, one byte
// at a time, at the limits of every length-field size, that close mid-frame
// and that never answer; blocking and in every run mode of the core.
#include "AsyncTestUtil.h"
#include "QORSocket/RecvCRMsgOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "QORSocket/SendMsgOp.h"
#include "common/WriteBuffer.h"

using namespace QORAPI;
using namespace QORAPI::TestUtil;

namespace {

class FailingTransform : public MsgTransform
{
public:
    WSStatus SendTransform(SmartPtr<ByteBuffer>&) override { return WS_InvalidMessage; }
};

} // namespace

// ---- Frame limits for every length-field size ------------------------------

struct LimitCase
{
    uint8_t fieldSize;
    uint32_t length;     // value written into the length field
    bool accepted;
};

class FrameLimits : public testing::TestWithParam<LimitCase>
{
};

TEST_P(FrameLimits, LengthRules)
{
    const LimitCase c = GetParam();
    auto [client, server] = Connected(c.fieldSize);
    // Send the field and, when accepted, exactly the message it announces.
    const std::string body(c.accepted ? c.length - c.fieldSize : 64, 'm');
    ScriptedPeer peer(client, {{LengthField(c.length, c.fieldSize) + body, 0}}, false);
    SmartPtr<ByteBuffer> out;
    const WSStatus s = server->RecvMsgBlock(out, kWait);
    if (c.accepted)
    {
        ASSERT_EQ(s, WS_Success);
        EXPECT_EQ(ByteBuffer::LengthOf(out), c.length - c.fieldSize);
    }
    else
    {
        EXPECT_EQ(s, WS_RecvMsg_InvalidMessageLength);
        EXPECT_FALSE(out);
    }
}

INSTANTIATE_TEST_SUITE_P(AllFieldSizes, FrameLimits,
                         testing::Values(LimitCase{1, 2, true}, LimitCase{1, 127, true}, LimitCase{1, 1, false},
                                         LimitCase{1, 0, false}, LimitCase{1, 0x80, false},
                                         LimitCase{1, 200, false}, LimitCase{1, 0xFF, false},
                                         LimitCase{2, 3, true}, LimitCase{2, 0x7FFF, true},
                                         LimitCase{2, 2, false}, LimitCase{2, 0x8000, false},
                                         LimitCase{2, 0xFFFF, false}, LimitCase{4, 5, true},
                                         LimitCase{4, 255999, true}, LimitCase{4, 4, false},
                                         LimitCase{4, 0, false}, LimitCase{4, 256000, false},
                                         LimitCase{4, 0x7FFFFFFF, false}, LimitCase{4, 0xFFFFFFFF, false}));

TEST(Framing, SmallestFrameAndBadFieldSize)
{
    auto [client, server] = Connected();
    SmartPtr<ByteBuffer> out;
    ASSERT_EQ(SendAll(*client, std::string("\x05\x00\x00\x00\x41", 5)), WS_Success);
    ASSERT_EQ(server->RecvMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(Str(out), "A");

    server->SetLengthFieldSize(3);
    ASSERT_EQ(SendAll(*client, Frame("abc", 4)), WS_Success);
    EXPECT_EQ(server->RecvMsgBlock(out, kWait), WS_RecvMsg_InvalidLengthFieldSize);
    // Nothing was read: the frame is still there for a good field size.
    server->SetLengthFieldSize(4);
    EXPECT_EQ(server->RecvMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(Str(out), "abc");
}

TEST(Framing, OneByteAtATimeWithEveryFieldSize)
{
    for (uint8_t field : {1, 2, 4})
    {
        auto [client, server] = Connected(field);
        const std::string msg = "piecewise message";
        std::vector<Piece> script;
        for (char c : Frame(msg, field))
            script.push_back({std::string(1, c), 3});
        ScriptedPeer peer(client, script, false);
        SmartPtr<ByteBuffer> out;
        ASSERT_EQ(server->RecvMsgBlock(out, kWait), WS_Success) << int(field);
        EXPECT_EQ(Str(out), msg);
    }
}

TEST(Framing, BackToBackFramesStayInStep)
{
    auto [client, server] = Connected(2);
    ASSERT_EQ(SendAll(*client, Frame("one", 2) + Frame("two!", 2) + Frame(std::string(1000, '3'), 2)), WS_Success);
    SmartPtr<ByteBuffer> out;
    ASSERT_EQ(server->RecvMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(Str(out), "one");
    ASSERT_EQ(server->RecvMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(Str(out), "two!");
    ASSERT_EQ(server->RecvMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(out->GetLength(), 1000u);
}

TEST(Framing, PeerClosesMidFrame)
{
    const std::string frame = Frame("0123456789", 4);
    for (size_t cut : {size_t(0), size_t(2), size_t(4), size_t(9)})
    {
        auto [client, server] = Connected();
        ScriptedPeer peer(client, {{frame.substr(0, cut), 20}}, true);
        SmartPtr<ByteBuffer> out;
        EXPECT_EQ(server->RecvMsgBlock(out, kWait), WS_AsyncSocket_Shutdown) << cut;
        EXPECT_FALSE(out);
    }
}

TEST(Framing, SilentPeerEndsByTimeout)
{
    auto [client, server] = Connected();
    ASSERT_EQ(SendAll(*client, std::string("\x10\x00\x00\x00xy", 6)), WS_Success);
    SmartPtr<ByteBuffer> out;
    const uint32_t start = GetTickCount();
    EXPECT_EQ(server->RecvMsgBlock(out, 150), WS_TimedOut);
    EXPECT_GE(TicksSince(start), 140u);
}

TEST(Framing, TransformsWrapBothWays)
{
    auto [client, server] = Connected();
    std::string sendLog, recvLog;
    client->AddTransform(new TagTransform('A', &sendLog));
    client->AddTransform(new TagTransform('B', &sendLog));
    server->AddTransform(new TagTransform('A', &recvLog));
    server->AddTransform(new TagTransform('B', &recvLog));

    // The frame passes A then B whole, length field included; the sender
    // does not touch the field, so build it to cover the tags.
    WriteBuffer wb(4, true);
    wb.AppendBytes("hi", 2);
    SmartPtr<ByteBuffer> frame = wb.ToByteBuffer(true);
    std::string framed = Str(frame);
    framed[0] = static_cast<char>(framed[0] + 2);
    ASSERT_EQ(client->SendMsgBlock(Bytes(framed), kWait), WS_Success);
    EXPECT_EQ(sendLog, "AB");
    SmartPtr<ByteBuffer> out;
    ASSERT_EQ(server->RecvMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(recvLog, "ba");
    EXPECT_EQ(Str(out), "hi");

    // A failing receive transform ends the receive with its status.
    ASSERT_EQ(SendAll(*client, Frame("plain", 4)), WS_Success);
    EXPECT_EQ(server->RecvMsgBlock(out, kWait), WS_InvalidMessage);
}

TEST(Framing, FailingSendTransformSendsNothing)
{
    auto [client, server] = Connected();
    client->AddTransform(new FailingTransform);
    SmartPtr<SendMsgOp> op = new SendMsgOp(Bytes(Frame("secret", 4)), client);
    EXPECT_FALSE(op->RunBlock(kWait));
    EXPECT_EQ(op->GetStatus(), WS_InvalidMessage);
    EXPECT_EQ(op->GetSentCount(), 0u);
    SmartPtr<ByteBuffer> out;
    EXPECT_EQ(server->RecvBytesBlock(out, 1, 50), WS_TimedOut);
}

// A frame longer than its length field carries would make the peer read the
// rest as frames of their own: it is refused and nothing goes out.
TEST(Framing, SendRefusesFramesTheFieldCannotCarry)
{
    const struct
    {
        uint8_t field;
        uint32_t frameLength;
        bool sent;
    } cases[] = {{1, 127, true}, {1, 128, false}, {1, 275, false}, {2, 0x7FFF, true}, {2, 0x8000, false},
                 {2, 65535, false}, {4, kMaxFrameLength - 1, true}, {4, kMaxFrameLength, false}};
    for (const auto& c : cases)
    {
        auto [client, server] = Connected(c.field);
        client->SetLengthFieldSize(c.field);
        const std::string msg(c.frameLength - c.field, 'q');
        SmartPtr<SendMsgOp> op = new SendMsgOp(Bytes(Frame(msg, c.field)), client);
        op->RunBlock(kWait);
        SmartPtr<ByteBuffer> out;
        if (c.sent)
        {
            EXPECT_EQ(op->GetStatus(), WS_Success) << c.frameLength;
            ASSERT_EQ(server->RecvMsgBlock(out, kWait), WS_Success) << c.frameLength;
            EXPECT_EQ(Str(out), msg);
        }
        else
        {
            EXPECT_EQ(op->GetStatus(), WS_SendMsg_FrameTooLong) << c.frameLength;
            EXPECT_EQ(op->GetSentCount(), 0u);
            EXPECT_EQ(server->RecvBytesBlock(out, 1, 50), WS_TimedOut) << c.frameLength;
        }
    }

    // A transform that makes the frame too long is caught after it ran.
    auto [client, server] = Connected(1);
    client->SetLengthFieldSize(1);
    client->AddTransform(new TagTransform('T'));
    SmartPtr<SendMsgOp> op = new SendMsgOp(Bytes(Frame(std::string(126, 'q'), 1)), client);
    op->RunBlock(kWait);
    EXPECT_EQ(op->GetStatus(), WS_SendMsg_FrameTooLong);
    SmartPtr<ByteBuffer> out;
    EXPECT_EQ(server->RecvBytesBlock(out, 1, 50), WS_TimedOut);
}

// ---- CR LF lines -------------------------------------------------------------

TEST(CRLines, LineEndsAndZeroByte)
{
    auto [client, server] = Connected();
    ASSERT_EQ(SendAll(*client, std::string("OK\r\na\nb\rc\r\n\r\n", 13)), WS_Success);
    SmartPtr<ByteBuffer> out;
    ASSERT_EQ(server->RecvCRMsgBlock(out, kWait), WS_Success);
    ASSERT_EQ(out->GetLength(), 3u);
    EXPECT_EQ(Str(out), std::string("OK\0", 3));
    ASSERT_EQ(server->RecvCRMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(Str(out), std::string("a\nb\rc\0", 6));   // lone LF and CR stay
    ASSERT_EQ(server->RecvCRMsgBlock(out, kWait), WS_Success);
    EXPECT_EQ(Str(out), std::string("\0", 1));           // empty line
}

TEST(CRLines, LongestLineAndOneTooLong)
{
    for (uint32_t length : {kMaxFrameLength, kMaxFrameLength + 1})
    {
        auto [client, server] = Connected();
        ScriptedPeer peer(client, {{std::string(length, 'x') + "\r\n", 0}}, false);
        SmartPtr<ByteBuffer> out;
        if (length == kMaxFrameLength)
        {
            ASSERT_EQ(server->RecvCRMsgBlock(out, kWait), WS_Success);
            EXPECT_EQ(out->GetLength(), kMaxFrameLength + 1);
        }
        else
        {
            EXPECT_EQ(server->RecvCRMsgBlock(out, kWait), WS_RecvMsg_InvalidMessageLength);
            EXPECT_FALSE(out);
        }
    }
}

TEST(CRLines, ClosedAndSilentPeers)
{
    auto [client, server] = Connected();
    ASSERT_EQ(SendAll(*client, "partial"), WS_Success);
    SmartPtr<ByteBuffer> out;
    EXPECT_EQ(server->RecvCRMsgBlock(out, 100), WS_TimedOut);
    client->Close();
    EXPECT_EQ(server->RecvCRMsgBlock(out, kWait), WS_AsyncSocket_Shutdown);
}

// ---- Asynchronous framing in every run mode ---------------------------------

class AsyncFraming : public testing::TestWithParam<CoreMode>
{
};

TEST_P(AsyncFraming, FrameInThreePieces)
{
    CoreHolder core(GetParam());
    auto [client, server] = Connected();
    const std::string frame = Frame("three pieces arrive", 4);
    SmartPtr<RecvMsgOp> op = new RecvMsgOp(server);
    SmartPtr<DoneFlag> flag = new DoneFlag;
    op->SetCompletion(DoneCompletion(flag));
    op->RunAsync(kWait);
    for (const std::string& piece : {frame.substr(0, 2), frame.substr(2, 5)})
    {
        ASSERT_EQ(SendAll(*client, piece), WS_Success);
        for (int i = 0; i < 5; ++i)
            core.Step();
    }
    EXPECT_EQ(flag->count.load(), 0);
    ASSERT_EQ(SendAll(*client, frame.substr(7)), WS_Success);
    ASSERT_TRUE(core.WaitFor(flag));
    EXPECT_EQ(flag->status.load(), WS_Success);
    EXPECT_EQ(Str(op->GetMsg()), "three pieces arrive");
    EXPECT_EQ(flag->count.load(), 1);
}

TEST_P(AsyncFraming, SendAndReceiveLargeFrames)
{
    CoreHolder core(GetParam());
    auto [client, server] = Connected();
    const std::string msg(kMaxFrameLength - 5, 'L');
    SmartPtr<SendMsgOp> send = new SendMsgOp(Bytes(Frame(msg, 4)), client);
    SmartPtr<RecvMsgOp> recv = new RecvMsgOp(server);
    SmartPtr<DoneFlag> flag = new DoneFlag;
    send->SetCompletion(DoneCompletion(flag));
    recv->SetCompletion(DoneCompletion(flag));
    send->RunAsync(kWait);
    recv->RunAsync(kWait);
    ASSERT_TRUE(core.WaitFor(flag, 2));
    EXPECT_EQ(send->GetStatus(), WS_Success);
    EXPECT_EQ(recv->GetStatus(), WS_Success);
    EXPECT_EQ(ByteBuffer::LengthOf(recv->GetMsg()), msg.size());
}

TEST_P(AsyncFraming, BadLengthClosedPeerAndSilentPeer)
{
    CoreHolder core(GetParam());
    {
        auto [client, server] = Connected(1);
        ScriptedPeer peer(client, {{std::string(1, '\xC8'), 0}}, false);
        EXPECT_EQ(core.Run(new RecvMsgOp(server)), WS_RecvMsg_InvalidMessageLength);
    }
    {
        auto [client, server] = Connected();
        ScriptedPeer peer(client, {{std::string("\x09\x00\x00\x00" "ab", 6), 30}}, true);
        EXPECT_EQ(core.Run(new RecvMsgOp(server)), WS_AsyncSocket_Shutdown);
    }
    {
        auto [client, server] = Connected();
        EXPECT_EQ(core.Run(new RecvMsgOp(server), 100), WS_TimedOut);
        EXPECT_EQ(core.Run(new RecvCRMsgOp(server), 100), WS_TimedOut);
    }
}

TEST_P(AsyncFraming, LinesOneByteAtATime)
{
    CoreHolder core(GetParam());
    auto [client, server] = Connected();
    std::vector<Piece> script;
    for (char c : std::string("HELLO\r\n"))
        script.push_back({std::string(1, c), 2});
    ScriptedPeer peer(client, script, false);
    SmartPtr<RecvCRMsgOp> op = new RecvCRMsgOp(server);
    EXPECT_EQ(core.Run(op), WS_Success);
    EXPECT_EQ(Str(op->GetBytes()), std::string("HELLO\0", 6));
}

INSTANTIATE_TEST_SUITE_P(RunModes, AsyncFraming, testing::ValuesIn(kCoreModes), CoreModeName);
