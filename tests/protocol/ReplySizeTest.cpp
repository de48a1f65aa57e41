// A handler must write exactly the body it announced to begin(): more or less
// is its fault, stopped in a debug build and refused otherwise, never a block
// grown or cut to fit.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "protocol/ProtocolTexts.h"
#include "protocol/ReplyWriter.h"

namespace {

void announceAndWrite(int announcedInts, int writtenInts) {
  ReplyWriter reply(texts::request::kGetDimsOfFunctionalData);
  reply.begin(framing::kIntBytes * announcedInts);
  for (int i = 0; i < writtenInts; ++i) reply.writeInt(i);
  reply.finish();
}

}  // namespace

TEST(ReplySize, AHandlerWritingOtherThanItAnnouncedFails) {
  const struct {
    const char* what;
    int announced, written;
  } cases[] = {{"one int more", 2, 3}, {"one int less", 3, 2}, {"nothing of what it announced", 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
#ifdef QT_NO_DEBUG
    EXPECT_THROW(announceAndWrite(c.announced, c.written), std::logic_error);
#else
    EXPECT_DEATH(announceAndWrite(c.announced, c.written), "size it announced");
#endif
  }
  EXPECT_NO_THROW(announceAndWrite(3, 3));
}
