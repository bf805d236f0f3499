#include "common/ReadBuffer.h"
#include "common/WSStatus.h"
#include "common/WriteBuffer.h"

#include <gtest/gtest.h>

using namespace QORAPI;

TEST(StatusNames, NamedAndFallbackValues)
{
    EXPECT_STREQ(WSStatusToString(WS_Success), "WS_Success");
    EXPECT_STREQ(WSStatusToString(100106), "WS_GameSpySupport_ConnError");
    EXPECT_STREQ(WSStatusToString(10035), "WS_WSAEWOULDBLOCK");
    EXPECT_STREQ(WSStatusToString(32), "WS_EPIPE");
    EXPECT_STREQ(WSStatusToString(-2901), "DBProxyServ_GameSpecificError-2901");
    EXPECT_STREQ(WSStatusToString(-2533), "-2533");
    EXPECT_STREQ(WSStatusToString(100107), "100107");
}

TEST(WriteBuffer, LengthFieldIncludesItself)
{
    WriteBuffer wb(4, true);
    wb.AppendBytes("abc", 3);
    SmartPtr<ByteBuffer> out = wb.ToByteBuffer(true);
    const uint8_t expected[] = {7, 0, 0, 0, 'a', 'b', 'c'};
    ASSERT_EQ(out->GetLength(), sizeof(expected));
    EXPECT_EQ(0, memcmp(out->GetData(), expected, sizeof(expected)));
    EXPECT_EQ(wb.GetLength(), 4u);
}

TEST(ReadBuffer, ShortReadThrowsAndKeepsPosition)
{
    const uint8_t data[] = {1, 2, 3};
    ReadBuffer rb(data, 3);
    EXPECT_THROW(rb.ReadLong(), ReadBufferException);
    EXPECT_EQ(rb.GetPos(), 0u);
    EXPECT_EQ(rb.ReadShort(), 0x0201);
}
