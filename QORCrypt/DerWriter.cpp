#include "QORCrypt/DerWriter.h"

namespace QORAPI {

bool DerWriter::WriteLength(std::vector<uint8_t>& out, uint32_t length)
{
    if (length < 0x80)
        out.push_back(static_cast<uint8_t>(length));
    else if (length < 0x100)
    {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(length));
    }
    else if (length <= kMaxLength)
    {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(length));
    }
    else
        return false;
    return true;
}

bool DerWriter::WriteInteger(const BigInteger& v)
{
    std::vector<uint8_t> content;
    v.toBinary(content);
    std::vector<uint8_t> header;
    header.push_back(kIntegerTag);
    if (!WriteLength(header, static_cast<uint32_t>(content.size())))
    {
        mFailed = true;
        return false;
    }
    mBody.insert(mBody.end(), header.begin(), header.end());
    mBody.insert(mBody.end(), content.begin(), content.end());
    return true;
}

SmartPtr<ByteBuffer> DerWriter::FinishSequence() const
{
    if (mFailed || mBody.size() > kMaxLength)
        return nullptr;
    std::vector<uint8_t> out;
    out.reserve(mBody.size() + 4);
    out.push_back(kSequenceTag);
    WriteLength(out, static_cast<uint32_t>(mBody.size()));
    out.insert(out.end(), mBody.begin(), mBody.end());
    return SmartPtr<ByteBuffer>(new ByteBuffer(out.data(), static_cast<uint32_t>(out.size())));
}

} // namespace QORAPI
