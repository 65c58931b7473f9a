#include "platform/rtl/ByteCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace {

std::string Hex(const std::string& s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

TEST(ByteCodec, WritesEveryFieldLittleEndianAndReadsItBack) {
    std::string buf;
    TByteWriter w(buf);
    w.U8(0x01).U16(0x0302).U32(0x07060504).I16(-2).I32(-3).U64(0x0f0e0d0c0b0a0908ull).F64(1.5);
    w.ShortString("abc", 5).F80(-2.25L).Bool(true);
    EXPECT_EQ(Hex(buf),
              "01" "0203" "04050607" "feff" "fdffffff" "08090a0b0c0d0e0f" "000000000000f83f"
              "03616263" "0000" "000000000000009000c0" "01");

    TByteReader r(buf);
    EXPECT_EQ(r.U8(), 0x01);
    EXPECT_EQ(r.U16(), 0x0302);
    EXPECT_EQ(r.U32(), 0x07060504u);
    EXPECT_EQ(r.I16(), -2);
    EXPECT_EQ(r.I32(), -3);
    EXPECT_EQ(r.U64(), 0x0f0e0d0c0b0a0908ull);
    EXPECT_EQ(r.F64(), 1.5);
    EXPECT_EQ(r.ShortString(5), "abc");
    EXPECT_EQ(r.F80(), -2.25L);
    EXPECT_TRUE(r.Bool());
    EXPECT_EQ(r.Remaining(), 0u);
}

TEST(ByteCodec, TwentyFourBitFieldsKeepTheLowThreeBytes) {
    std::string buf;
    TByteWriter(buf).U24(0x12345678).U24(0xFFFFFF);
    EXPECT_EQ(Hex(buf), "785634" "ffffff");
    TByteReader r(buf);
    EXPECT_EQ(r.U24(), 0x345678u);
    EXPECT_EQ(r.U24(), 0xFFFFFFu);
    EXPECT_THROW(r.U24(), EReadError);
}

TEST(ByteCodec, ShortStringsAreCutToTheirCapacityBothWays) {
    std::string buf;
    TByteWriter(buf).ShortString("abcdef", 3);
    EXPECT_EQ(Hex(buf), "03616263");
    const unsigned char damaged[] = {200, 'x', 'y'};  // length byte beyond the capacity
    TByteReader r(damaged, sizeof damaged);
    EXPECT_EQ(r.ShortString(2), "xy");
}

TEST(ByteCodec, FixedBuffersRefuseOverrunsWithoutTouchingMemoryBeyond) {
    unsigned char buf[6] = {0, 0, 0, 0, 0, 0xAA};
    TByteWriter w(buf, 5);
    w.U32(1);
    EXPECT_THROW(w.U16(2), EWriteError);
    EXPECT_EQ(buf[5], 0xAA);
    EXPECT_THROW(w.SetPos(6), EWriteError);

    TByteReader r(buf, 5);
    r.Skip(4);
    EXPECT_THROW(r.U16(), EReadError);
    EXPECT_EQ(r.Pos(), 4u);  // a refused read moves nothing
    EXPECT_THROW(r.ShortString(4), EReadError);
    EXPECT_THROW(r.SetPos(99), EReadError);
}

}  // namespace
