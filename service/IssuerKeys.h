// Pre-generated private keys for the certificate issuer of the local service,
// so tests, tools and the demo sign at once instead of searching for primes.
// Each key is the DER private-key form: SEQUENCE { p, q, g, y, x }, with a
// 1024-bit p and a 160-bit q. Keys 0 to 3 share one group, keys 4 and 5 another.
//
// Thread safety: pure functions over constant data.
#ifndef QORAPI_SERVICE_ISSUERKEYS_H
#define QORAPI_SERVICE_ISSUERKEYS_H

#include "common/ByteBuffer.h"

#include <cstdint>

namespace QORAPI {

uint32_t GetFixedIssuerKeyCount();

// The DER private key of the given index; null for an index out of range.
SmartPtr<ByteBuffer> GetFixedIssuerKey(uint32_t index);

} // namespace QORAPI

#endif
