// Fuzz target of message framing on a real loopback connection: RecvMsgOp
// with each length-field size, and RecvCRMsgOp, fed a byte stream in pieces
// of fuzzed sizes while the operations are driven the way the socket thread
// drives them (Start, then Continue until the result is not WS_TimedOut).
// Property: whatever the pieces, the messages and the final status are those
// of a reference reading of the whole stream.
//
// Input: mode byte, four piece sizes, then the stream.
//   mode & 3: length field 1, 2, 4, or the invalid size 3
//   mode & 4: CR LF lines instead of frames
//   mode & 8: an XOR transform on the socket (frames only)
#include "FuzzUtil.h"

#include "QORSocket/AsyncSocket.h"
#include "QORSocket/RecvCRMsgOp.h"
#include "QORSocket/RecvMsgOp.h"
#include "platform/Tick.h"

#include <string>
#include <vector>

using namespace QORAPI;

namespace {

class XorTransform : public MsgTransform
{
public:
    WSStatus RecvTransform(SmartPtr<ByteBuffer>& message) override
    {
        std::string s = message ? message->ToString() : std::string();
        for (char& c : s)
            c = static_cast<char>(c ^ 0x5A);
        message = new ByteBuffer(s.data(), static_cast<uint32_t>(s.size()));
        return WS_Success;
    }
};

struct Outcome
{
    std::vector<std::string> mMessages;
    WSStatus mFinal = WS_None;
};

// The reference: the whole stream read at once, the peer closing at its end.
Outcome Reference(const std::string& stream, uint8_t fieldSize, bool lines, bool xorMessages)
{
    Outcome out;
    size_t pos = 0;
    if (lines)
    {
        for (;;)
        {
            const size_t end = stream.find("\r\n", pos);
            if (end == std::string::npos)
            {
                out.mFinal = WS_AsyncSocket_Shutdown;
                return out;
            }
            out.mMessages.push_back(stream.substr(pos, end - pos) + '\0');
            pos = end + 2;
        }
    }
    if (fieldSize != 1 && fieldSize != 2 && fieldSize != 4)
    {
        out.mFinal = WS_RecvMsg_InvalidLengthFieldSize;
        return out;
    }
    for (;;)
    {
        if (stream.size() - pos < fieldSize)
        {
            out.mFinal = WS_AsyncSocket_Shutdown;
            return out;
        }
        int64_t value = 0;
        for (uint8_t i = 0; i < fieldSize; ++i)
            value |= static_cast<int64_t>(static_cast<uint8_t>(stream[pos + i])) << (8 * i);
        if (value & (int64_t(1) << (8 * fieldSize - 1)))
            value -= int64_t(1) << (8 * fieldSize);   // signed
        pos += fieldSize;
        if (value <= fieldSize || value >= kMaxFrameLength)
        {
            out.mFinal = WS_RecvMsg_InvalidMessageLength;
            return out;
        }
        const size_t length = static_cast<size_t>(value) - fieldSize;
        if (stream.size() - pos < length)
        {
            out.mFinal = WS_AsyncSocket_Shutdown;
            return out;
        }
        std::string message = stream.substr(pos, length);
        if (xorMessages)
            for (char& c : message)
                c = static_cast<char>(c ^ 0x5A);
        out.mMessages.push_back(message);
        pos += length;
    }
}

bool SendAll(AsyncSocket& s, const char* data, size_t n)
{
    size_t pos = 0;
    const uint32_t start = GetTickCount();
    while (pos < n && TicksSince(start) < 5000)
    {
        uint32_t sent = 0;
        const WSStatus st = s.Send(data + pos, static_cast<uint32_t>(n - pos), &sent);
        if (st != WS_Success && st != WS_TimedOut)
            return false;
        pos += sent;
        if (pos < n)
            s.WaitForWrite(10);
    }
    return pos == n;
}

SmartPtr<SocketOp> NewOp(const SmartPtr<AsyncSocket>& socket, bool lines)
{
    SmartPtr<SocketOp> op = lines ? SmartPtr<SocketOp>(new RecvCRMsgOp(socket)) : SmartPtr<SocketOp>(new RecvMsgOp(socket));
    op->SetMode(OpMode_Async);   // no time left: a step never waits
    return op;
}

std::string MessageOf(const SmartPtr<SocketOp>& op, bool lines)
{
    const SmartPtr<ByteBuffer>& b = lines ? static_cast<RecvCRMsgOp*>(op.Get())->GetBytes()
                                          : static_cast<RecvMsgOp*>(op.Get())->GetMsg();
    return b ? b->ToString() : std::string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const SmartPtr<AsyncSocket> listener = [] {
        StartSockets();
        SmartPtr<AsyncSocket> s = new AsyncSocket();
        s->Bind(0);
        s->Listen(16);
        return s;
    }();
    if (size < 5 || size > 60000)
        return 0;
    const uint8_t mode = data[0];
    const uint8_t fieldSizes[4] = {1, 2, 4, 3};
    const uint8_t fieldSize = fieldSizes[mode & 3];
    const bool lines = (mode & 4) != 0;
    const bool xorMessages = !lines && (mode & 8) != 0;
    const std::string stream(reinterpret_cast<const char*>(data + 5), size - 5);

    SmartPtr<AsyncSocket> client = new AsyncSocket();
    SmartPtr<AsyncSocket> peer;
    WSStatus s = client->Connect(InetAddress(0x7F000001u, listener->GetLocalPort()));
    for (int i = 0; i < 100 && s == WS_TimedOut; ++i)
        s = client->WaitForConnect(50);
    listener->WaitForRead(5000);
    FUZZ_CHECK(s == WS_Success && listener->Accept(peer) == WS_Success);
    client->SetLengthFieldSize(fieldSize);
    if (xorMessages)
        client->AddTransform(new XorTransform);

    Outcome got;
    SmartPtr<SocketOp> op = NewOp(client, lines);
    bool started = false;
    bool ended = false;
    // One step of the receiving side: runs operations until one waits for
    // bytes or the stream can no longer be read.
    auto step = [&] {
        while (!ended)
        {
            const WSStatus r = started ? op->Continue() : op->Start();
            started = true;
            if (r == WS_TimedOut)
                return;
            if (r != WS_Success)
            {
                got.mFinal = r;
                ended = true;
                return;
            }
            got.mMessages.push_back(MessageOf(op, lines));
            op = NewOp(client, lines);
            started = false;
        }
    };

    step();
    size_t pos = 0;
    for (size_t piece = 0; pos < stream.size() && !ended; ++piece)
    {
        const size_t n = std::min<size_t>(stream.size() - pos, 1 + data[1 + piece % 4]);
        FUZZ_CHECK(SendAll(*peer, stream.data() + pos, n));
        pos += n;
        step();
    }
    peer->Close();
    // Whatever is still on its way arrives before the end of the stream.
    const uint32_t start = GetTickCount();
    while (!ended && TicksSince(start) < 10000)
    {
        client->WaitForRead(100);
        step();
    }
    FUZZ_CHECK(ended);
    const Outcome want = Reference(stream.substr(0, pos), fieldSize, lines, xorMessages);
    FUZZ_CHECK(got.mMessages == want.mMessages);
    FUZZ_CHECK(got.mFinal == want.mFinal);
    client->Close();
    return 0;
}
