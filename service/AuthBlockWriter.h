// AuthBlockWriter: writes the bodies of certificates and public-key blocks in
// the service's layouts (everything before the signature). The issuer signs
// the bodies; tests also use the writers, with the raw-section and count
// overrides, to build deliberately broken blocks.
//
// Thread safety: the free functions are pure; an Auth2CertificateWriter
// belongs to one thread at a time.
#ifndef QORAPI_SERVICE_AUTHBLOCKWRITER_H
#define QORAPI_SERVICE_AUTHBLOCKWRITER_H

#include "common/ByteBuffer.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace QORAPI {

// The common header of every block.
struct AuthBlockHeader
{
    uint16_t mHeaderValue = 1;
    uint32_t mIssueTime = 0;
    uint32_t mExpiryTime = 0;
};

// AuthCertificate body; null when the key does not fit its 2-byte length.
SmartPtr<ByteBuffer> WriteCertificateBody(const AuthBlockHeader& header, uint32_t userId, uint32_t communityId,
                                          uint16_t trustLevel, const ByteBuffer* publicKey);

// AuthPubKeyBlock body. An empty key list writes a count of 0 (a block the
// library refuses); null when a key or the count does not fit its field.
SmartPtr<ByteBuffer> WritePubKeyBlockBody(const AuthBlockHeader& header, uint16_t blockId,
                                          const std::vector<SmartPtr<ByteBuffer>>& publicKeys);

class Auth2CertificateWriter
{
public:
    typedef std::vector<std::pair<uint32_t, uint16_t>> TrustLevelList;

    explicit Auth2CertificateWriter(const AuthBlockHeader& header);

    // Each Add returns false, and adds nothing, when a value does not fit the
    // layout (wide strings and data of 0x8000 units or more, more than 255
    // trust levels, a section above 65,535 bytes).
    bool AddIdentity(uint32_t userId, const ByteBuffer* publicKey, const std::u16string& name,
                     const TrustLevelList& trustLevels);
    bool AddDataValue(uint32_t id, const void* data, uint32_t length);
    bool AddTextValue(const std::u16string& key, const std::u16string& value);
    bool AddNumberValue(uint32_t id, uint32_t value);

    // A section written as given: its declared length may differ from the
    // content's (content longer than 65,535 bytes is cut).
    void AddRawSection(uint16_t type, const void* content, uint32_t contentLength, uint16_t declaredLength);
    void AddRawSection(uint16_t type, const std::vector<uint8_t>& content);

    // Writes the given section count instead of the number of sections added.
    void SetSectionCount(uint16_t count);

    uint32_t GetSectionCount() const { return mSectionCount; }
    SmartPtr<ByteBuffer> Body() const;

private:
    bool AddSection(uint16_t type, const std::vector<uint8_t>& content);

    AuthBlockHeader mHeader;
    std::vector<uint8_t> mSections;
    uint32_t mSectionCount;
    bool mCountOverridden;
    uint16_t mCountOverride;
};

} // namespace QORAPI

#endif
