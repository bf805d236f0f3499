// Authenticated sessions: the encrypted message layout, sequence numbers with
// wrap-around, the receive table of header types, and what the framing refuses.

#include "QORSocket/AsyncSocket.h"
#include "auth/AuthSession.h"
#include "auth/CryptTransform.h"
#include "common/Endian.h"
#include "common/WriteBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace QORAPI;

namespace {

const uint8_t kKey[8] = {1, 2, 3, 4, 5, 6, 7, 8};

Blowfish Key()
{
    return Blowfish(kKey, sizeof(kKey));
}

// A frame: length field of the given width (counting itself), then the message.
SmartPtr<ByteBuffer> Frame(const std::string& message, uint8_t lengthFieldSize = 4)
{
    WriteBuffer out(lengthFieldSize, true);
    out.AppendBytes(message.data(), static_cast<uint32_t>(message.size()));
    return out.ToByteBuffer(true);
}

// The received form: the frame without its length field.
SmartPtr<ByteBuffer> Strip(const SmartPtr<ByteBuffer>& frame, uint8_t lengthFieldSize = 4)
{
    return new ByteBuffer(frame->GetData() + lengthFieldSize, frame->GetLength() - lengthFieldSize);
}

std::string Str(const SmartPtr<ByteBuffer>& b)
{
    return b ? b->ToString() : std::string();
}

struct SessionPair
{
    SessionPair(int32_t type, uint16_t id = 0x1234, uint8_t lengthFieldSize = 4)
        : sender(new AuthSession(type, id, Key(), lengthFieldSize)),
          receiver(new AuthSession(type, id, Key(), lengthFieldSize)),
          lfs(lengthFieldSize)
    {
    }

    // Encrypt on one side, decrypt on the other; returns the decrypt status.
    WSStatus Carry(const std::string& message, std::string* out = nullptr)
    {
        SmartPtr<ByteBuffer> m = Frame(message, lfs);
        EXPECT_EQ(sender->Encrypt(m), WS_Success);
        SmartPtr<ByteBuffer> r = Strip(m, lfs);
        const WSStatus s = receiver->Decrypt(r);
        if (out)
            *out = Str(r);
        return s;
    }

    AuthSessionPtr sender;
    AuthSessionPtr receiver;
    uint8_t lfs;
};

TEST(AuthSession, TypesZeroAndThreeLeaveMessagesUnchanged)
{
    for (int32_t type : {0, 3})
    {
        const AuthSessionPtr session = new AuthSession(type, 7, Key(), 4);
        SmartPtr<ByteBuffer> m = Frame("\x05hello");
        const ByteBuffer* before = m.Get();
        EXPECT_EQ(session->Encrypt(m), WS_Success);
        EXPECT_EQ(m.Get(), before);
        SmartPtr<ByteBuffer> r = new ByteBuffer("\x0c\x01\x02", 3);
        const ByteBuffer* rBefore = r.Get();
        EXPECT_EQ(session->Decrypt(r), WS_Success);
        EXPECT_EQ(r.Get(), rBefore);
        EXPECT_EQ(session->GetOutgoingSequence(), 0);
        EXPECT_GT(session->GetLastUseTime(), 0u);
    }
}

TEST(AuthSession, TypeOneLayoutAndRoundTrip)
{
    SessionPair pair(1, 0xBEEF);
    SmartPtr<ByteBuffer> m = Frame("\x05request");
    ASSERT_EQ(pair.sender->Encrypt(m), WS_Success);
    ASSERT_GE(m->GetLength(), 7u + 8u);
    EXPECT_EQ(LoadLE32(m->GetData()), m->GetLength());
    EXPECT_EQ(m->GetData()[4], 12);
    EXPECT_EQ(LoadLE16(m->GetData() + 5), 0xBEEF);
    EXPECT_EQ((m->GetLength() - 7) % 8, 0u);

    // The ciphertext is the cipher framing of sequence number 1 and the message.
    Blowfish bare = Key();
    const SmartPtr<ByteBuffer> plain = bare.decrypt(m->GetData() + 7, m->GetLength() - 7);
    ASSERT_TRUE(plain);
    EXPECT_EQ(Str(plain), std::string("\x01\x00\x05request", 10));
    EXPECT_EQ(pair.sender->GetOutgoingSequence(), 1);

    SmartPtr<ByteBuffer> r = Strip(m);
    ASSERT_EQ(pair.receiver->Decrypt(r), WS_Success);
    EXPECT_EQ(Str(r), "\x05request");
    EXPECT_EQ(pair.receiver->GetIncomingSequence(), 1);

    // An empty message travels too.
    std::string out = "x";
    EXPECT_EQ(pair.Carry("", &out), WS_Success);
    EXPECT_EQ(out, "");
}

TEST(AuthSession, TypeTwoHasNoIdentifierOrSequence)
{
    SmartPtr<ByteBuffer> m = Frame("\x05payload", 2);
    const AuthSessionPtr sender = new AuthSession(2, 1, Key(), 2);
    ASSERT_EQ(sender->Encrypt(m), WS_Success);
    EXPECT_EQ(LoadLE16(m->GetData()), m->GetLength());
    EXPECT_EQ(m->GetData()[2], 12);
    EXPECT_EQ((m->GetLength() - 3) % 8, 0u);
    Blowfish bare = Key();
    EXPECT_EQ(Str(bare.decrypt(m->GetData() + 3, m->GetLength() - 3)), "\x05payload");

    // Without sequence numbers, a replay decrypts again.
    SmartPtr<ByteBuffer> r1 = Strip(m, 2);
    SmartPtr<ByteBuffer> r2 = Strip(m, 2);
    const AuthSessionPtr receiver = new AuthSession(2, 99, Key(), 2);
    EXPECT_EQ(receiver->Decrypt(r1), WS_Success);
    EXPECT_EQ(receiver->Decrypt(r2), WS_Success);
    EXPECT_EQ(Str(r2), "\x05payload");

    // The header type byte alone fails in decryption.
    SmartPtr<ByteBuffer> lone = new ByteBuffer("\x0c", 1);
    EXPECT_EQ(receiver->Decrypt(lone), WS_AuthSession_DecryptFailure);
    EXPECT_EQ(Str(lone), "\x0c");
}

TEST(AuthSession, SequenceNumbersStartAtOneAndWrap)
{
    const AuthSessionPtr sender = new AuthSession(1, 5, Key(), 2);
    Blowfish bare = Key();
    auto sequenceOf = [&](const SmartPtr<ByteBuffer>& m) {
        const SmartPtr<ByteBuffer> plain = bare.decrypt(m->GetData() + 5, m->GetLength() - 5);
        return plain ? LoadLE16(plain->GetData()) : 0xFFFFFFFFu;
    };
    SmartPtr<ByteBuffer> m = Frame("\x03\x01\x07", 2);
    ASSERT_EQ(sender->Encrypt(m), WS_Success);
    EXPECT_EQ(sequenceOf(m), 1u);
    for (uint32_t i = 2; i <= 65535; ++i)
    {
        m = Frame("\x03\x01\x07", 2);
        ASSERT_EQ(sender->Encrypt(m), WS_Success);
    }
    EXPECT_EQ(sequenceOf(m), 65535u);
    m = Frame("\x05wrapped", 2);
    ASSERT_EQ(sender->Encrypt(m), WS_Success);
    EXPECT_EQ(sender->GetOutgoingSequence(), 0);
    EXPECT_EQ(sequenceOf(m), 0u);
}

TEST(AuthSession, ReceiverFollowsAcrossTheWrap)
{
    SessionPair pair(1);
    for (uint32_t i = 1; i <= 65537; ++i)
    {
        std::string out;
        ASSERT_EQ(pair.Carry("\x05m", &out), WS_Success) << i;
        ASSERT_EQ(out, "\x05m");
    }
    EXPECT_EQ(pair.receiver->GetIncomingSequence(), 1);
}

TEST(AuthSession, ReplayAndReorderAreRefused)
{
    SessionPair pair(1);
    SmartPtr<ByteBuffer> m1 = Frame("\x05one");
    SmartPtr<ByteBuffer> m2 = Frame("\x05two");
    ASSERT_EQ(pair.sender->Encrypt(m1), WS_Success);
    ASSERT_EQ(pair.sender->Encrypt(m2), WS_Success);

    SmartPtr<ByteBuffer> r = Strip(m1);
    ASSERT_EQ(pair.receiver->Decrypt(r), WS_Success);

    // Replay of the first: refused, and the expected number has moved on, so
    // the next genuine message is refused as well.
    SmartPtr<ByteBuffer> replay = Strip(m1);
    const ByteBuffer* replayBefore = replay.Get();
    EXPECT_EQ(pair.receiver->Decrypt(replay), WS_AuthSession_DecryptInvalidSequenceNum);
    EXPECT_EQ(replay.Get(), replayBefore);
    SmartPtr<ByteBuffer> genuine = Strip(m2);
    EXPECT_EQ(pair.receiver->Decrypt(genuine), WS_AuthSession_DecryptInvalidSequenceNum);

    // Reordering on a fresh receiver: the second message first is refused.
    const AuthSessionPtr fresh = new AuthSession(1, 0x1234, Key(), 4);
    SmartPtr<ByteBuffer> early = Strip(m2);
    EXPECT_EQ(fresh->Decrypt(early), WS_AuthSession_DecryptInvalidSequenceNum);
    EXPECT_EQ(fresh->GetIncomingSequence(), 1);
}

TEST(AuthSession, WrongSessionIdIsRefusedBeforeDecryption)
{
    SessionPair pair(1, 0x1111);
    SmartPtr<ByteBuffer> m = Frame("\x05x");
    ASSERT_EQ(pair.sender->Encrypt(m), WS_Success);
    const AuthSessionPtr other = new AuthSession(1, 0x2222, Key(), 4);
    SmartPtr<ByteBuffer> r = Strip(m);
    EXPECT_EQ(other->Decrypt(r), WS_AuthSession_DecryptSessionIdMismatch);
    EXPECT_EQ(other->GetIncomingSequence(), 0);
    // Even a body that is not a ciphertext at all gets the identifier status.
    SmartPtr<ByteBuffer> junk = new ByteBuffer("\x0c\x11\x11\x01", 4);
    EXPECT_EQ(other->Decrypt(junk), WS_AuthSession_DecryptSessionIdMismatch);
}

TEST(AuthSession, TruncatedAndShortMessages)
{
    SessionPair pair(1);
    SmartPtr<ByteBuffer> m = Frame("\x05" + std::string(40, 'd'));
    ASSERT_EQ(pair.sender->Encrypt(m), WS_Success);
    const SmartPtr<ByteBuffer> whole = Strip(m);
    for (uint32_t len = 0; len < whole->GetLength(); ++len)
    {
        SmartPtr<ByteBuffer> cut = new ByteBuffer(whole->GetData(), len);
        const ByteBuffer* before = cut.Get();
        const WSStatus s = pair.receiver->Decrypt(cut);
        EXPECT_EQ(s, len < 3 ? WS_AuthSession_DecryptUnpackFailure : WS_AuthSession_DecryptFailure) << len;
        EXPECT_EQ(cut.Get(), before);
    }
    // Nothing was accepted, so the whole message still comes through.
    SmartPtr<ByteBuffer> r = whole;
    EXPECT_EQ(pair.receiver->Decrypt(r), WS_Success);

    // A plain text shorter than the sequence number.
    Blowfish bare = Key();
    const SmartPtr<ByteBuffer> tiny = bare.encrypt("\x01", 1);
    WriteBuffer w(0);
    w.AppendByte(12);
    w.AppendShort(0x1234);
    w.AppendBytes(tiny->GetData(), tiny->GetLength());
    SmartPtr<ByteBuffer> shortMsg = w.ToByteBuffer(true);
    EXPECT_EQ(pair.receiver->Decrypt(shortMsg), WS_AuthSession_DecryptBadLen);

    // An empty message.
    SmartPtr<ByteBuffer> empty;
    EXPECT_EQ(pair.receiver->Decrypt(empty), WS_AuthSession_DecryptUnpackFailure);
}

TEST(AuthSession, ReceiveTableOfHeaderTypes)
{
    Blowfish bare = Key();
    const SmartPtr<ByteBuffer> cipher = bare.encrypt("body", 4);
    auto message = [&](uint8_t headerType) {
        WriteBuffer w(0);
        w.AppendByte(headerType);
        w.AppendBytes(cipher->GetData(), cipher->GetLength());
        return w.ToByteBuffer(true);
    };
    const AuthSessionPtr session = new AuthSession(2, 0, Key(), 4);
    const std::pair<uint8_t, std::string> table[] = {
        {12, "body"}, {2, "body"}, {4, std::string("\x03") + "body"},
        {6, std::string("\x05") + "body"}, {8, std::string("\x07") + "body"}};
    for (const auto& row : table)
    {
        SmartPtr<ByteBuffer> m = message(row.first);
        EXPECT_EQ(session->Decrypt(m), WS_Success) << int(row.first);
        EXPECT_EQ(Str(m), row.second) << int(row.first);
    }
    // Other header types are not encrypted and pass unchanged, even on an
    // encrypting connection.
    for (uint8_t type : {0, 1, 3, 5, 7, 9, 11, 13, 255})
    {
        const uint8_t raw[3] = {type, 1, 7};
        SmartPtr<ByteBuffer> m = new ByteBuffer(raw, 3);
        const ByteBuffer* before = m.Get();
        EXPECT_EQ(session->Decrypt(m), WS_Success);
        EXPECT_EQ(m.Get(), before);
    }
}

TEST(AuthSession, FrameLimitsOfTheLengthField)
{
    // The receiving framing takes 1-byte frames up to 127 bytes: after 4 bytes
    // of length, header type and identifier, 120 bytes of ciphertext hold at
    // most 115 bytes of plain text: the sequence number and 113 of message.
    SessionPair pair(1, 9, 1);
    std::string out;
    EXPECT_EQ(pair.Carry(std::string(113, 'a'), &out), WS_Success);
    EXPECT_EQ(out, std::string(113, 'a'));

    SmartPtr<ByteBuffer> big = Frame(std::string(114, 'b'), 1);
    const ByteBuffer* before = big.Get();
    EXPECT_EQ(pair.sender->Encrypt(big), WS_AuthSession_EncryptFailure);
    EXPECT_EQ(big.Get(), before);
    // The refused message used no sequence number: the next one is accepted.
    EXPECT_EQ(pair.sender->GetOutgoingSequence(), 1);
    EXPECT_EQ(pair.Carry("ok", &out), WS_Success);
    EXPECT_EQ(out, "ok");

    // A message shorter than its length field, and an unusable field width.
    SmartPtr<ByteBuffer> stub = new ByteBuffer("\x01", 1);
    const AuthSessionPtr wide = new AuthSession(1, 1, Key(), 2);
    EXPECT_EQ(wide->Encrypt(stub), WS_AuthSession_EncryptFailure);
    const AuthSessionPtr odd = new AuthSession(2, 1, Key(), 3);
    SmartPtr<ByteBuffer> m = Frame("abc", 4);
    EXPECT_EQ(odd->Encrypt(m), WS_AuthSession_EncryptFailure);

    // With a 4-byte field, messages above 64 KiB are encrypted whole while
    // the frame stays below 256,000 bytes; 2-byte frames end at 32,767.
    SessionPair four(1, 9, 4);
    const std::string large(200000, 'L');
    EXPECT_EQ(four.Carry(large, &out), WS_Success);
    EXPECT_EQ(out, large);
    EXPECT_EQ(four.Carry(std::string(255980, 'x'), &out), WS_Success);   // a 255,999-byte frame
    SmartPtr<ByteBuffer> tooLarge = Frame(std::string(255990, 'x'), 4);
    EXPECT_EQ(four.sender->Encrypt(tooLarge), WS_AuthSession_EncryptFailure);
    SessionPair two(1, 9, 2);
    EXPECT_EQ(two.Carry(std::string(32740, 'y'), &out), WS_Success);
    tooLarge = Frame(std::string(32760, 'x'), 2);
    EXPECT_EQ(two.sender->Encrypt(tooLarge), WS_AuthSession_EncryptFailure);
}

TEST(AuthSession, NoKeyFailsBothWays)
{
    const AuthSessionPtr session = new AuthSession(1, 1, Blowfish(), 4);
    SmartPtr<ByteBuffer> m = Frame("\x05x");
    const ByteBuffer* before = m.Get();
    EXPECT_EQ(session->Encrypt(m), WS_AuthSession_EncryptFailure);
    EXPECT_EQ(m.Get(), before);
    EXPECT_EQ(session->GetOutgoingSequence(), 0);
    SmartPtr<ByteBuffer> r = new ByteBuffer("\x0c\x01\x00\x01\x02\x03\x04\x05\x06\x07\x08", 11);
    EXPECT_EQ(session->Decrypt(r), WS_AuthSession_DecryptFailure);
}

// The cipher framing carries no integrity check: it refuses bad lengths,
// identifiers and sequence numbers, but a change beyond the first cipher
// block comes through as altered data.
TEST(AuthSession, WhatTheFramingDetects)
{
    SessionPair pair(1);
    SmartPtr<ByteBuffer> m = Frame("\x05" + std::string(30, 'p'));
    ASSERT_EQ(pair.sender->Encrypt(m), WS_Success);
    const SmartPtr<ByteBuffer> whole = Strip(m);
    std::vector<uint8_t> bytes(whole->GetData(), whole->GetData() + whole->GetLength());

    // A change in the first block garbles the length field: refused.
    std::vector<uint8_t> first = bytes;
    first[3] ^= 0x01;
    SmartPtr<ByteBuffer> r = new ByteBuffer(first.data(), static_cast<uint32_t>(first.size()));
    const AuthSessionPtr probe = new AuthSession(1, 0x1234, Key(), 4);
    EXPECT_NE(probe->Decrypt(r), WS_Success);

    // A change in the last block alters the data and is not noticed.
    std::vector<uint8_t> last = bytes;
    last[last.size() - 9] ^= 0x01;
    SmartPtr<ByteBuffer> t = new ByteBuffer(last.data(), static_cast<uint32_t>(last.size()));
    const AuthSessionPtr victim = new AuthSession(1, 0x1234, Key(), 4);
    EXPECT_EQ(victim->Decrypt(t), WS_Success);
    EXPECT_NE(Str(t), "\x05" + std::string(30, 'p'));
}

// Transforms on a socket: the crypt transform encrypts outgoing frames and
// decrypts incoming messages, and stacks unwind in reverse order.
class TagTransform : public MsgTransform
{
public:
    explicit TagTransform(char tag) : mTag(tag) {}
    WSStatus SendTransform(SmartPtr<ByteBuffer>& message) override
    {
        const std::string s = Str(message) + mTag;
        message = new ByteBuffer(s.data(), static_cast<uint32_t>(s.size()));
        return WS_Success;
    }
    WSStatus RecvTransform(SmartPtr<ByteBuffer>& message) override
    {
        const std::string s = Str(message);
        if (s.empty() || s.back() != mTag)
            return WS_AuthSession_DecryptFailure;
        message = new ByteBuffer(s.data(), static_cast<uint32_t>(s.size() - 1));
        return WS_Success;
    }

private:
    char mTag;
};

TEST(CryptTransform, OnSocketsAndInStacks)
{
    const AuthSessionPtr sendSession = new AuthSession(1, 3, Key(), 4);
    const AuthSessionPtr recvSession = new AuthSession(1, 3, Key(), 4);
    const AsyncSocketPtr out = new AsyncSocket();
    const AsyncSocketPtr in = new AsyncSocket();
    out->AddTransform(new CryptTransform(sendSession));
    in->AddTransform(new CryptTransform(recvSession));

    SmartPtr<ByteBuffer> m = Frame("\x05hello");
    ASSERT_EQ(out->ApplySendTransforms(m), WS_Success);
    EXPECT_EQ(m->GetData()[4], 12);
    SmartPtr<ByteBuffer> r = Strip(m);
    ASSERT_EQ(in->ApplyRecvTransforms(r), WS_Success);
    EXPECT_EQ(Str(r), "\x05hello");

    // A tag added after the encryption is removed before the decryption.
    out->AddTransform(new TagTransform('#'));
    in->AddTransform(new TagTransform('#'));
    m = Frame("\x05stacked");
    ASSERT_EQ(out->ApplySendTransforms(m), WS_Success);
    EXPECT_EQ(m->GetData()[m->GetLength() - 1], '#');
    r = Strip(m);
    ASSERT_EQ(in->ApplyRecvTransforms(r), WS_Success);
    EXPECT_EQ(Str(r), "\x05stacked");

    // A failing decryption stops the chain with its status.
    SmartPtr<ByteBuffer> bad = new ByteBuffer("\x0c\x03\x00\x01#", 5);
    EXPECT_EQ(in->ApplyRecvTransforms(bad), WS_AuthSession_DecryptFailure);

    // A transform without a session passes messages through.
    CryptTransform none(nullptr);
    SmartPtr<ByteBuffer> plain = Frame("x");
    const ByteBuffer* before = plain.Get();
    EXPECT_EQ(none.SendTransform(plain), WS_Success);
    EXPECT_EQ(none.RecvTransform(plain), WS_Success);
    EXPECT_EQ(plain.Get(), before);
}

} // namespace
