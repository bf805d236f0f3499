// Fuzz target of both peer-authentication engines. Either engine is fed
// messages that are wholly the fuzzer's, or the messages of a genuine
// exchange with the fuzzer's edits (so that the checks behind the
// signatures and the key exchange are reached).
// Properties: every reply an engine builds is a frame whose length field
// counts it; an unedited exchange succeeds and both sides agree on the
// session.
//
// Input: mode byte (bit 0: the server engine, else the client; bits 1-2:
// authentication type 1 to 3; bit 3: first certificates instead of second;
// bit 4: edit a genuine exchange), then either messages (2-byte length
// each) or edits (2-byte offset, 1-byte XOR mask each).
#include "FuzzUtil.h"

#include "QORSocket/RecvMsgOp.h"
#include "auth/PeerAuthClient.h"
#include "auth/PeerAuthServer.h"
#include "common/Endian.h"
#include "service/LocalAuthority.h"

#include <string>
#include <vector>

using namespace QORAPI;

namespace {

const uint8_t kFieldSize = 4;

SmartPtr<AuthPeerData> Issue(uint32_t userId, const std::u16string& name)
{
    static const SmartPtr<LocalAuthority> authority = new LocalAuthority();
    IssueRequest request;
    request.mUserId = userId;
    request.mUserName = name;
    request.mCommunityId = 1;
    request.mTrustLevel = 10;
    request.mLifetimeSeconds = 100000000;
    request.mLifetime2Seconds = 100000000;
    return authority->IssuePeerData(request);
}

// The message of a frame an engine built, after checking the frame.
SmartPtr<ByteBuffer> Message(const SmartPtr<ByteBuffer>& frame)
{
    FUZZ_CHECK(frame && frame->GetLength() > kFieldSize && frame->GetLength() < kMaxFrameLength);
    FUZZ_CHECK(LoadLE32(frame->GetData()) == frame->GetLength());
    return new ByteBuffer(frame->GetData() + kFieldSize, frame->GetLength() - kFieldSize);
}

struct Edits
{
    const uint8_t* mData;
    size_t mSize;
    // Applies the edits aimed at message number index (offset's top bit
    // picks one of two messages).
    SmartPtr<ByteBuffer> Apply(const SmartPtr<ByteBuffer>& message, int index, bool& edited) const
    {
        std::string bytes = message->ToString();
        for (size_t pos = 0; pos + 3 <= mSize; pos += 3)
        {
            const uint16_t offset = static_cast<uint16_t>(mData[pos] | mData[pos + 1] << 8);
            if ((offset >> 15) != index || bytes.empty())
                continue;
            bytes[(offset & 0x7FFF) % bytes.size()] ^= static_cast<char>(mData[pos + 2]);
            edited = edited || mData[pos + 2] != 0;
        }
        return new ByteBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
};

void Exchange(bool serverSide, int32_t type, bool second, const Edits& edits)
{
    static const SmartPtr<AuthPeerData> clientData = Issue(1001, u"alice");
    static const SmartPtr<AuthPeerData> serverData = Issue(2002, u"host");
    PeerAuthClient client;
    PeerAuthServer server;
    client.SetUseSecondCertificate(second);
    server.SetUseSecondCertificate(second);
    server.SetSessionMode(true, 77);
    bool edited = false;
    SmartPtr<ByteBuffer> request, challenge1, challenge2, complete, none;
    client.Start(request, clientData, type, kFieldSize);
    server.Start(serverData, kFieldSize);

    // Edits go to what the engine under test receives: the server's request
    // and challenge 2, or the client's challenge 1 and complete.
    SmartPtr<ByteBuffer> m = Message(request);
    if (serverSide)
        m = edits.Apply(m, 0, edited);
    WSStatus s = server.HandleMessage(m.Get(), challenge1);
    if (s != WS_Success)
    {
        FUZZ_CHECK(edited);
        return;
    }
    m = Message(challenge1);
    if (!serverSide)
        m = edits.Apply(m, 0, edited);
    s = client.HandleMessage(m.Get(), challenge2);
    if (s != WS_Success || !challenge2)
    {
        FUZZ_CHECK(edited);
        return;
    }
    m = Message(challenge2);
    if (serverSide)
        m = edits.Apply(m, 1, edited);
    s = server.HandleMessage(m.Get(), complete);
    if (s != WS_Success)
    {
        FUZZ_CHECK(edited);
        return;
    }
    m = Message(complete);
    if (!serverSide)
        m = edits.Apply(m, 1, edited);
    s = client.HandleMessage(m.Get(), none);
    if (s != WS_Success)
    {
        FUZZ_CHECK(edited);
        return;
    }
    if (type == 3 || edited)
        return;
    // Both ended well: the sessions must carry a message between them.
    const SmartPtr<AuthSession> mine = client.GetSession();
    const SmartPtr<AuthSession> theirs = server.GetSession();
    FUZZ_CHECK(mine && theirs && mine->GetSessionId() == theirs->GetSessionId());
    WriteBuffer wb(kFieldSize, true);
    wb.AppendBytes("ping", 4);
    SmartPtr<ByteBuffer> frame = wb.ToByteBuffer(true);
    FUZZ_CHECK(mine->Encrypt(frame) == WS_Success);
    SmartPtr<ByteBuffer> received = Message(frame);
    FUZZ_CHECK(theirs->Decrypt(received) == WS_Success && received->ToString() == "ping");
}

void Raw(bool serverSide, int32_t type, bool second, const uint8_t* data, size_t size)
{
    static const SmartPtr<AuthPeerData> clientData = Issue(1001, u"alice");
    static const SmartPtr<AuthPeerData> serverData = Issue(2002, u"host");
    PeerAuthClient client;
    PeerAuthServer server;
    client.SetUseSecondCertificate(second);
    server.SetUseSecondCertificate(second);
    server.SetSessionMode(true, 77);
    SmartPtr<ByteBuffer> request;
    if (serverSide)
        server.Start(serverData, kFieldSize);
    else
        client.Start(request, clientData, type, kFieldSize);
    for (const std::string& bytes : FuzzUtil::SplitLengthPrefixed(data, size))
    {
        const SmartPtr<ByteBuffer> message = new ByteBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
        SmartPtr<ByteBuffer> reply;
        if (serverSide)
            server.HandleMessage(message.Get(), reply);
        else
            client.HandleMessage(message.Get(), reply);
        if (reply)
            Message(reply);
        if ((serverSide ? static_cast<int32_t>(server.GetState()) : static_cast<int32_t>(client.GetState())) == 0)
            break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 100000)
        return 0;
    const uint8_t mode = data[0];
    const bool serverSide = (mode & 1) != 0;
    const int32_t type = 1 + ((mode >> 1) & 3) % 3;
    const bool second = (mode & 8) == 0;
    if (mode & 16)
        Exchange(serverSide, type, second, Edits{data + 1, size - 1});
    else
        Raw(serverSide, type, second, data + 1, size - 1);
    return 0;
}
