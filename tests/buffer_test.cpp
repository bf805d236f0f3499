#include "common/ByteBuffer.h"
#include "common/Endian.h"
#include "common/ReadBuffer.h"
#include "common/RefCount.h"
#include "common/WriteBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace QORAPI;

namespace {

std::vector<uint8_t> Bytes(const SmartPtr<ByteBuffer>& b)
{
    const uint8_t* p = ByteBuffer::DataOf(b);
    return std::vector<uint8_t>(p, p + ByteBuffer::LengthOf(b));
}

std::vector<uint8_t> Bytes(const WriteBuffer& wb)
{
    return std::vector<uint8_t>(wb.GetData(), wb.GetData() + wb.GetLength());
}

// Counts live instances so that tests see exactly when an object is deleted.
class Tracked : public RefCount
{
public:
    explicit Tracked(int* live) : mLive(live) { ++*mLive; }
    ~Tracked() override { --*mLive; }

private:
    int* mLive;
};

class TrackedChild : public Tracked
{
public:
    using Tracked::Tracked;
};

} // namespace

// ---- RefCount and SmartPtr ------------------------------------------------

TEST(SmartPtr, CountsAndDeletesAtZero)
{
    int live = 0;
    Tracked* raw = new Tracked(&live);
    EXPECT_EQ(raw->GetRefCount(), 0);
    {
        SmartPtr<Tracked> a(raw);
        EXPECT_EQ(raw->GetRefCount(), 1);
        SmartPtr<Tracked> b = a;
        EXPECT_EQ(raw->GetRefCount(), 2);
        EXPECT_TRUE(a == b);
        EXPECT_TRUE(a == raw);
        EXPECT_EQ(a.Get(), raw);
        EXPECT_EQ(&*a, raw);
    }
    EXPECT_EQ(live, 0);
    // Release returns the decremented count.
    raw = new Tracked(&live);
    raw->AddRef();
    raw->AddRef();
    EXPECT_EQ(raw->Release(), 1);
    EXPECT_EQ(live, 1);
    EXPECT_EQ(raw->Release(), 0);
    EXPECT_EQ(live, 0);
}

TEST(SmartPtr, AssignmentSemantics)
{
    int live = 0;
    Tracked* x = new Tracked(&live);
    Tracked* y = new Tracked(&live);
    SmartPtr<Tracked> p(x);
    SmartPtr<Tracked> keepY(y);

    // Assigning the pointer it already holds changes nothing.
    p = x;
    EXPECT_EQ(x->GetRefCount(), 1);
    p = p;
    EXPECT_EQ(x->GetRefCount(), 1);

    // Assigning another object: one reference to the new, none to the old.
    p = y;
    EXPECT_EQ(live, 1);
    EXPECT_EQ(y->GetRefCount(), 2);

    SmartPtr<Tracked> q;
    q = keepY;
    EXPECT_EQ(y->GetRefCount(), 3);

    // Assigning null releases.
    p = nullptr;
    EXPECT_TRUE(p == nullptr);
    EXPECT_FALSE(p);
    EXPECT_EQ(y->GetRefCount(), 2);
    q.Reset();
    keepY = static_cast<Tracked*>(nullptr);
    EXPECT_EQ(live, 0);
}

TEST(SmartPtr, MoveTransfersTheReference)
{
    int live = 0;
    SmartPtr<Tracked> a(new Tracked(&live));
    SmartPtr<Tracked> b(std::move(a));
    EXPECT_TRUE(a == nullptr);
    EXPECT_EQ(b->GetRefCount(), 1);
    SmartPtr<Tracked> c(new Tracked(&live));
    c = std::move(b);
    EXPECT_EQ(live, 1);
    EXPECT_EQ(c->GetRefCount(), 1);
}

TEST(SmartPtr, SelfAssignmentThroughOwnedChainKeepsObjectAlive)
{
    // Assigning a pointer whose only holder is the object being replaced.
    struct Node : RefCount
    {
        SmartPtr<Node> mNext;
    };
    SmartPtr<Node> head(new Node);
    head->mNext = new Node;
    head = head->mNext;   // the old head (and its reference) goes; the new one survives
    ASSERT_TRUE(head);
    EXPECT_EQ(head->GetRefCount(), 1);
}

TEST(SmartPtr, CastsShareTheObject)
{
    int live = 0;
    SmartPtr<TrackedChild> child(new TrackedChild(&live));
    SmartPtr<Tracked> base = child;
    EXPECT_EQ(child->GetRefCount(), 2);
    SmartPtr<Tracked> base2;
    base2 = child;
    EXPECT_EQ(child->GetRefCount(), 3);
    SmartPtr<TrackedChild> back = DynamicPtrCast<TrackedChild>(base);
    EXPECT_EQ(back.Get(), child.Get());
    SmartPtr<TrackedChild> back2 = StaticPtrCast<TrackedChild>(base);
    EXPECT_EQ(child->GetRefCount(), 5);

    int other = 0;
    SmartPtr<Tracked> plain(new Tracked(&other));
    EXPECT_TRUE(DynamicPtrCast<TrackedChild>(plain) == nullptr);
}

// ---- ByteBuffer ---------------------------------------------------------------

TEST(ByteBuffer, CopyAdoptAndText)
{
    const uint8_t src[] = {1, 2, 3};
    SmartPtr<ByteBuffer> copy(new ByteBuffer(src, 3));
    EXPECT_NE(copy->GetData(), src);
    EXPECT_EQ(Bytes(copy), std::vector<uint8_t>({1, 2, 3}));

    uint8_t* block = ByteBuffer::AllocBlock(2);
    block[0] = 9;
    block[1] = 8;
    SmartPtr<ByteBuffer> adopted(new ByteBuffer(block, 2, true));
    EXPECT_EQ(adopted->GetData(), block);

    SmartPtr<ByteBuffer> text(new ByteBuffer("abc"));
    ASSERT_EQ(text->GetLength(), 4u);
    EXPECT_EQ(text->GetData()[3], 0);
    EXPECT_EQ(std::memcmp(text->GetData(), "abc", 3), 0);

    SmartPtr<ByteBuffer> nullText(new ByteBuffer(static_cast<const char*>(nullptr)));
    EXPECT_EQ(nullText->GetLength(), 0u);
    SmartPtr<ByteBuffer> emptyText(new ByteBuffer(""));
    EXPECT_EQ(emptyText->GetLength(), 1u);
}

TEST(ByteBuffer, EmptyAndNullSources)
{
    SmartPtr<ByteBuffer> empty(new ByteBuffer("", 0));
    EXPECT_EQ(empty->GetLength(), 0u);
    EXPECT_EQ(empty->GetData(), nullptr);
    // A null source never yields a length over no bytes.
    SmartPtr<ByteBuffer> fromNull(new ByteBuffer(nullptr, 10));
    EXPECT_EQ(fromNull->GetLength(), 0u);
    SmartPtr<ByteBuffer> adoptNull(new ByteBuffer(nullptr, 10, true));
    EXPECT_EQ(adoptNull->GetLength(), 0u);
}

TEST(ByteBuffer, NullPointerReadsAsEmpty)
{
    SmartPtr<ByteBuffer> none;
    EXPECT_EQ(ByteBuffer::LengthOf(none), 0u);
    EXPECT_EQ(ByteBuffer::DataOf(none), nullptr);
    EXPECT_EQ(ByteBuffer::LengthOf(static_cast<const ByteBuffer*>(nullptr)), 0u);
    SmartPtr<ByteBuffer> empty(new ByteBuffer(nullptr, 0));
    EXPECT_TRUE(ByteBuffer::Equal(none.Get(), empty.Get()));
    SmartPtr<ByteBuffer> a(new ByteBuffer("x"));
    SmartPtr<ByteBuffer> b(new ByteBuffer("y"));
    EXPECT_FALSE(ByteBuffer::Equal(a.Get(), b.Get()));
    EXPECT_FALSE(ByteBuffer::Equal(a.Get(), none.Get()));
}

// ---- WriteBuffer -------------------------------------------------------------

TEST(WriteBuffer, LengthFieldOfEachWidth)
{
    struct Case
    {
        uint8_t width;
        bool include;
        std::vector<uint8_t> expected;
    };
    const Case cases[] = {
        {1, true, {3, 'x', 'y'}},
        {1, false, {2, 'x', 'y'}},
        {2, true, {4, 0, 'x', 'y'}},
        {2, false, {2, 0, 'x', 'y'}},
        {4, true, {6, 0, 0, 0, 'x', 'y'}},
        {4, false, {2, 0, 0, 0, 'x', 'y'}},
        {0, true, {'x', 'y'}},
        // A width other than 1, 2 or 4 reserves its bytes but writes no field.
        {3, true, {0, 0, 0, 'x', 'y'}},
    };
    for (const Case& c : cases)
    {
        WriteBuffer wb(c.width, c.include);
        EXPECT_EQ(wb.GetLength(), c.width);
        wb.AppendBytes("xy", 2);
        EXPECT_EQ(Bytes(wb.ToByteBuffer(true)), c.expected) << int(c.width) << " " << c.include;
    }
}

TEST(WriteBuffer, OneByteFieldKeepsTheLowByte)
{
    WriteBuffer wb(1, true);
    std::string big(299, 'z');
    wb.AppendString(big, 0);
    SmartPtr<ByteBuffer> out = wb.ToByteBuffer(true);
    ASSERT_EQ(out->GetLength(), 300u);
    EXPECT_EQ(out->GetData()[0], 300 & 0xFF);
}

TEST(WriteBuffer, EmptyMessageWithoutLengthField)
{
    WriteBuffer wb;
    EXPECT_EQ(wb.GetData(), nullptr);
    SmartPtr<ByteBuffer> out = wb.ToByteBuffer(true);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->GetLength(), 0u);
    SmartPtr<ByteBuffer> copy = wb.ToByteBuffer(false);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->GetLength(), 0u);
}

TEST(WriteBuffer, GrowthIs32Then64Then128)
{
    WriteBuffer wb;
    EXPECT_EQ(wb.GetCapacity(), 0u);
    wb.AppendByte(1);
    EXPECT_EQ(wb.GetCapacity(), 32u);
    for (int i = 1; i < 32; ++i)
        wb.AppendByte(static_cast<uint8_t>(i));
    EXPECT_EQ(wb.GetCapacity(), 32u);
    wb.AppendByte(32);
    EXPECT_EQ(wb.GetCapacity(), 64u);
    std::vector<uint8_t> fill(64 - 33, 7);
    wb.AppendBytes(fill.data(), static_cast<uint32_t>(fill.size()));
    EXPECT_EQ(wb.GetLength(), 64u);
    EXPECT_EQ(wb.GetCapacity(), 64u);
    wb.AppendShort(1);
    EXPECT_EQ(wb.GetCapacity(), 128u);
    // One append far beyond doubles until it fits.
    std::vector<uint8_t> big(600, 1);
    wb.AppendBytes(big.data(), 600);
    EXPECT_EQ(wb.GetCapacity(), 1024u);
    // The bytes written before each growth are kept.
    EXPECT_EQ(wb.GetData()[0], 1);
    EXPECT_EQ(wb.GetData()[31], 31);
    EXPECT_EQ(wb.GetData()[32], 32);
    // A length field takes its bytes from the first block.
    WriteBuffer withField(2, true);
    EXPECT_EQ(withField.GetCapacity(), 32u);
}

TEST(WriteBuffer, ReserveAndSetLengthAreExact)
{
    WriteBuffer wb;
    wb.AppendBytes("hello", 5);
    wb.Reserve(10);
    EXPECT_EQ(wb.GetCapacity(), 32u);  // never shrinks
    wb.Reserve(100);
    EXPECT_EQ(wb.GetCapacity(), 100u);
    EXPECT_EQ(std::memcmp(wb.GetData(), "hello", 5), 0);
    wb.SetLength(150);
    EXPECT_EQ(wb.GetCapacity(), 150u);
    EXPECT_EQ(wb.GetLength(), 150u);
    wb.SetLength(3);
    EXPECT_EQ(wb.GetLength(), 3u);
    EXPECT_EQ(wb.GetCapacity(), 150u);
}

TEST(WriteBuffer, IntegersAreLittleEndian)
{
    WriteBuffer wb;
    wb.AppendShort(0x1234);
    wb.AppendLong(0x89ABCDEFu);
    wb.AppendByte(0xFE);
    wb.AppendBool(true);
    wb.AppendBool(false);
    EXPECT_EQ(Bytes(wb), std::vector<uint8_t>({0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0xFE, 1, 0}));
}

TEST(WriteBuffer, AppendLengthOfEachWidth)
{
    WriteBuffer wb;
    wb.AppendLength(0x01020304u, 1);
    wb.AppendLength(0x01020304u, 2);
    wb.AppendLength(0x01020304u, 4);
    wb.AppendLength(0x01020304u, 0);
    wb.AppendLength(0x01020304u, 3);
    EXPECT_EQ(Bytes(wb), std::vector<uint8_t>({0x04, 0x04, 0x03, 0x04, 0x03, 0x02, 0x01}));
}

TEST(WriteBuffer, StringsWideStringsAndBlocks)
{
    WriteBuffer wb;
    wb.AppendString("ab", 1);
    wb.AppendString("", 2);
    wb.AppendWString(u"h\u00e9", 2);
    wb.AppendWString(u"", 1);
    wb.AppendBuffer(static_cast<const ByteBuffer*>(nullptr), 2);
    SmartPtr<ByteBuffer> block(new ByteBuffer("\x05", 1));
    wb.AppendBuffer(block, 1);
    SmartPtr<ByteBuffer> empty(new ByteBuffer(nullptr, 0));
    wb.AppendBuffer(empty, 4);
    EXPECT_EQ(Bytes(wb), std::vector<uint8_t>({2, 'a', 'b', 0, 0, 2, 0, 'h', 0, 0xE9, 0, 0, 0, 0, 1, 5, 0, 0, 0, 0}));
}

TEST(WriteBuffer, SetOverwritesInPlace)
{
    WriteBuffer wb;
    wb.SkipBytes(7);
    EXPECT_EQ(Bytes(wb), std::vector<uint8_t>(7, 0));
    wb.SetByte(0, 0xAA);
    wb.SetShort(1, 0x0102);
    wb.SetLong(3, 0x03040506);
    EXPECT_EQ(Bytes(wb), std::vector<uint8_t>({0xAA, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03}));
    wb.SetBytes(1, "zz", 2);
    EXPECT_EQ(wb.GetData()[2], 'z');
    EXPECT_EQ(wb.GetLength(), 7u);
}

TEST(WriteBuffer, ReleaseHandsOverTheBlockAndStartsAgain)
{
    WriteBuffer wb(2, true);
    wb.AppendString("abc", 0);
    const uint8_t* block = wb.GetData();
    SmartPtr<ByteBuffer> first = wb.ToByteBuffer(true);
    EXPECT_EQ(first->GetData(), block);
    EXPECT_EQ(Bytes(first), std::vector<uint8_t>({5, 0, 'a', 'b', 'c'}));
    EXPECT_EQ(wb.GetLength(), 2u);
    wb.AppendByte('z');
    SmartPtr<ByteBuffer> second = wb.ToByteBuffer(true);
    EXPECT_EQ(Bytes(second), std::vector<uint8_t>({3, 0, 'z'}));
    EXPECT_EQ(Bytes(first), std::vector<uint8_t>({5, 0, 'a', 'b', 'c'}));
}

TEST(WriteBuffer, NoReleaseCopiesAndKeepsBuilding)
{
    WriteBuffer wb(1, false);
    wb.AppendByte('a');
    SmartPtr<ByteBuffer> snapshot = wb.ToByteBuffer(false);
    EXPECT_NE(snapshot->GetData(), wb.GetData());
    EXPECT_EQ(Bytes(snapshot), std::vector<uint8_t>({1, 'a'}));
    wb.AppendByte('b');
    EXPECT_EQ(Bytes(wb.ToByteBuffer(false)), std::vector<uint8_t>({2, 'a', 'b'}));
    EXPECT_EQ(Bytes(snapshot), std::vector<uint8_t>({1, 'a'}));
    EXPECT_EQ(wb.GetLength(), 3u);
}

TEST(WriteBuffer, ResetAfterShrunkenLengthWritesNoBogusField)
{
    WriteBuffer wb(4, false);
    wb.SetLength(0);
    SmartPtr<ByteBuffer> out = wb.ToByteBuffer(true);
    EXPECT_EQ(out->GetLength(), 0u);
    EXPECT_EQ(wb.GetLength(), 4u);
}

// ---- ReadBuffer --------------------------------------------------------------

TEST(ReadBuffer, IntegersBooleansAndPosition)
{
    const uint8_t data[] = {0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0xFE, 2, 0};
    ReadBuffer rb(data, sizeof(data));
    EXPECT_EQ(rb.ReadShort(), 0x1234);
    EXPECT_EQ(rb.ReadLong(), 0x89ABCDEFu);
    EXPECT_EQ(rb.ReadByte(), 0xFE);
    EXPECT_TRUE(rb.ReadBool());
    EXPECT_FALSE(rb.ReadBool());
    EXPECT_TRUE(rb.AtEnd());
    EXPECT_EQ(rb.GetPos(), 9u);
    rb.Rewind();
    EXPECT_EQ(rb.GetPos(), 0u);
    EXPECT_EQ(rb.Remaining(), 9u);
}

TEST(ReadBuffer, ReadBytesPointsIntoTheRange)
{
    const uint8_t data[] = {1, 2, 3, 4};
    ReadBuffer rb(data, 4);
    EXPECT_EQ(rb.ReadBytes(1), data);
    EXPECT_EQ(rb.ReadBytes(3), data + 1);
    EXPECT_EQ(rb.ReadBytes(0), data + 4);
    EXPECT_THROW(rb.ReadBytes(1), ReadBufferException);
}

TEST(ReadBuffer, LengthsAreUnsigned)
{
    const uint8_t data[] = {200, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ReadBuffer rb(data, sizeof(data));
    EXPECT_EQ(rb.ReadLength(1), 200u);
    EXPECT_EQ(rb.ReadLength(2), 65535u);
    EXPECT_EQ(rb.ReadLength(4), 0xFFFFFFFFu);
    EXPECT_EQ(rb.ReadLength(0), 0u);
    EXPECT_EQ(rb.ReadLength(3), 0u);
    EXPECT_EQ(rb.GetPos(), 7u);
}

TEST(ReadBuffer, ReadsPastTheEndThrowAndKeepThePosition)
{
    const uint8_t data[] = {1, 2, 3, 4};
    ReadBuffer rb(data, 4);
    rb.ReadByte();
    try
    {
        rb.ReadLong();
        FAIL() << "no exception";
    }
    catch (const ReadBufferException& e)
    {
        EXPECT_STREQ(e.what(), "Attempt to read past end of buffer.");
    }
    EXPECT_EQ(rb.GetPos(), 1u);
    EXPECT_EQ(rb.ReadShort(), 0x0302);

    // Length-prefixed reads whose body is short leave the length field unread.
    const uint8_t str[] = {5, 'a', 'b'};
    ReadBuffer rs(str, 3);
    std::string s = "keep";
    EXPECT_THROW(rs.ReadString(s, 1), ReadBufferException);
    EXPECT_EQ(rs.GetPos(), 0u);
    std::u16string w = u"keep";
    EXPECT_THROW(rs.ReadWString(w, 1), ReadBufferException);
    EXPECT_EQ(rs.GetPos(), 0u);
    SmartPtr<ByteBuffer> b;
    EXPECT_THROW(rs.ReadBuf(b, 1), ReadBufferException);
    EXPECT_EQ(rs.GetPos(), 0u);
    EXPECT_FALSE(b);

    // A length field that is itself cut short.
    const uint8_t half[] = {1};
    ReadBuffer rh(half, 1);
    EXPECT_THROW(rh.ReadString(s, 2), ReadBufferException);
    EXPECT_EQ(rh.GetPos(), 0u);
}

TEST(ReadBuffer, HugeLengthsNeverReadOutOfBounds)
{
    const uint8_t data[] = {0xFF, 0xFF, 0xFF, 0xFF, 'a'};
    ReadBuffer rb(data, sizeof(data));
    std::string s;
    EXPECT_THROW(rb.ReadString(s, 4), ReadBufferException);
    std::u16string w;
    EXPECT_THROW(rb.ReadWString(w, 4), ReadBufferException);
    EXPECT_THROW(rb.ReadWString(w, ReadBuffer::Count{0x80000001u}), ReadBufferException);
    EXPECT_EQ(rb.GetPos(), 0u);
}

TEST(ReadBuffer, StringsRoundTrip)
{
    WriteBuffer wb;
    wb.AppendString("hello", 1);
    wb.AppendString(std::string(300, 'q'), 2);
    wb.AppendWString(u"\u00e9\u4e2d\xd83d", 2);
    wb.AppendString("raw", 0);
    SmartPtr<ByteBuffer> msg = wb.ToByteBuffer(true);

    ReadBuffer rb(msg);
    std::string s;
    rb.ReadString(s, 1);
    EXPECT_EQ(s, "hello");
    rb.ReadString(s, 2);
    EXPECT_EQ(s, std::string(300, 'q'));
    std::u16string w;
    rb.ReadWString(w, 2);
    EXPECT_EQ(w, u"\u00e9\u4e2d\xd83d");
    rb.ReadString(s, ReadBuffer::Count{3});
    EXPECT_EQ(s, "raw");
    EXPECT_TRUE(rb.AtEnd());
}

TEST(ReadBuffer, CountedStringsEmptyStringsAndBlocks)
{
    const uint8_t data[] = {2, 0, 'h', 0, 'i', 0};
    ReadBuffer rb(data, sizeof(data));
    std::u16string w = u"old";
    rb.ReadWString(w, 2);
    EXPECT_EQ(w, u"hi");
    rb.Rewind();
    rb.ReadShort();
    rb.ReadWString(w, ReadBuffer::Count{1});  // counts characters, not bytes
    EXPECT_EQ(w, u"h");

    const uint8_t zero[] = {0};
    rb = ReadBuffer(zero, 1);
    std::string s = "old";
    rb.ReadString(s, 1);
    EXPECT_EQ(s, "");
    s = "old";
    rb = ReadBuffer();
    rb.ReadString(s, ReadBuffer::Count{0});
    EXPECT_EQ(s, "");

    // Blocks are copies; an empty block is an empty buffer, not null.
    const uint8_t blocks[] = {0, 0, 2, 0, 7, 8};
    rb = ReadBuffer(blocks, sizeof(blocks));
    SmartPtr<ByteBuffer> b;
    rb.ReadBuf(b, 2);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->GetLength(), 0u);
    rb.ReadBuf(b, 2);
    EXPECT_EQ(Bytes(b), std::vector<uint8_t>({7, 8}));
    EXPECT_NE(b->GetData(), blocks + 4);
}

TEST(ReadBuffer, NullRangeIsEmpty)
{
    ReadBuffer rb(nullptr, 50);
    EXPECT_EQ(rb.GetLength(), 0u);
    EXPECT_THROW(rb.ReadByte(), ReadBufferException);
    SmartPtr<ByteBuffer> none;
    ReadBuffer fromNull(none);
    EXPECT_EQ(fromNull.GetLength(), 0u);
    EXPECT_EQ(fromNull.ReadLength(1 + 2), 0u);
}

TEST(Endian, HostDetectionAndHelpers)
{
    EXPECT_TRUE(IsLittleEndianHost());
    uint8_t b[4];
    StoreBE32(b, 0x01020304u);
    EXPECT_EQ(b[0], 1);
    EXPECT_EQ(LoadBE32(b), 0x01020304u);
    EXPECT_EQ(LoadLE32(b), 0x04030201u);
    StoreBE16(b, 0xA1B2);
    EXPECT_EQ(LoadBE16(b), 0xA1B2);
    EXPECT_EQ(LoadLE16(b), 0xB2A1);
}
