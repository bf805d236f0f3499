// Fuzz target of the cryptography's parsers: DER public and private keys,
// ElGamal ciphertexts and signatures, and Blowfish ciphertext framing.
// Properties: a key that loads encodes to a key that loads to the same
// encoding; a Blowfish ciphertext that decrypts is what encrypting its plain
// text gives, but for the last block (on receipt the padding is not checked
// and may be missing), and that encryption decrypts to the same plain text.
#include "FuzzUtil.h"

#include "QORCrypt/Blowfish.h"
#include "QORCrypt/ElGamal.h"
#include "service/KeyGen.h"

#include <cstring>

using namespace QORAPI;

namespace {

void CheckReencodes(const SmartPtr<ByteBuffer>& encoded, bool isPrivate)
{
    FUZZ_CHECK(encoded && encoded->GetLength() > 0);
    ElGamal again;
    FUZZ_CHECK(isPrivate ? again.setPrivateKey(encoded->GetData(), encoded->GetLength())
                         : again.setPublicKey(encoded->GetData(), encoded->GetLength()));
    const SmartPtr<ByteBuffer> twice = isPrivate ? again.getPrivateKey() : again.getPublicKey();
    FUZZ_CHECK(twice && twice->ToString() == encoded->ToString());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static SmartPtr<ElGamal> key = [] {
        DLParams params;
        KeyGen::LoadFixedParams(params, 1024);
        Randomizer random(std::vector<uint8_t>{1});
        return KeyGen::GenerateKeyPair(params, random);
    }();
    static Blowfish cipher(FuzzUtil::kFuzzKey, sizeof(FuzzUtil::kFuzzKey));
    if (size > 100000)
        return 0;
    const uint32_t n = static_cast<uint32_t>(size);

    ElGamal loaded;
    if (loaded.setPrivateKey(data, n))
    {
        CheckReencodes(loaded.getPrivateKey(), true);
        if (loaded.GetP().bitLength() <= 1024 && loaded.GetQ().bitLength() <= 1024)
            loaded.sign("x", 1);
    }
    ElGamal loadedPublic;
    if (loadedPublic.setPublicKey(data, n))
        CheckReencodes(loadedPublic.getPublicKey(), false);
    key->decrypt(data, n);
    key->verify("x", 1, data, n);

    const SmartPtr<ByteBuffer> plain = cipher.decrypt(data, n);
    if (plain)
    {
        const SmartPtr<ByteBuffer> again = cipher.encrypt(plain->GetData(), plain->GetLength());
        FUZZ_CHECK(again && (again->GetLength() == n || again->GetLength() == n + 8));
        FUZZ_CHECK(std::memcmp(again->GetData(), data, n - 8) == 0);
        const SmartPtr<ByteBuffer> twice = cipher.decrypt(again->GetData(), again->GetLength());
        FUZZ_CHECK(twice && twice->ToString() == plain->ToString());
    }
    return 0;
}
