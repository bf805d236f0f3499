// Fuzz target of the TCP ping reply as PingOp reads it. The echoed tick is
// replaced by the one the request carried (mode bit 0), so that the fields
// after it are reached.
// Properties: a reply that is accepted re-packs, from the fields the
// operation kept, to the bytes it read; a reply that is refused leaves the
// fields as they were.
//
// Input: mode byte, then the reply (header 3, 1, 6 first, no frame length).
#include "FuzzUtil.h"

#include "QORSocket/PingOp.h"
#include "common/Endian.h"
#include "common/WriteBuffer.h"

#include <string>

using namespace QORAPI;

namespace {

class PingProbe : public PingOp
{
public:
    PingProbe() : PingOp(InetAddress(0x7F000001u, 1), 4, true) {}
    // The tick the request carries (after the length field and the header).
    uint32_t Request()
    {
        BuildRequest();
        return LoadLE32(mRequest->GetData() + 4 + 3);
    }
    WSStatus Handle(const std::string& reply)
    {
        mReply = new ByteBuffer(reply.data(), static_cast<uint32_t>(reply.size()));
        try
        {
            return HandleReply();
        }
        catch (const ReadBufferException&)
        {
            return WS_ServerReq_UnpackFailure;   // as the request loop records it
        }
    }
};

void PackString(WriteBuffer& wb, const std::string& s)
{
    wb.AppendShort(static_cast<uint16_t>(s.size()));
    wb.AppendBytes(s.data(), static_cast<uint32_t>(s.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 100000)
        return 0;
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
