#include <gtest/gtest.h>

#include "Platform/Screen/H264AnnexB.hpp"

namespace vantrel {
namespace {

using namespace H264AnnexB;

TEST(H264AnnexB, NalTypeIsTheLowFiveBitsAndRejectsTheForbiddenBit) {
  const Bytes sps{0x67, 0x42};
  const Bytes idr{0x65, 0x88};
  const Bytes forbidden{0xE5};
  EXPECT_EQ(nalType(sps), nalSequenceParameterSet);
  EXPECT_EQ(nalType(idr), nalSliceIdr);
  EXPECT_EQ(nalType(ByteView{}), std::nullopt);
  EXPECT_EQ(nalType(forbidden), std::nullopt);
}

TEST(H264AnnexB, AccessUnitPutsParameterSetsFirstBehindFourByteStartCodes) {
  const Bytes sei{0x06, 0x05, 0x01};
  const Bytes pps{0x68, 0xCE};
  const Bytes sps{0x67, 0x42, 0xC0};
  const Bytes slice{0x65, 0x88, 0x84};
  const Bytes empty;
  const auto unit = makeAccessUnit({sei, pps, empty, sps, slice});
  const Bytes expected{0, 0, 0, 1, 0x67, 0x42, 0xC0,  //
                       0, 0, 0, 1, 0x68, 0xCE,        //
                       0, 0, 0, 1, 0x06, 0x05, 0x01,  //
                       0, 0, 0, 1, 0x65, 0x88, 0x84};
  EXPECT_EQ(unit, expected);
  EXPECT_TRUE(startsWithParameterSets(unit));
  EXPECT_TRUE(containsIdrSlice(unit));
}

TEST(H264AnnexB, SplitAcceptsThreeAndFourByteStartCodesAndDropsTrailingZeros) {
  const Bytes stream{0xAA,                                      // garbage before the first start code
                     0,    0, 0, 1,    0x67, 0x42, 0x00, 0x1F,  // an SPS ending in 0x1F
                     0,    0, 1, 0x68, 0xCE, 0x00,              // PPS followed by a trailing zero byte
                     0,    0, 0, 1,    0x65, 0x11,              //
                     0,    0, 1};                               // a start code with nothing behind it
  const auto units = splitNalUnits(stream);
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x67, 0x42, 0x00, 0x1F}));
  EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), (Bytes{0x68, 0xCE}));
  EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), (Bytes{0x65, 0x11}));
}

TEST(H264AnnexB, SplitOfStreamsWithoutStartCodesIsEmpty) {
  EXPECT_TRUE(splitNalUnits(Bytes{}).empty());
  EXPECT_TRUE(splitNalUnits(Bytes{0, 0}).empty());
  EXPECT_TRUE(splitNalUnits(Bytes{0x67, 0x42, 0x00, 0x02}).empty());
  EXPECT_TRUE(splitNalUnits(Bytes{0, 0, 0, 0, 0}).empty());
}

TEST(H264AnnexB, ParameterSetsMustComeInOrderAtTheVeryStart) {
  // PPS before SPS.
  EXPECT_FALSE(startsWithParameterSets(Bytes{0, 0, 0, 1, 0x68, 0xCE, 0, 0, 0, 1, 0x67, 0x42}));
  // Three-byte start code at the beginning.
  EXPECT_FALSE(startsWithParameterSets(Bytes{0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}));
  // Only an SPS.
  EXPECT_FALSE(startsWithParameterSets(Bytes{0, 0, 0, 1, 0x67, 0x42}));
}

}  // namespace
}  // namespace vantrel
