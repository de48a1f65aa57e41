#include <gtest/gtest.h>

#include "simulator/LogMarkup.h"

TEST(LogMarkup, RendersLineBreaksAndBold) {
  const std::string line = "<br><b>Info</b> - Listening on: <br><b>10.0.0.2</b>, <br> Port: <b>55555</b><br>";
  EXPECT_EQ(renderLogMarkup(line, false), "\nInfo - Listening on: \n10.0.0.2, \n Port: 55555\n");
  EXPECT_EQ(renderLogMarkup("<b>Info</b> - x", true), "\033[1mInfo\033[22m - x");
}

TEST(LogMarkup, DropsOtherTagsAndDecodesEntities) {
  EXPECT_EQ(renderLogMarkup("<font color=\"red\">a</font><BR/>b<br />c", false), "a\nb\nc");
  EXPECT_EQ(renderLogMarkup("1 &lt; 2 &amp;&amp; 3 &gt; 2&nbsp;&quot;x&quot; &unknown;", false),
            "1 < 2 && 3 > 2 \"x\" &unknown;");
}

TEST(LogMarkup, KeepsAnUnclosedAngleBracket) {
  EXPECT_EQ(renderLogMarkup("a < b", false), "a < b");
  EXPECT_EQ(renderLogMarkup("", true), "");
}
