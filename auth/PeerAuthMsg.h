// The messages of peer authentication (service type 203), shared by the client
// and server engines. After the frame's length prefix every message carries a
// 4-byte service type and a 4-byte message type, little-endian:
//
//   50 request      client -> server   mode, encryption, 2 bytes, client certificate
//   51 challenge 1  server -> client   {len B, B} under the client key, server certificate
//   52 challenge 2  client -> server   {len B, B, A} under the server key
//   53 complete     server -> client   status; >= 0: {len A, A} under the client key
//                                      (+ 2-byte session id in session mode);
//                                      < 0: a count and that many 8-bit strings
//
// Secret A is drawn by the client, secret B by the server; B becomes the
// session key. Counted blocks are a 2-byte length and the bytes.
//
// Thread safety: free functions without shared state.
#ifndef QORAPI_AUTH_PEERAUTHMSG_H
#define QORAPI_AUTH_PEERAUTHMSG_H

#include "QORCrypt/Blowfish.h"
#include "QORCrypt/ElGamal.h"
#include "common/ByteBuffer.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"

#include <cstdint>

namespace QORAPI {

const uint32_t PeerAuth_ServiceType = 203;
const uint32_t PeerAuth_Request = 50;
const uint32_t PeerAuth_Challenge1 = 51;
const uint32_t PeerAuth_Challenge2 = 52;
const uint32_t PeerAuth_Complete = 53;

// Length of the secrets both sides draw, in bytes.
const uint32_t PeerAuth_SecretLength = 8;

// Starts a message: the reserved length field, service type and message type.
inline void StartPeerAuthMsg(WriteBuffer& wb, uint32_t msgType)
{
    wb.AppendLong(PeerAuth_ServiceType);
    wb.AppendLong(msgType);
}

// The plain text of a secret as the messages carry it: 2-byte length, bytes.
inline void AppendSecret(WriteBuffer& wb, const Blowfish& secret)
{
    wb.AppendShort(static_cast<uint16_t>(secret.getKeyLength()));
    wb.AppendBytes(secret.getKey(), secret.getKeyLength());
}

// A counted block the messages use: 2-byte length, then the bytes. The
// content is not copied; it lives as long as the message does.
inline void ReadCountedBlock(ReadBuffer& rb, const uint8_t*& data, uint32_t& length)
{
    length = rb.ReadShort();
    data = rb.ReadBytes(length);
}

// Reads a counted block and decrypts it with the given private key; null when
// there is no key or the block does not decrypt.
inline SmartPtr<ByteBuffer> DecryptCountedBlock(ReadBuffer& rb, const SmartPtr<ElGamal>& privateKey)
{
    const uint8_t* block = nullptr;
    uint32_t blockLength = 0;
    ReadCountedBlock(rb, block, blockLength);
    return privateKey ? privateKey->decrypt(block, blockLength) : nullptr;
}

} // namespace QORAPI

#endif
