// The common header of request and reply messages (1 byte 5, 2-byte service
// type, 2-byte message type, all little-endian) and the session-expired notice
// that a server holding a cached session may send instead of a reply.
//
// Requests carry the header after their length prefix; replies carry it at the
// start of the message as the socket hands it out (prefix removed).
//
// Thread safety: free functions without shared state.
#ifndef QORAPI_AUTH_SERVERMSGHEADER_H
#define QORAPI_AUTH_SERVERMSGHEADER_H

#include "common/ByteBuffer.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"

#include <cstdint>

namespace QORAPI {

const uint8_t ServerMsgHeader_Type = 5;
const uint32_t ServerMsgHeader_Size = 5;

// Appends the header to a message builder (after its reserved length field).
inline void AppendServerMsgHeader(WriteBuffer& wb, uint16_t serviceType, uint16_t msgType)
{
    wb.AppendByte(ServerMsgHeader_Type);
    wb.AppendShort(serviceType);
    wb.AppendShort(msgType);
}

// Reads the header and tells whether it is exactly (5, serviceType, msgType).
// A reply shorter than the header reads as a mismatch; the reader is left
// after the header when it matched.
inline bool ReadServerMsgHeader(ReadBuffer& rb, uint16_t serviceType, uint16_t msgType)
{
    if (rb.Remaining() < ServerMsgHeader_Size)
        return false;
    const uint8_t type = rb.ReadByte();
    const uint16_t service = rb.ReadShort();
    const uint16_t msg = rb.ReadShort();
    return type == ServerMsgHeader_Type && service == serviceType && msg == msgType;
}

// The session-expired notice: at least 10 bytes, the first eight the 4-byte
// little-endian values 1 and 15.
inline bool IsSessionExpiredNotice(const ByteBuffer* reply)
{
    if (ByteBuffer::LengthOf(reply) < 10)
        return false;
    ReadBuffer rb(reply);
    return rb.ReadLong() == 1 && rb.ReadLong() == 15;
}

} // namespace QORAPI

#endif
