// Request frames as the client writes them, and the bounds of the body reader.
#include <gtest/gtest.h>

#include "Bytes.h"
#include "nmbclient/Errors.h"
#include "nmbclient/Wire.h"

using namespace testbytes;
using nmb::wire::WireReader;

TEST(RequestFrame, MatchesTheWorkedExamplesByteForByte) {
  Bytes out;
  nmb::wire::appendRequestFrame(out, "tGetNrOfROIs", {});
  EXPECT_EQ(out, cat({hex("00 00 00 00 00 00 00 11 00 00 00 0D"), ascii("tGetNrOfROIs"), hex("00")}));

  out.clear();
  nmb::wire::appendRequestFrame(out, "tGetMeanOfROI", {2});
  EXPECT_EQ(out,
            cat({hex("00 00 00 00 00 00 00 16 00 00 00 0E"), ascii("tGetMeanOfROI"), hex("00 00 00 00 02")}));
}

TEST(RequestFrame, RoleMessageIsTwentySevenBytes) {
  Bytes out;
  nmb::wire::appendTextFrame(out, "Request Socket");
  EXPECT_EQ(out, cat({hex("00 00 00 00 00 00 00 13 00 00 00 0F"), ascii("Request Socket"), hex("00")}));
}

TEST(RequestFrame, BackToBackFramesEachCarryTheirOwnLengthAndNegativeArgumentsAreTwosComplement) {
  Bytes out;
  nmb::wire::appendRequestFrame(out, "a", {-1});
  nmb::wire::appendRequestFrame(out, "bc", {1, 2, 3, 4});
  EXPECT_EQ(out, cat({frame(cat({text("a"), hex("FF FF FF FF")})),
                      frame(cat({text("bc"), int32(1), int32(2), int32(3), int32(4)}))}));
}

TEST(WireReader, ReadsEveryElementBigEndian) {
  const Bytes body = cat({hex("80 01"), hex("FF FF FF FE"), hex("3D CC CC CD"), text("ab")});
  WireReader r(body.data(), body.size());
  EXPECT_EQ(r.readInt16(), -32767);
  EXPECT_EQ(r.readInt32(), -2);
  EXPECT_EQ(r.readReal(), 0.1f);
  EXPECT_EQ(r.readText(), "ab");
  EXPECT_TRUE(r.atEnd());
}

TEST(WireReader, TextsFollowTheCountNotTheNul) {
  const Bytes noNul = cat({hex("00 00 00 03"), ascii("abc")});
  WireReader a(noNul.data(), noNul.size());
  EXPECT_EQ(a.readText(), "abc");

  const Bytes early = cat({hex("00 00 00 04"), ascii("a"), hex("00"), ascii("bc")});
  WireReader b(early.data(), early.size());
  EXPECT_EQ(b.readText(), "a");
  EXPECT_TRUE(b.atEnd());

  const Bytes null = hex("00 00 00 00");
  WireReader c(null.data(), null.size());
  bool isNull = false;
  EXPECT_EQ(c.readText(&isNull), "");
  EXPECT_TRUE(isNull);
}

TEST(WireReader, RefusesToReadPastTheBody) {
  const Bytes countTooBig = cat({hex("FF FF FF FF"), ascii("abc")});
  WireReader a(countTooBig.data(), countTooBig.size());
  EXPECT_THROW(a.readText(), nmb::ProtocolError);

  const Bytes three = hex("00 00 01");
  WireReader b(three.data(), three.size());
  EXPECT_THROW(b.readInt32(), nmb::ProtocolError);
  EXPECT_THROW(b.readRealRun(), nmb::ProtocolError);
  EXPECT_THROW(b.expectEnd(), nmb::ProtocolError);

  WireReader empty(nullptr, 0);
  EXPECT_TRUE(empty.readInt16Run().empty());
  EXPECT_THROW(empty.readInt16(), nmb::ProtocolError);
}
