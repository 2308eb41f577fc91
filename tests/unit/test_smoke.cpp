#include <gtest/gtest.h>
#include "image/image_header.h"

TEST(ByteOrder, DecodesBigEndianFields) {
    const uint8_t bytes[4] = {0x01, 0x50, 0x47, 0x54};
    EXPECT_EQ(read_be32(bytes), 0x01504754u);
}
