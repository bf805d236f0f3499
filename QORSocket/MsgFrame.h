// MsgFrame: the limits of a message frame. A frame is a little-endian length
// field of 1, 2 or 4 bytes counting the whole frame, then the message. The
// receiver reads the field as a signed number of its width and takes frames
// shorter than kMaxFrameLength only, so a 1-byte field carries at most 127
// bytes and a 2-byte field at most 32767. Senders refuse longer frames with
// WS_SendMsg_FrameTooLong before any byte goes out: cut to the field's width,
// the length would make the peer read the rest as further frames.
//
// Thread safety: plain functions of their arguments.
#ifndef QORAPI_QORSOCKET_MSGFRAME_H
#define QORAPI_QORSOCKET_MSGFRAME_H

#include <cstdint>

namespace QORAPI {

// Frames are shorter than this, length field included.
const uint32_t kMaxFrameLength = 256000;

// The longest frame a length field of the given size carries; 0 for a size
// other than 1, 2 or 4.
inline uint32_t MaxFrameLength(uint8_t lengthFieldSize)
{
    switch (lengthFieldSize)
    {
    case 1: return 0x7F;
    case 2: return 0x7FFF;
    case 4: return kMaxFrameLength - 1;
    default: return 0;
    }
}

// True when a frame of frameLength bytes (length field included) is no
// longer than the given length field carries.
inline bool FrameFitsLengthField(uint32_t frameLength, uint8_t lengthFieldSize)
{
    return frameLength <= MaxFrameLength(lengthFieldSize);
}

} // namespace QORAPI

#endif
