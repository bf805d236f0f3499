// Helpers of the fault-matrix tests: counting open descriptors, the byte
// offsets at which a reply is cut, and FaultyPeer, a scripted loopback server
// that authenticates its clients like a real one (a SessionGate with the
// server's credentials), answers their requests through a function, and
// breaks the reply to the request of a chosen index on each connection.
//
// Thread safety: FaultyPeer's script runs on the ScriptServer's worker; Set,
// Frames and Port may be called from the test's thread at any time.
#ifndef QORAPI_TESTS_FAULTPEER_H
#define QORAPI_TESTS_FAULTPEER_H

#include "ScriptServer.h"

#include "platform/Process.h"
#include "service/SessionGate.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace QORAPI {
namespace TestUtil {

// Sanitizer builds run the key arithmetic many times slower: time limits
// that must not cut a good exchange short grow by this factor there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const uint32_t kSlowFactor = 4;
#else
const uint32_t kSlowFactor = 1;
#endif

inline int OpenDescriptors()
{
    return CountOpenHandles();
}

// Every offset of the first bytes (length fields and headers), then a spread
// over the rest, and the last byte.
inline std::vector<size_t> CutOffsets(size_t length, size_t every = 16, size_t spread = 10)
{
    std::vector<size_t> offsets;
    for (size_t k = 0; k < length && k < every; ++k)
        offsets.push_back(k);
    const size_t step = std::max<size_t>(1, length / spread);
    for (size_t k = every; k + 1 < length; k += step)
        offsets.push_back(k);
    if (length > every)
        offsets.push_back(length - 1);
    return offsets;
}

enum class ReplyFault {
    None,
    Cut,            // the first mAt bytes of the frame, then close
    Short,          // a whole frame holding only the first mAt bytes of the message
    Garbage,        // a frame of bytes no server sends
    GarbageStream,  // a length field out of range
    FlipByte,       // the byte at mAt of the frame (length field included) changed
    Silent,         // no answer at all
};

class FaultyPeer
{
public:
    // answer: the plain replies (without length field) to a plain or
    // decrypted request; none for no answer.
    typedef std::function<std::vector<std::string>(const std::string& request)> Answer;

    FaultyPeer(const SmartPtr<AuthPeerData>& credentials, Answer answer) : mAnswer(std::move(answer))
    {
        mGate.SetCredentials(credentials);
        mPort = mServer.Start([this](const std::string& request, uint32_t number) { return Serve(request, number); });
    }

    // Breaks the reply to request number step of every connection from now on.
    void Set(ReplyFault fault, uint32_t step = 0, size_t at = 0)
    {
        std::lock_guard<std::mutex> lock(mLock);
        mFault = fault;
        mStep = step;
        mAt = at;
    }

    // The reply frame to request number step is replaced by frame (empty:
    // none is) before any fault applies.
    void Replace(uint32_t step, const std::string& frame)
    {
        std::lock_guard<std::mutex> lock(mLock);
        mReplaceStep = step;
        mReplacement = frame;
    }

    // The good reply frames of the first connection served without a fault.
    std::vector<std::string> Frames()
    {
        std::lock_guard<std::mutex> lock(mLock);
        return mFrames;
    }
    void ForgetFrames()
    {
        std::lock_guard<std::mutex> lock(mLock);
        mFrames.clear();
    }

    uint16_t Port() const { return mPort; }
    ScriptServer& Server() { return mServer; }
    SessionGate& Gate() { return mGate; }

private:
    ScriptAnswer Serve(const std::string& request, uint32_t number)
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (number == 0)
            mConn = SessionGate::Conn();
        SmartPtr<ByteBuffer> message = new ByteBuffer(request.data(), static_cast<uint32_t>(request.size()));
        SmartPtr<ByteBuffer> replyFrame;
        ScriptAnswer answer;
        switch (mGate.Incoming(mConn, message, replyFrame, 4))
        {
        case SessionGate::Action_Reply: answer.mBytes = replyFrame->ToString(); break;
        case SessionGate::Action_Drop: answer.mClose = true; return answer;
        case SessionGate::Action_Pass:
        {
            for (const std::string& plain : mAnswer(message->ToString()))
            {
                const std::string frame = Framed(plain);
                SmartPtr<ByteBuffer> out = new ByteBuffer(frame.data(), static_cast<uint32_t>(frame.size()));
                if (!mGate.Outgoing(mConn, out))
                {
                    answer.mClose = true;
                    return answer;
                }
                answer.mBytes += out->ToString();
            }
            if (answer.mBytes.empty())
                return answer;
            break;
        }
        }
        if (number == mReplaceStep && !mReplacement.empty())
            answer.mBytes = mReplacement;
        if (number != mStep || mFault == ReplyFault::None)
        {
            if (mFault == ReplyFault::None && number == mFrames.size())
                mFrames.push_back(answer.mBytes);
            return answer;
        }
        const std::string good = answer.mBytes;
        switch (mFault)
        {
        case ReplyFault::Cut:
            answer.mBytes = good.substr(0, std::min(mAt, good.size() - 1));
            answer.mClose = true;
            break;
        case ReplyFault::Short: answer.mBytes = Framed(good.substr(4, std::min(mAt, good.size() - 5))); break;
        case ReplyFault::Garbage:
            answer.mBytes = Framed(std::string("\x91\x22\x07\xF3\x00\x10garbage-garbage", 21));
            break;
        case ReplyFault::GarbageStream: answer.mBytes = std::string("\xFF\xFF\xFF\x7F", 4) + "garbage"; break;
        case ReplyFault::FlipByte:
            if (mAt < good.size())
                answer.mBytes[mAt] = static_cast<char>(answer.mBytes[mAt] ^ 0x5A);
            break;
        default: answer.mBytes.clear(); break;
        }
        return answer;
    }

    std::mutex mLock;
    Answer mAnswer;
    SessionGate mGate;
    SessionGate::Conn mConn;
    ReplyFault mFault = ReplyFault::None;
    uint32_t mStep = 0;
    size_t mAt = 0;
    uint32_t mReplaceStep = 0;
    std::string mReplacement;
    std::vector<std::string> mFrames;
    ScriptServer mServer;
    uint16_t mPort = 0;
};

} // namespace TestUtil
} // namespace QORAPI

#endif
