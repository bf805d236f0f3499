#include "auth/Auth2Certificate.h"

namespace QORAPI {

Auth2Certificate::Auth2Certificate(const void* data, uint32_t length)
    : AuthCertificateBase(data, length)
{
    Unpack();
}

Auth2Certificate::Auth2Certificate(const SmartPtr<ByteBuffer>& raw)
    : AuthCertificateBase(raw)
{
    Unpack();
}

Auth2Certificate::~Auth2Certificate() = default;

bool Auth2Certificate::UnpackHook(ReadBuffer& reader)
{
    mUserId = 0;
    mName.clear();
    mTrustLevels.clear();
    mTextValues.clear();
    mDataValues.clear();
    mNumberValues.clear();

    if (!AuthCertificateBase::UnpackHook(reader))
        return false;

    const uint16_t sectionCount = reader.ReadShort();
    for (uint32_t i = 0; i < sectionCount; ++i)
    {
        const uint16_t type = reader.ReadShort();
        const uint16_t length = reader.ReadShort();
        // The section's content is read through its own reader, so content that
        // runs past the declared length fails, and whatever the content leaves
        // unread is skipped.
        ReadBuffer content(reader.ReadBytes(length), length);
        if (!UnpackSection(type, content))
            return false;
    }
    return true;
}

bool Auth2Certificate::UnpackSection(uint16_t type, ReadBuffer& content)
{
    switch (type)
    {
    case Section_Identity:
    {
        mUserId = content.ReadLong();
        if (!ReadPublicKey(content))
            return false;
        if (!ReadBlockWString(content, mName))
            return false;
        const uint8_t count = content.ReadByte();
        for (uint32_t i = 0; i < count; ++i)
        {
            const uint32_t community = content.ReadLong();
            mTrustLevels[community] = content.ReadShort();
        }
        return true;
    }
    case Section_DataValue:
    {
        const uint32_t id = content.ReadLong();
        const uint16_t length = content.ReadShort();
        if (length >= 0x8000)
            return false;
        const uint8_t* bytes = content.ReadBytes(length);
        mDataValues[id] = new ByteBuffer(bytes, length, false);
        return true;
    }
    case Section_TextValue:
    {
        std::u16string key;
        std::u16string value;
        if (!ReadBlockWString(content, key) || !ReadBlockWString(content, value))
            return false;
        mTextValues[key] = value;
        return true;
    }
    case Section_NumberValue:
    {
        const uint32_t id = content.ReadLong();
        mNumberValues[id] = content.ReadLong();
        return true;
    }
    default:
        return true;
    }
}

std::u16string Auth2Certificate::GetTextValue(const std::u16string& key) const
{
    const auto it = mTextValues.find(key);
    return it == mTextValues.end() ? std::u16string() : it->second;
}

SmartPtr<ByteBuffer> Auth2Certificate::GetDataValue(uint32_t id) const
{
    const auto it = mDataValues.find(id);
    return it == mDataValues.end() ? SmartPtr<ByteBuffer>() : it->second;
}

uint32_t Auth2Certificate::GetNumberValue(uint32_t id) const
{
    const auto it = mNumberValues.find(id);
    return it == mNumberValues.end() ? 0 : it->second;
}

std::u16string Auth2Certificate::GetFirstTextValue(std::u16string* key) const
{
    if (mTextValues.empty())
    {
        if (key)
            key->clear();
        return std::u16string();
    }
    if (key)
        *key = mTextValues.begin()->first;
    return mTextValues.begin()->second;
}

uint16_t Auth2Certificate::GetFirstTrustLevel(uint32_t* communityId) const
{
    if (mTrustLevels.empty())
    {
        if (communityId)
            *communityId = 0;
        return 0;
    }
    if (communityId)
        *communityId = mTrustLevels.begin()->first;
    return mTrustLevels.begin()->second;
}

SmartPtr<ByteBuffer> Auth2Certificate::GetFirstDataValue(uint32_t* id) const
{
    if (mDataValues.empty())
    {
        if (id)
            *id = 0;
        return nullptr;
    }
    if (id)
        *id = mDataValues.begin()->first;
    return mDataValues.begin()->second;
}

bool Auth2Certificate::CheckAccess(uint32_t userId, uint32_t communityId, uint16_t minTrustLevel) const
{
    if (userId != 0 && userId != mUserId)
        return false;
    if (communityId != 0)
    {
        const auto it = mTrustLevels.find(communityId);
        return it != mTrustLevels.end() && it->second >= minTrustLevel;
    }
    for (const auto& entry : mTrustLevels)
    {
        if (entry.second >= minTrustLevel)
            return true;
    }
    return false;
}

} // namespace QORAPI
