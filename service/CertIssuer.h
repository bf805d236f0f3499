// CertIssuer: the certificate issuer of the local service. It signs the
// bodies written by AuthBlockWriter with its private key and hands out
// AuthCertificates, Auth2Certificates and AuthPubKeyBlocks as the library
// receives them: body followed by the signature (r then s, big-endian).
//
// Thread safety: distinct objects: safe. Shared objects: signing is guarded by
// the issuer's own lock (it advances the key's random source).
#ifndef QORAPI_SERVICE_CERTISSUER_H
#define QORAPI_SERVICE_CERTISSUER_H

#include "QORCrypt/ElGamal.h"
#include "common/ByteBuffer.h"
#include "common/RefCount.h"
#include "service/AuthBlockWriter.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace QORAPI {

class CertIssuer : public RefCount
{
public:
    CertIssuer();
    // Builds the issuer over a DER private key; HasKey tells whether it loaded.
    CertIssuer(const void* privateKey, uint32_t length);
    // Builds the issuer over a loaded private key (for instance one from KeyGen).
    explicit CertIssuer(const ElGamal& privateKey);
    ~CertIssuer() override;

    bool SetSigningKey(const void* privateKey, uint32_t length);
    bool SetSigningKey(const ElGamal& privateKey);
    bool HasKey() const;

    // The DER public key that verifies what this issuer signs.
    SmartPtr<ByteBuffer> GetPublicKey() const;

    // Body followed by its signature; null when there is no key, no body or
    // signing fails.
    SmartPtr<ByteBuffer> Sign(const ByteBuffer* body);

    SmartPtr<ByteBuffer> IssueCertificate(const AuthBlockHeader& header, uint32_t userId, uint32_t communityId,
                                          uint16_t trustLevel, const ByteBuffer* publicKey);
    SmartPtr<ByteBuffer> IssueAuth2Certificate(const Auth2CertificateWriter& writer);
    SmartPtr<ByteBuffer> IssuePubKeyBlock(const AuthBlockHeader& header, uint16_t blockId,
                                          const std::vector<SmartPtr<ByteBuffer>>& publicKeys);

    // Body followed by any bytes as its signature (broken blocks for tests).
    static SmartPtr<ByteBuffer> AppendSignature(const ByteBuffer* body, const void* signature, uint32_t length);

private:
    mutable std::mutex mLock;   // guards mKey
    ElGamal mKey;
};

typedef SmartPtr<CertIssuer> CertIssuerPtr;

} // namespace QORAPI

#endif
