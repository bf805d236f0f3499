// Key generation for the local service: discrete-logarithm domain parameters
// (a prime p whose bit length is a multiple of 8, a prime q dividing p - 1,
// a generator g of the subgroup of order q), key pairs over them, and fixed
// pre-generated parameter sets so tests and servers need not search for primes.
//
// Thread safety: the functions keep no state; each call uses the Randomizer
// it is given (or a fresh one), which must not be shared between threads.
#ifndef QORAPI_SERVICE_KEYGEN_H
#define QORAPI_SERVICE_KEYGEN_H

#include "QORCrypt/BigInteger.h"
#include "QORCrypt/ElGamal.h"
#include "QORCrypt/Randomizer.h"
#include "common/ByteBuffer.h"

#include <cstdint>

namespace QORAPI {

// Domain parameters shared by the keys of one authority.
struct DLParams
{
    BigInteger p;
    BigInteger q;
    BigInteger g;
};

class KeyGen
{
public:
    // Miller-Rabin with random bases after trial division by small primes.
    static bool IsProbablePrime(const BigInteger& n, Randomizer& random, uint32_t rounds = 40);

    // A random prime of exactly bits bits (bits >= 2).
    static bool GeneratePrime(BigInteger& prime, uint32_t bits, Randomizer& random);

    // New parameters: pBits a multiple of 8 (at least 64), qBits from 16 to
    // pBits - 8. The usual sizes are 1024/160 and 2048/256. False when the
    // sizes are refused or the search gives up.
    static bool GenerateParams(DLParams& params, uint32_t pBits, uint32_t qBits, Randomizer& random);
    static bool GenerateParams(DLParams& params, uint32_t pBits, uint32_t qBits);

    // The fixed parameter sets: pBits 1024 (q of 160 bits) or 2048 (q of 256
    // bits). False for any other size.
    static bool LoadFixedParams(DLParams& params, uint32_t pBits);

    // Checks that p and q are prime, q divides p - 1, p's bit length is a
    // multiple of 8 and g has order q.
    static bool CheckParams(const DLParams& params, Randomizer& random);

    // A key pair over params: x uniform in [1, q - 1], y = g^x mod p. The
    // result holds the private key (and so the public key); none on failure.
    static SmartPtr<ElGamal> GenerateKeyPair(const DLParams& params, Randomizer& random);
    static SmartPtr<ElGamal> GenerateKeyPair(const DLParams& params);

    // The DER forms of the key encodings, as ElGamal loads them.
    static SmartPtr<ByteBuffer> EncodePublicKey(const DLParams& params, const BigInteger& y);
    static SmartPtr<ByteBuffer> EncodePrivateKey(const DLParams& params, const BigInteger& y, const BigInteger& x);
};

} // namespace QORAPI

#endif
