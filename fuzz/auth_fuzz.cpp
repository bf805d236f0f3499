// Fuzz target of what the authentication layer parses from peers:
// certificates, extensible certificates, public-key blocks, and received
// session messages of both encrypting types. Property: a message of the
// encrypted header type that a fresh session accepts is what a fresh peer
// session makes of the plain text, byte for byte but for the cipher's last
// block (on receipt its padding is not checked and may be missing).
#include "FuzzUtil.h"

#include "auth/Auth2Certificate.h"
#include "auth/AuthCertificate.h"
#include "auth/AuthPubKeyBlock.h"
#include "auth/AuthSession.h"
#include "common/WriteBuffer.h"

#include <cstring>

using namespace QORAPI;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Blowfish key(FuzzUtil::kFuzzKey, sizeof(FuzzUtil::kFuzzKey));
    if (size > 300000)
        return 0;
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

    for (int32_t type : {AuthSession::AuthType_Session, AuthSession::AuthType_PersistentEncrypted})
    {
        const AuthSessionPtr session = new AuthSession(type, FuzzUtil::kSessionId, key, 4);
        SmartPtr<ByteBuffer> message = new ByteBuffer(data, n);
        const SmartPtr<ByteBuffer> received = message;
        if (session->Decrypt(message) != WS_Success)
        {
            FUZZ_CHECK(message == received);   // untouched on failure
            continue;
        }
        if (size == 0 || data[0] != AuthSession::kEncryptedHeaderType)
            continue;
        const AuthSessionPtr peer = new AuthSession(type, FuzzUtil::kSessionId, key, 4);
        WriteBuffer wb(4, true);
        wb.AppendBytes(message->GetData(), message->GetLength());
        SmartPtr<ByteBuffer> frame = wb.ToByteBuffer();
        if (peer->Encrypt(frame) != WS_Success)
            continue;   // longer than a frame may be: nothing to compare
        FUZZ_CHECK(frame->GetLength() == n + 4 || frame->GetLength() == n + 12);
        FUZZ_CHECK(std::memcmp(frame->GetData() + 4, data, n - 8) == 0);
    }
    return 0;
}
