// Loopback helpers shared by the socket tests: connected pairs, bounded
// sends and receives, and a peer thread that plays a script of sends.
#ifndef QORAPI_TESTS_SOCKETTESTUTIL_H
#define QORAPI_TESTS_SOCKETTESTUTIL_H

#include "QORSocket/AsyncSocket.h"
#include "platform/Tick.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace QORAPI {
namespace TestUtil {

const uint32_t kWait = 5000;   // upper bound of every wait in the tests

// Polls pred every 10 ms until it holds or ms pass.
template <class Pred>
bool WaitUntil(Pred pred, uint32_t ms = kWait)
{
    const uint32_t start = GetTickCount();
    while (!pred())
    {
        if (TicksSince(start) >= ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

inline SmartPtr<ByteBuffer> Bytes(const std::string& s)
{
    return SmartPtr<ByteBuffer>(new ByteBuffer(s.data(), static_cast<uint32_t>(s.size())));
}

inline std::string Str(const SmartPtr<ByteBuffer>& b)
{
    return b ? b->ToString() : std::string();
}

inline SmartPtr<AsyncSocket> MakeListener(uint16_t& port, AsyncSocket* proto = nullptr)
{
    SmartPtr<AsyncSocket> s = proto ? SmartPtr<AsyncSocket>(proto) : SmartPtr<AsyncSocket>(new AsyncSocket());
    EXPECT_EQ(s->Bind(0), WS_Success);
    EXPECT_EQ(s->Listen(64), WS_Success);
    port = s->GetLocalPort();
    return s;
}

// A connected stream pair on 127.0.0.1 built with non-blocking calls only.
inline void MakePair(SmartPtr<AsyncSocket>& client, SmartPtr<AsyncSocket>& server, AsyncSocket* clientProto = nullptr)
{
    uint16_t port = 0;
    SmartPtr<AsyncSocket> listener = MakeListener(port);
    client = clientProto ? SmartPtr<AsyncSocket>(clientProto) : SmartPtr<AsyncSocket>(new AsyncSocket());
    WSStatus s = client->Connect(InetAddress("127.0.0.1", port));
    const uint32_t start = GetTickCount();
    while (s == WS_TimedOut && TicksSince(start) < kWait)
        s = client->WaitForConnect(100);
    ASSERT_EQ(s, WS_Success);
    listener->WaitForRead(kWait);
    ASSERT_EQ(listener->Accept(server), WS_Success);
}

// A connected pair as {client, server}; a nonzero fieldSize is set on the server.
inline std::pair<SmartPtr<AsyncSocket>, SmartPtr<AsyncSocket>> Connected(uint8_t fieldSize = 0)
{
    std::pair<SmartPtr<AsyncSocket>, SmartPtr<AsyncSocket>> p;
    MakePair(p.first, p.second);
    if (fieldSize && p.second)
        p.second->SetLengthFieldSize(fieldSize);
    return p;
}

inline WSStatus SendAll(AsyncSocket& s, const std::string& data)
{
    uint32_t pos = 0;
    const uint32_t start = GetTickCount();
    while (pos < data.size() && TicksSince(start) < kWait)
    {
        s.WaitForWrite(100);
        uint32_t sent = 0;
        const WSStatus st = s.Send(data.data() + pos, static_cast<uint32_t>(data.size()) - pos, &sent);
        if (st != WS_Success && st != WS_TimedOut)
            return st;
        pos += sent;
    }
    return pos == data.size() ? WS_Success : WS_TimedOut;
}

// Receives until n bytes, a close, an error or the bound.
inline std::string RecvUpTo(AsyncSocket& s, uint32_t n)
{
    std::string out;
    const uint32_t start = GetTickCount();
    while (out.size() < n && TicksSince(start) < kWait)
    {
        s.WaitForRead(100);
        char buf[8192];
        uint32_t got = 0;
        const uint32_t want = std::min<uint32_t>(sizeof(buf), n - static_cast<uint32_t>(out.size()));
        const WSStatus st = s.Recv(buf, want, &got);
        if (st == WS_Success || st == WS_TimedOut)
            out.append(buf, got);
        else
            break;
    }
    return out;
}

// One step of a peer's script: bytes to send, then a pause.
struct Piece
{
    std::string bytes;
    uint32_t pauseMs;
};

// Plays a script of sends on a socket from a thread of its own; optionally
// closes the socket afterwards. Joined by the destructor.
class ScriptedPeer
{
public:
    ScriptedPeer(const SmartPtr<AsyncSocket>& socket, std::vector<Piece> script, bool closeAfter)
        : mSocket(socket), mThread([this, script, closeAfter]() {
              for (const Piece& p : script)
              {
                  if (!p.bytes.empty())
                      SendAll(*mSocket, p.bytes);
                  if (p.pauseMs)
                      std::this_thread::sleep_for(std::chrono::milliseconds(p.pauseMs));
              }
              if (closeAfter)
                  mSocket->Close();
          })
    {
    }
    ~ScriptedPeer() { mThread.join(); }

private:
    SmartPtr<AsyncSocket> mSocket;
    std::thread mThread;
};

// The frame bytes: a little-endian length field of the given size counting
// the whole frame, then the message.
inline std::string Frame(const std::string& msg, uint8_t fieldSize)
{
    const uint32_t total = static_cast<uint32_t>(msg.size()) + fieldSize;
    std::string out;
    for (uint8_t i = 0; i < fieldSize; ++i)
        out.push_back(static_cast<char>((total >> (8 * i)) & 0xFF));
    return out + msg;
}

inline std::string LengthField(uint32_t value, uint8_t fieldSize)
{
    std::string out;
    for (uint8_t i = 0; i < fieldSize; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

// Appends its tag on the way out and strips it on the way in, logging the
// calls (upper case on send, lower case on receive); a received message that
// does not end in the tag fails with WS_InvalidMessage.
class TagTransform : public MsgTransform
{
public:
    explicit TagTransform(char tag, std::string* log = nullptr) : mTag(tag), mLog(log) {}
    WSStatus SendTransform(SmartPtr<ByteBuffer>& m) override
    {
        if (mLog)
            mLog->push_back(mTag);
        m = Bytes(Str(m) + mTag);
        return WS_Success;
    }
    WSStatus RecvTransform(SmartPtr<ByteBuffer>& m) override
    {
        if (mLog)
            mLog->push_back(static_cast<char>(mTag + 32));
        std::string s = Str(m);
        if (s.empty() || s.back() != mTag)
            return WS_InvalidMessage;
        s.pop_back();
        m = Bytes(s);
        return WS_Success;
    }

private:
    char mTag;
    std::string* mLog;
};

// A port on which nothing listens.
inline uint16_t UnusedPort()
{
    SmartPtr<AsyncSocket> probe = new AsyncSocket();
    probe->Bind(0);
    return probe->GetLocalPort();
}

} // namespace TestUtil
} // namespace QORAPI

#endif
