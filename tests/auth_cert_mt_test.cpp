// Shared certificates and public-key blocks used from several threads: blocks
// are read and verified concurrently, and one issuer signs for many threads.

#include "auth/Auth2Certificate.h"
#include "auth/AuthCertificate.h"
#include "auth/AuthPubKeyBlock.h"
#include "platform/Tick.h"
#include "service/CertIssuer.h"
#include "service/IssuerKeys.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace QORAPI;

namespace {

CertIssuerPtr FixedIssuer(uint32_t index)
{
    const SmartPtr<ByteBuffer> der = GetFixedIssuerKey(index);
    return new CertIssuer(der->GetData(), der->GetLength());
}

AuthBlockHeader Header()
{
    AuthBlockHeader h;
    h.mIssueTime = GetTimeSeconds();
    h.mExpiryTime = h.mIssueTime + 600;
    return h;
}

TEST(AuthBlocksThreads, SharedBlocksVerifyConcurrently)
{
    const CertIssuerPtr root = FixedIssuer(0);
    const CertIssuerPtr first = FixedIssuer(1);
    const CertIssuerPtr second = FixedIssuer(2);
    const AuthPubKeyBlockPtr block =
        new AuthPubKeyBlock(root->IssuePubKeyBlock(Header(), 3, {first->GetPublicKey(), second->GetPublicKey()}));
    ASSERT_TRUE(block->IsValid());
    const SmartPtr<ByteBuffer> userKey = FixedIssuer(3)->GetPublicKey();
    const AuthCertificatePtr shared = new AuthCertificate(second->IssueCertificate(Header(), 9, 1, 1, userKey.Get()));
    ASSERT_TRUE(shared->IsValid());

    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t)
    {
        threads.emplace_back([&, t] {
            CertIssuer& signer = (t % 2) ? *first : *second;
            for (uint32_t i = 0; i < 10; ++i)
            {
                // Shared objects, read and verified from every thread.
                if (!block->Verify(*shared) || shared->IsExpired(0) || !shared->CheckAccess(9, 1, 1))
                    ++failures;
                // Fresh certificates from the shared issuers.
                const AuthCertificatePtr own =
                    new AuthCertificate(signer.IssueCertificate(Header(), 100 + t, t, 1, userKey.Get()));
                if (!own->IsValid() || !block->Verify(*own) || own->GetUserId() != 100 + t)
                    ++failures;
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
