// libFuzzer target for what the authentication layer parses from peers:
// certificates, extensible certificates, public-key blocks, and received
// session messages of both encrypting types. Not built by default; build by
// hand with clang from the repository root, for example:
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -I. fuzz/auth_fuzz.cpp
//       auth/Auth*Certificate*.cpp auth/AuthBase.cpp auth/AuthPubKeyBlock.cpp auth/AuthSession.cpp
//       QORCrypt/*.cpp common/ByteBuffer.cpp common/ReadBuffer.cpp
//       common/WriteBuffer.cpp platform/posix/Entropy.cpp platform/posix/Tick.cpp
#include "QORCrypt/ElGamal.h"
#include "auth/Auth2Certificate.h"
#include "auth/AuthCertificate.h"
#include "auth/AuthPubKeyBlock.h"
#include "auth/AuthSession.h"

#include <cstddef>
#include <cstdint>

using namespace QORAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Blowfish key(reinterpret_cast<const uint8_t*>("fuzzkey!"), 8);
    const uint32_t n = static_cast<uint32_t>(size);

    const AuthCertificatePtr cert = new AuthCertificate(data, n);
    const Auth2CertificatePtr cert2 = new Auth2Certificate(data, n);
    const AuthPubKeyBlockPtr block = new AuthPubKeyBlock(data, n);
    if (cert->IsValid())
        cert->CheckAccess(0, 0, 0);
    if (cert2->IsValid())
    {
        cert2->CheckAccess(0, 0, 0);
        cert2->GetFirstTextValue();
    }
    if (block->IsValid() && cert->IsValid())
        block->Verify(*cert);

    for (int32_t type : {1, 2})
    {
        const AuthSessionPtr session = new AuthSession(type, 0x0101, key, 4);
        SmartPtr<ByteBuffer> message = new ByteBuffer(data, n);
        session->Decrypt(message);
    }
    return 0;
}
