// Auth2Certificate: the extensible user certificate, a list of typed sections
// (identity, data values, text values, number values) after the common header.
// Sections of unknown type are skipped by their declared length.
//
// Thread safety: immutable after construction; may be read from any number
// of threads.
#ifndef QORAPI_AUTH_AUTH2CERTIFICATE_H
#define QORAPI_AUTH_AUTH2CERTIFICATE_H

#include "auth/AuthCertificateBase.h"

#include <cstdint>
#include <map>
#include <string>

namespace QORAPI {

class Auth2Certificate : public AuthCertificateBase
{
public:
    // Section types of the body.
    enum SectionType : uint16_t
    {
        Section_Identity = 0,
        Section_DataValue = 1,
        Section_TextValue = 2,
        Section_NumberValue = 3,
    };

    typedef std::map<uint32_t, uint16_t> TrustLevelMap;
    typedef std::map<std::u16string, std::u16string> TextValueMap;
    typedef std::map<uint32_t, SmartPtr<ByteBuffer>> DataValueMap;
    typedef std::map<uint32_t, uint32_t> NumberValueMap;

    Auth2Certificate(const void* data = nullptr, uint32_t length = 0);
    explicit Auth2Certificate(const SmartPtr<ByteBuffer>& raw);
    ~Auth2Certificate() override;

    const std::u16string& GetName() const { return mName; }
    const TrustLevelMap& GetTrustLevels() const { return mTrustLevels; }
    const TextValueMap& GetTextValues() const { return mTextValues; }
    const DataValueMap& GetDataValues() const { return mDataValues; }
    const NumberValueMap& GetNumberValues() const { return mNumberValues; }

    // Lookups: an absent entry gives an empty string, a null buffer or 0.
    std::u16string GetTextValue(const std::u16string& key) const;
    SmartPtr<ByteBuffer> GetDataValue(uint32_t id) const;
    uint32_t GetNumberValue(uint32_t id) const;

    // The entry with the smallest key; its key is stored through the optional
    // pointer. An empty map gives an empty string, 0 or a null buffer.
    std::u16string GetFirstTextValue(std::u16string* key = nullptr) const;
    uint16_t GetFirstTrustLevel(uint32_t* communityId = nullptr) const;
    SmartPtr<ByteBuffer> GetFirstDataValue(uint32_t* id = nullptr) const;

    bool CheckAccess(uint32_t userId, uint32_t communityId, uint16_t minTrustLevel) const override;

protected:
    bool UnpackHook(ReadBuffer& reader) override;

private:
    bool UnpackSection(uint16_t type, ReadBuffer& content);

    std::u16string mName;
    TrustLevelMap mTrustLevels;
    TextValueMap mTextValues;
    DataValueMap mDataValues;
    NumberValueMap mNumberValues;
};

typedef SmartPtr<Auth2Certificate> Auth2CertificatePtr;

} // namespace QORAPI

#endif
