#include "auth/AuthSession.h"

#include "QORSocket/MsgFrame.h"
#include "common/Endian.h"
#include "common/ReadBuffer.h"
#include "common/WriteBuffer.h"
#include "platform/Tick.h"

#include <algorithm>
#include <vector>

namespace QORAPI {

namespace {

// Received header types that carry an encrypted message, and the header type
// put back in front of the plain text (0: none, the plain text has its own).
bool EncryptedForm(uint8_t headerType, uint8_t& innerHeaderType)
{
    switch (headerType)
    {
    case 12:
    case 2: innerHeaderType = 0; return true;
    case 4: innerHeaderType = 3; return true;
    case 6: innerHeaderType = 5; return true;
    case 8: innerHeaderType = 7; return true;
    default: return false;
    }
}

} // namespace

AuthSession::AuthSession(int32_t authType, uint16_t sessionId, const Blowfish& key, uint8_t lengthFieldSize)
    : mAuthType(authType),
      mLengthFieldSize(lengthFieldSize),
      mSessionId(sessionId),
      mIncomingSequence(0),
      mOutgoingSequence(0),
      mKey(key),
      mLastUseTime(GetTimeSeconds())
{
}

AuthSession::~AuthSession() = default;

WSStatus AuthSession::Encrypt(SmartPtr<ByteBuffer>& message)
{
    mLastUseTime = GetTimeSeconds();
    if (!IsEncrypting())
        return WS_Success;

    const uint32_t length = ByteBuffer::LengthOf(message);
    const uint64_t maxFrame = MaxFrameLength(mLengthFieldSize);
    if (maxFrame == 0 || length < mLengthFieldSize)
        return WS_AuthSession_EncryptFailure;

    const bool sequenced = mAuthType == AuthType_Session;
    const uint32_t payloadLength = length - mLengthFieldSize;
    const uint64_t plainLength = uint64_t(payloadLength) + (sequenced ? 2 : 0);
    // Cipher framing: 4-byte length, the data, 1 to 8 bytes of zero padding.
    const uint64_t cipherLength = ((plainLength + 4) / 8 + 1) * 8;
    const uint64_t frameLength = mLengthFieldSize + 1 + (sequenced ? 2 : 0) + cipherLength;
    if (frameLength > maxFrame)
        return WS_AuthSession_EncryptFailure;

    const uint8_t* payload = ByteBuffer::DataOf(message) + mLengthFieldSize;
    SmartPtr<ByteBuffer> cipher;
    if (sequenced)
    {
        const uint16_t sequence = static_cast<uint16_t>(mOutgoingSequence + 1);
        std::vector<uint8_t> plain(static_cast<size_t>(plainLength));
        StoreLE16(plain.data(), sequence);
        if (payloadLength)
            std::copy(payload, payload + payloadLength, plain.begin() + 2);
        cipher = mKey.encrypt(plain.data(), static_cast<uint32_t>(plain.size()));
        // A number is used up only by a message that actually goes out, so a
        // refused message does not put the peer's counter out of step.
        if (cipher)
            mOutgoingSequence = sequence;
    }
    else
    {
        cipher = mKey.encrypt(payload, payloadLength);
    }
    if (!cipher || cipher->GetLength() != cipherLength)
        return WS_AuthSession_EncryptFailure;

    WriteBuffer out(mLengthFieldSize, true);
    out.Reserve(static_cast<uint32_t>(frameLength));
    out.AppendByte(kEncryptedHeaderType);
    if (sequenced)
        out.AppendShort(mSessionId);
    out.AppendBytes(cipher->GetData(), cipher->GetLength());
    message = out.ToByteBuffer(true);
    return WS_Success;
}

WSStatus AuthSession::Decrypt(SmartPtr<ByteBuffer>& message)
{
    mLastUseTime = GetTimeSeconds();
    if (!IsEncrypting())
        return WS_Success;

    const bool sequenced = mAuthType == AuthType_Session;
    ReadBuffer reader(message);
    SmartPtr<ByteBuffer> plain;
    uint8_t innerHeaderType = 0;
    try
    {
        if (!EncryptedForm(reader.ReadByte(), innerHeaderType))
            return WS_Success;
        if (sequenced && reader.ReadShort() != mSessionId)
            return WS_AuthSession_DecryptSessionIdMismatch;
        const uint32_t remaining = reader.Remaining();
        plain = mKey.decrypt(reader.ReadBytes(remaining), remaining);
    }
    catch (const ReadBufferException&)
    {
        return WS_AuthSession_DecryptUnpackFailure;
    }
    if (!plain)
        return WS_AuthSession_DecryptFailure;

    const uint8_t* text = plain->GetData();
    uint32_t textLength = plain->GetLength();
    if (sequenced)
    {
        if (textLength < 2)
            return WS_AuthSession_DecryptBadLen;
        // The expected number moves on even when the check fails.
        ++mIncomingSequence;
        if (LoadLE16(text) != mIncomingSequence)
            return WS_AuthSession_DecryptInvalidSequenceNum;
        text += 2;
        textLength -= 2;
    }

    WriteBuffer out(0);
    out.Reserve(textLength + 1);
    if (innerHeaderType)
        out.AppendByte(innerHeaderType);
    if (textLength)
        out.AppendBytes(text, textLength);
    message = out.ToByteBuffer(true);
    return WS_Success;
}

} // namespace QORAPI
