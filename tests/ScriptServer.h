// ScriptServer: a loopback TCP server whose answers a test scripts. It reads
// frames with a 4-byte length field from any number of connections and asks
// the script what to do with each request: send some bytes (any bytes, whole
// frames or not), then optionally close, or stay silent. It counts its open
// connections so that a test can wait until every one of them is gone.
//
// Thread safety: one worker thread serves every connection; Start and Stop are
// called by the owner's thread; the script runs on the worker.
#ifndef QORAPI_TESTS_SCRIPTSERVER_H
#define QORAPI_TESTS_SCRIPTSERVER_H

#include "QORSocket/AsyncSocket.h"
#include "common/ByteBuffer.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace QORAPI {
namespace TestUtil {

struct ScriptAnswer
{
    std::string mBytes;     // sent as they are
    bool mClose = false;    // close the connection after the bytes
};

class ScriptServer
{
public:
    // request: the frame without its length field; number: the request's
    // index on its connection.
    typedef std::function<ScriptAnswer(const std::string& request, uint32_t number)> Script;

    ~ScriptServer() { Stop(); }

    uint16_t Start(Script script)
    {
        mScript = std::move(script);
        mListener = new AsyncSocket();
        if (mListener->Bind(0) != WS_Success || mListener->Listen(128) != WS_Success)
            return 0;
        mStop = false;
        mThread = std::thread([this] { Run(); });
        return mListener->GetLocalPort();
    }

    void Stop()
    {
        mStop = true;
        if (mThread.joinable())
            mThread.join();
        if (mListener)
            mListener->Close();
        mListener = nullptr;
    }

    int OpenConnections() const { return mOpen.load(); }
    uint32_t Requests() const { return mRequests.load(); }

    // Waits (bounded) until the clients have closed every connection.
    bool WaitUntilIdle(int ms) const
    {
        for (int i = 0; i < ms && mOpen.load() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return mOpen.load() == 0;
    }

private:
    struct Conn
    {
        SmartPtr<AsyncSocket> mSocket;
        std::string mIn;
        uint32_t mNumber = 0;
    };

    void Run()
    {
        std::vector<Conn> conns;
        while (!mStop)
        {
            bool busy = false;
            SmartPtr<AsyncSocket> accepted;
            if (mListener->Accept(accepted) == WS_Success)
            {
                conns.push_back(Conn{accepted, std::string(), 0});
                ++mOpen;
                busy = true;
            }
            for (size_t i = 0; i < conns.size();)
            {
                if (Serve(conns[i], busy))
                {
                    ++i;
                    continue;
                }
                conns[i].mSocket->Close();
                conns.erase(conns.begin() + static_cast<std::ptrdiff_t>(i));
                --mOpen;
            }
            if (!busy)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (Conn& c : conns)
            c.mSocket->Close();
        mOpen = 0;
    }

    // False when the connection is to be closed.
    bool Serve(Conn& c, bool& busy)
    {
        char buf[4096];
        uint32_t got = 0;
        const WSStatus s = c.mSocket->Recv(buf, sizeof(buf), &got);
        if (s != WS_Success && s != WS_TimedOut)
            return false;
        if (got == 0)
            return true;
        busy = true;
        c.mIn.append(buf, got);
        while (c.mIn.size() >= 4)
        {
            const uint32_t len = static_cast<uint8_t>(c.mIn[0]) | static_cast<uint8_t>(c.mIn[1]) << 8 |
                                 static_cast<uint8_t>(c.mIn[2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(c.mIn[3])) << 24;
            if (len < 5 || len > 1000000)
                return false;
            if (c.mIn.size() < len)
                break;
            const std::string request = c.mIn.substr(4, len - 4);
            c.mIn.erase(0, len);
            ++mRequests;
            const ScriptAnswer answer = mScript(request, c.mNumber++);
            if (!SendAll(*c.mSocket, answer.mBytes) || answer.mClose)
                return false;
        }
        return true;
    }

    bool SendAll(AsyncSocket& s, const std::string& bytes)
    {
        size_t pos = 0;
        for (int tries = 0; pos < bytes.size() && tries < 5000 && !mStop; ++tries)
        {
            uint32_t sent = 0;
            const WSStatus st = s.Send(bytes.data() + pos, static_cast<uint32_t>(bytes.size() - pos), &sent);
            if (st != WS_Success && st != WS_TimedOut)
                return false;
            pos += sent;
            if (pos < bytes.size())
                s.WaitForWrite(1);
        }
        return pos == bytes.size();
    }

    Script mScript;
    SmartPtr<AsyncSocket> mListener;
    std::thread mThread;
    std::atomic<bool> mStop{false};
    std::atomic<int> mOpen{0};
    std::atomic<uint32_t> mRequests{0};
};

// A frame with a 4-byte length field around message.
inline std::string Framed(const std::string& message)
{
    const uint32_t n = static_cast<uint32_t>(message.size()) + 4;
    std::string out;
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((n >> (8 * i)) & 0xFF);
    return out + message;
}

} // namespace TestUtil
} // namespace QORAPI

#endif
