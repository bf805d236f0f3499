// Message types of the directory service (service type 2) and the builder
// that writes directory requests in the service's encoding.
//
// Strings are a 2-byte character count and UTF-16LE characters; short strings
// a 1-byte length and 8-bit characters; buffers a 1- or 2-byte length and the
// bytes. A value too long for its length field cannot be sent: the builder
// writes it cut to the field and remembers the overflow, and the operation
// refuses to send the message (WS_InvalidMessage).
//
// Thread safety: none; a builder belongs to one thread at a time.
#ifndef QORAPI_DIR_DIRMESSAGE_H
#define QORAPI_DIR_DIRMESSAGE_H

#include "common/ByteBuffer.h"
#include "common/WSStatus.h"
#include "common/WriteBuffer.h"

#include <cstdint>
#include <string>

namespace QORAPI {

const uint16_t DirServiceType = 2;

enum DirMsgType : uint16_t {
    DirMsg_StatusReply = 1,
    DirMsg_EntityReply = 2,
    DirMsg_EntityListReply = 3,
    DirMsg_GetDir = 103,
    DirMsg_GetService = 105,
    DirMsg_FindDirectory = 107,
    DirMsg_FindService = 109,
    DirMsg_GetMultiDir = 113,
    DirMsg_RenewDirectory = 204,
    DirMsg_RenewService = 205,
    DirMsg_RenameDirectory = 206,
    DirMsg_RenameService = 207,
    DirMsg_RemoveDirectory = 208,
    DirMsg_RemoveService = 209,
    DirMsg_AddDirectory = 214,
    DirMsg_AddService = 215,
    DirMsg_ModifyDirectory = 216,
    DirMsg_ModifyService = 217,
    DirMsg_SetDataObjectsDirectory = 300,
    DirMsg_SetDataObjectsService = 301,
    DirMsg_ClearDataObjectsDirectory = 302,
    DirMsg_ClearDataObjectsService = 303,
    DirMsg_ModifyDataObjectsDirectory = 304,
    DirMsg_ModifyDataObjectsService = 305,
};

// Sequence flag of an entity-list reply: the last reply of a listing.
const uint8_t DirSeqFlag_Last = 0x80;

class DirMessageWriter
{
public:
    // lengthFieldSize 0 builds a message without a length prefix.
    explicit DirMessageWriter(uint8_t lengthFieldSize = 4);

    // Starts a new message: the common header 5, 2, msgType.
    void Begin(uint16_t msgType);

    void Byte(uint8_t v) { mBuffer.AppendByte(v); }
    void Bool(bool v) { mBuffer.AppendBool(v); }
    void Short(uint16_t v) { mBuffer.AppendShort(v); }
    void Long(uint32_t v) { mBuffer.AppendLong(v); }
    void String(const std::u16string& s);          // 2-byte count, UTF-16LE
    void ShortString(const std::string& s);        // 1-byte length
    void Buffer1(const ByteBuffer* b);             // 1-byte length
    void Buffer2(const ByteBuffer* b);             // 2-byte length
    void Buffer1(const SmartPtr<ByteBuffer>& b) { Buffer1(b.Get()); }
    void Buffer2(const SmartPtr<ByteBuffer>& b) { Buffer2(b.Get()); }
    // A count that must fit 1 or 2 bytes.
    void Count(uint32_t n, uint8_t fieldSize);

    bool Overflowed() const { return mOverflow; }
    void MarkOverflow() { mOverflow = true; }
    WriteBuffer& GetBuffer() { return mBuffer; }

    // The finished message; the builder is ready for the next one.
    SmartPtr<ByteBuffer> Finish();
    // Finishes a request into request: WS_InvalidMessage when a value did not
    // fit its field, WS_SendMsg_FrameTooLong when the whole frame does not fit
    // the length field (MsgFrame.h), else WS_ServerReq_Recv.
    WSStatus FinishRequest(SmartPtr<ByteBuffer>& request);

private:
    WriteBuffer mBuffer;
    bool mOverflow;
};

} // namespace QORAPI

#endif
