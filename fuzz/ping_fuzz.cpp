// Fuzz target of ping replies: the TCP ping reply as PingOp reads it, and
// the UDP replies MultiPingOp reads on its datagram socket.
//
// TCP (mode bit 1 clear): the echoed tick is replaced by the one the request
// carried (mode bit 0), so that the fields after it are reached.
// Properties: a reply that is accepted re-packs, from the fields the
// operation kept, to the bytes it read; a reply that is refused leaves the
// fields as they were.
// Input: mode byte, then the reply (header 3, 1, 6 first, no frame length).
//
// UDP (mode bit 1 set): a blocking MultiPingOp pings one loopback responder,
// which answers with the input's datagrams (2-byte length each), then with a
// genuine reply. Mode bit 0 puts the ping's identifier into every datagram,
// mode bit 2 sends every second datagram from a stranger's socket.
// Properties: stranger's datagrams never reach the reply parser, datagrams
// longer than the receive buffer are dropped before it, and the parser accepts
// exactly the first datagram that starts 3, 1, 6 and the identifier; the run
// ends with the server answered.
// Input: mode byte, receive buffer byte (7 + 8 * value bytes), datagrams.
#include "FuzzUtil.h"
#include "RequestProbe.h"

#include "QORSocket/BlockingSocket.h"
#include "QORSocket/MultiPingOp.h"
#include "QORSocket/PingOp.h"
#include "common/Endian.h"
#include "common/WriteBuffer.h"

#include <string>
#include <thread>
#include <vector>

using namespace QORAPI;

namespace {

class PingProbe : public RequestProbe<PingOp>
{
public:
    PingProbe() : RequestProbe<PingOp>(InetAddress(0x7F000001u, 1), 4, true) {}
    // The tick the request carries (after the length field and the header).
    uint32_t Request()
    {
        BuildRequest();
        return LoadLE32(mRequest->GetData() + 4 + 3);
    }
};

void PackString(WriteBuffer& wb, const std::string& s)
{
    wb.AppendShort(static_cast<uint16_t>(s.size()));
    wb.AppendBytes(s.data(), static_cast<uint32_t>(s.size()));
}

// Records what reaches the reply parser and what it made of it.
class MultiPingProbe : public MultiPingOp
{
public:
    std::vector<std::string> mParsed;
    int32_t mAcceptedAt = -1;
    uint32_t mPingId = 0;

protected:
    void GetPingMessage(SmartPtr<ByteBuffer>& message, MultiPingStruct& server) override
    {
        MultiPingOp::GetPingMessage(message, server);
        mPingId = server.mPingId;
    }
    int32_t ProcessReply(MultiPingStruct& server, const SmartPtr<ByteBuffer>& reply) override
    {
        mParsed.push_back(reply ? reply->ToString() : std::string());
        const int32_t result = MultiPingOp::ProcessReply(server, reply);
        if (result != Reply_Ignore)
        {
            FUZZ_CHECK(result == Reply_Done && mAcceptedAt < 0);
            mAcceptedAt = static_cast<int32_t>(mParsed.size()) - 1;
        }
        return result;
    }
};

SmartPtr<BlockingSocket> NewUdpSocket()
{
    SmartPtr<BlockingSocket> s = new BlockingSocket(SocketType::Datagram);
    FUZZ_CHECK(s->Bind(InetAddress(0x7F000001u, 0)) == WS_Success);
    return s;
}

void MultiPing(uint8_t mode, const uint8_t* data, size_t size)
{
    static const SmartPtr<BlockingSocket> responder = [] {
        StartSockets();
        return NewUdpSocket();
    }();
    static const SmartPtr<BlockingSocket> stranger = NewUdpSocket();
    if (size < 1)
        return;
    const uint16_t bufferSize = static_cast<uint16_t>(7 + 8 * data[0]);
    std::vector<std::string> datagrams = FuzzUtil::SplitLengthPrefixed(data + 1, size - 1);
    if (datagrams.size() > 32)
        datagrams.resize(32);
    for (std::string& d : datagrams)
        if (d.size() > 4096)
            d.resize(4096);

    SmartPtr<MultiPingProbe> op = new MultiPingProbe;
    op->AddServer(InetAddress(0x7F000001u, responder->GetLocalPort()));
    op->SetMaxTries(1);
    op->SetBatchTimeout(5000);
    op->SetRecvBufferSize(bufferSize);

    // What the parser must see: the server's datagrams that fit the buffer,
    // up to the first genuine reply, which the responder adds at the end.
    std::vector<std::string> sent;
    std::thread answer([&] {
        SmartPtr<ByteBuffer> ping;
        InetAddress from;
        if (responder->RecvBytesFromBlock(ping, 64, from, 5000) != WS_Success || ByteBuffer::LengthOf(ping) < 7)
            return;
        const std::string id = ping->ToString().substr(3, 4);
        for (size_t i = 0; i < datagrams.size(); ++i)
        {
            std::string d = datagrams[i];
            if ((mode & 1) && d.size() >= 7)
                d.replace(3, 4, id);
            const bool fromStranger = (mode & 4) && (i % 2) == 1;
            const SmartPtr<BlockingSocket>& socket = fromStranger ? stranger : responder;
            FUZZ_CHECK(socket->SendBytesToBlock(new ByteBuffer(d.data(), static_cast<uint32_t>(d.size())), from, 1000) ==
                       WS_Success);
            if (!fromStranger)
                sent.push_back(d);
        }
        const std::string genuine = std::string("\x03\x01\x06", 3) + id;
        responder->SendBytesToBlock(new ByteBuffer(genuine.data(), 7), from, 1000);
        sent.push_back(genuine);
    });
    op->RunBlock(10000);
    answer.join();
    // Datagrams from before a run's socket existed never arrive: drain the
    // responder of any ping sent again.
    SmartPtr<ByteBuffer> stale;
    InetAddress from;
    while (responder->RecvBytesFromBlock(stale, 64, from, 0) == WS_Success)
    {
    }

    std::vector<std::string> want;
    int32_t acceptAt = -1;
    const std::string header("\x03\x01\x06", 3);
    for (const std::string& d : sent)
    {
        if (d.size() > bufferSize)
            continue;
        want.push_back(d);
        if (d.size() >= 7 && d.compare(0, 3, header) == 0 && LoadLE32(reinterpret_cast<const uint8_t*>(d.data()) + 3) == op->mPingId)
        {
            acceptAt = static_cast<int32_t>(want.size()) - 1;
            break;
        }
    }
    FUZZ_CHECK(op->GetStatus() == WS_Success);
    FUZZ_CHECK(op->mParsed == want);
    FUZZ_CHECK(op->mAcceptedAt == acceptAt);
    FUZZ_CHECK(op->GetResults().size() == 1 && op->GetResults()[0]->mPingTime != 0xFFFFFFFFu);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 100000)
        return 0;
    if (data[0] & 2)
    {
        MultiPing(data[0], data + 1, size - 1);
        return 0;
    }
    std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
    SmartPtr<PingProbe> ping = new PingProbe;
    const uint32_t tick = ping->Request();
    if ((data[0] & 1) && reply.size() >= 7)
        for (int i = 0; i < 4; ++i)
            reply[3 + i] = static_cast<char>((tick >> (8 * i)) & 0xFF);
    const WSStatus status = ping->Handle(reply);
    if (status != WS_Success)
    {
        FUZZ_CHECK(ping->GetText1().empty() && ping->GetNumber1() == 0 && !ping->GetFlag());
        return 0;
    }
    WriteBuffer wb(0, false);
    wb.AppendByte(3);
    wb.AppendByte(1);
    wb.AppendByte(6);
    wb.AppendLong(tick);
    if (reply.size() > 7)
    {
        PackString(wb, ping->GetText1());
        PackString(wb, ping->GetText2());
        wb.AppendLong(ping->GetNumber1());
        PackString(wb, ping->GetText3());
        wb.AppendLong(ping->GetNumber2());
        PackString(wb, ping->GetText4());
        wb.AppendByte(ping->GetFlag() ? 1 : 0);
        const uint32_t base = wb.GetLength();
        if (reply.size() > base)
        {
            PackString(wb, ping->GetText5());
            PackString(wb, ping->GetText6());
        }
    }
    const std::string packed = wb.ToByteBuffer()->ToString();
    // The flag byte is read as true for any non-zero value.
    FUZZ_CHECK(packed.size() <= reply.size());
    std::string read = reply.substr(0, packed.size());
    if (reply.size() > 7)
    {
        const size_t flagAt = 7 + 2 + ping->GetText1().size() + 2 + ping->GetText2().size() + 4 + 2 +
                              ping->GetText3().size() + 4 + 2 + ping->GetText4().size();
        if (read[flagAt] != 0)
            read[flagAt] = 1;
    }
    FUZZ_CHECK(packed == read);
    return 0;
}
