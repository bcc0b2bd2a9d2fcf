#include <gtest/gtest.h>

#include "applink/link.h"

namespace zep::applink {
namespace {

TEST(MediaDatagramWire, NoDataIsTwelveBytesWithAZeroByte) {
  auto d = encodeMediaDatagram(13, 3, {});
  ASSERT_EQ(d.size(), 12u);
  EXPECT_EQ(d[3], 13);
  EXPECT_EQ(d[7], 3);
  EXPECT_EQ(d[8], 0);
  auto back = decodeMediaDatagram(d);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->data.size(), 1u);
}

TEST(MediaDatagramWire, HeaderBigEndianAndDataLengthLessEleven) {
  std::vector<std::uint8_t> data(400, 0x5A);
  auto d = encodeMediaDatagram(0x01020304, 19, data);
  ASSERT_EQ(d.size(), 411u);
  EXPECT_EQ(d[0], 1);
  EXPECT_EQ(d[3], 4);
  auto back = decodeMediaDatagram(d);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->type, 0x01020304u);
  EXPECT_EQ(back->sender, 19);
  EXPECT_EQ(back->data.size(), 400u);
  for (std::size_t n = 0; n < d.size(); ++n) {
    std::vector<std::uint8_t> cut(d.begin(), d.begin() + static_cast<long>(n));
    auto c = decodeMediaDatagram(cut);
    if (n < 11)
      EXPECT_FALSE(c) << n;
    else
      EXPECT_EQ(c->data.size(), n - 11);
  }
}

TEST(MulticastGroup, NamedBySessionNumber) {
  EXPECT_EQ(groupText(7), "225.0.0.7");
  EXPECT_EQ(groupText(255), "225.0.0.255");
}

}  // namespace
}  // namespace zep::applink
