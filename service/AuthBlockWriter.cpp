#include "service/AuthBlockWriter.h"

#include "common/Endian.h"
#include "common/WriteBuffer.h"

namespace QORAPI {

namespace {

const uint32_t kMaxWideOrData = 0x7FFF;

void WriteHeader(WriteBuffer& out, const AuthBlockHeader& header)
{
    out.AppendShort(header.mHeaderValue);
    out.AppendLong(header.mIssueTime);
    out.AppendLong(header.mExpiryTime);
}

void Put16(std::vector<uint8_t>& out, uint16_t v)
{
    uint8_t b[2];
    StoreLE16(b, v);
    out.insert(out.end(), b, b + 2);
}

void Put32(std::vector<uint8_t>& out, uint32_t v)
{
    uint8_t b[4];
    StoreLE32(b, v);
    out.insert(out.end(), b, b + 4);
}

void PutBytes(std::vector<uint8_t>& out, const void* data, uint32_t length)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (length)
        out.insert(out.end(), p, p + length);
}

void PutWString(std::vector<uint8_t>& out, const std::u16string& w)
{
    Put16(out, static_cast<uint16_t>(w.size()));
    for (char16_t c : w)
        Put16(out, static_cast<uint16_t>(c));
}

} // namespace

SmartPtr<ByteBuffer> WriteCertificateBody(const AuthBlockHeader& header, uint32_t userId, uint32_t communityId,
                                          uint16_t trustLevel, const ByteBuffer* publicKey)
{
    if (ByteBuffer::LengthOf(publicKey) > 0xFFFF)
        return nullptr;
    WriteBuffer out(0);
    WriteHeader(out, header);
    out.AppendLong(userId);
    out.AppendLong(communityId);
    out.AppendShort(trustLevel);
    out.AppendBuffer(publicKey, 2);
    return out.ToByteBuffer(true);
}

SmartPtr<ByteBuffer> WritePubKeyBlockBody(const AuthBlockHeader& header, uint16_t blockId,
                                          const std::vector<SmartPtr<ByteBuffer>>& publicKeys)
{
    if (publicKeys.size() > 0xFFFF)
        return nullptr;
    WriteBuffer out(0);
    WriteHeader(out, header);
    out.AppendShort(blockId);
    out.AppendShort(static_cast<uint16_t>(publicKeys.size()));
    for (const SmartPtr<ByteBuffer>& key : publicKeys)
    {
        if (ByteBuffer::LengthOf(key) > 0xFFFF)
            return nullptr;
        out.AppendBuffer(key, 2);
    }
    return out.ToByteBuffer(true);
}

Auth2CertificateWriter::Auth2CertificateWriter(const AuthBlockHeader& header)
    : mHeader(header), mSectionCount(0), mCountOverridden(false), mCountOverride(0)
{
}

bool Auth2CertificateWriter::AddSection(uint16_t type, const std::vector<uint8_t>& content)
{
    if (content.size() > 0xFFFF || mSectionCount >= 0xFFFF)
        return false;
    AddRawSection(type, content);
    return true;
}

bool Auth2CertificateWriter::AddIdentity(uint32_t userId, const ByteBuffer* publicKey, const std::u16string& name,
                                         const TrustLevelList& trustLevels)
{
    if (ByteBuffer::LengthOf(publicKey) > 0xFFFF || name.size() > kMaxWideOrData || trustLevels.size() > 255)
        return false;
    std::vector<uint8_t> content;
    Put32(content, userId);
    Put16(content, static_cast<uint16_t>(ByteBuffer::LengthOf(publicKey)));
    PutBytes(content, ByteBuffer::DataOf(publicKey), ByteBuffer::LengthOf(publicKey));
    PutWString(content, name);
    content.push_back(static_cast<uint8_t>(trustLevels.size()));
    for (const auto& entry : trustLevels)
    {
        Put32(content, entry.first);
        Put16(content, entry.second);
    }
    return AddSection(0, content);
}

bool Auth2CertificateWriter::AddDataValue(uint32_t id, const void* data, uint32_t length)
{
    if (length > kMaxWideOrData)
        return false;
    std::vector<uint8_t> content;
    Put32(content, id);
    Put16(content, static_cast<uint16_t>(length));
    PutBytes(content, data, length);
    return AddSection(1, content);
}

bool Auth2CertificateWriter::AddTextValue(const std::u16string& key, const std::u16string& value)
{
    if (key.size() > kMaxWideOrData || value.size() > kMaxWideOrData)
        return false;
    std::vector<uint8_t> content;
    PutWString(content, key);
    PutWString(content, value);
    return AddSection(2, content);
}

bool Auth2CertificateWriter::AddNumberValue(uint32_t id, uint32_t value)
{
    std::vector<uint8_t> content;
    Put32(content, id);
    Put32(content, value);
    return AddSection(3, content);
}

void Auth2CertificateWriter::AddRawSection(uint16_t type, const void* content, uint32_t contentLength,
                                           uint16_t declaredLength)
{
    Put16(mSections, type);
    Put16(mSections, declaredLength);
    PutBytes(mSections, content, contentLength > 0xFFFF ? 0xFFFF : contentLength);
    ++mSectionCount;
}

void Auth2CertificateWriter::AddRawSection(uint16_t type, const std::vector<uint8_t>& content)
{
    const uint32_t length = static_cast<uint32_t>(content.size());
    AddRawSection(type, content.data(), length, static_cast<uint16_t>(length));
}

void Auth2CertificateWriter::SetSectionCount(uint16_t count)
{
    mCountOverridden = true;
    mCountOverride = count;
}

SmartPtr<ByteBuffer> Auth2CertificateWriter::Body() const
{
    WriteBuffer out(0);
    WriteHeader(out, mHeader);
    out.AppendShort(mCountOverridden ? mCountOverride : static_cast<uint16_t>(mSectionCount));
    if (!mSections.empty())
        out.AppendBytes(mSections.data(), static_cast<uint32_t>(mSections.size()));
    return out.ToByteBuffer(true);
}

} // namespace QORAPI
