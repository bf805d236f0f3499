#include "dir/DirMessage.h"

#include "QORSocket/MsgFrame.h"
#include "auth/ServerMsgHeader.h"

namespace QORAPI {

DirMessageWriter::DirMessageWriter(uint8_t lengthFieldSize)
    : mBuffer(lengthFieldSize, true), mOverflow(false)
{
}

void DirMessageWriter::Begin(uint16_t msgType)
{
    mBuffer.Reset();
    mOverflow = false;
    AppendServerMsgHeader(mBuffer, DirServiceType, msgType);
}

void DirMessageWriter::String(const std::u16string& s)
{
    if (s.size() > 0xFFFF)
    {
        mOverflow = true;
        mBuffer.AppendWString(s.substr(0, 0xFFFF), 2);
        return;
    }
    mBuffer.AppendWString(s, 2);
}

void DirMessageWriter::ShortString(const std::string& s)
{
    if (s.size() > 0xFF)
    {
        mOverflow = true;
        mBuffer.AppendString(s.substr(0, 0xFF), 1);
        return;
    }
    mBuffer.AppendString(s, 1);
}

void DirMessageWriter::Buffer1(const ByteBuffer* b)
{
    uint32_t n = ByteBuffer::LengthOf(b);
    if (n > 0xFF)
    {
        mOverflow = true;
        n = 0xFF;
    }
    mBuffer.AppendLength(n, 1);
    if (n)
        mBuffer.AppendBytes(ByteBuffer::DataOf(b), n);
}

void DirMessageWriter::Buffer2(const ByteBuffer* b)
{
    uint32_t n = ByteBuffer::LengthOf(b);
    if (n > 0xFFFF)
    {
        mOverflow = true;
        n = 0xFFFF;
    }
    mBuffer.AppendLength(n, 2);
    if (n)
        mBuffer.AppendBytes(ByteBuffer::DataOf(b), n);
}

void DirMessageWriter::Count(uint32_t n, uint8_t fieldSize)
{
    const uint32_t max = fieldSize == 1 ? 0xFF : 0xFFFF;
    if (n > max)
    {
        mOverflow = true;
        n = max;
    }
    mBuffer.AppendLength(n, fieldSize);
}

SmartPtr<ByteBuffer> DirMessageWriter::Finish()
{
    return mBuffer.ToByteBuffer(true);
}

WSStatus DirMessageWriter::FinishRequest(SmartPtr<ByteBuffer>& request)
{
    const bool overflow = mOverflow;
    const uint8_t field = mBuffer.GetLengthFieldSize();
    const bool tooLong = field != 0 && !FrameFitsLengthField(mBuffer.GetLength(), field);
    request = Finish();
    if (overflow)
        return WS_InvalidMessage;
    return tooLong ? WS_SendMsg_FrameTooLong : WS_ServerReq_Recv;
}

} // namespace QORAPI
