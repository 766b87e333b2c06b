// Outside text in the log: what must show as escapes and what stays as it is.
#include <gtest/gtest.h>

#include <string>

#include "logging/escape.h"

using logging::Escaped;
using namespace std::string_literals;

TEST(Escaped, PlainAndMultibyteTextStaysAsItIs) {
  EXPECT_EQ(Escaped("Room provision success."), "Room provision success.");
  EXPECT_EQ(Escaped(""), "");
  // é (2 bytes), € (3 bytes), 😀 (4 bytes), the last code points of each length
  const std::string text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xDF\xBF\xEF\xBF\xBD\xF4\x8F\xBF\xBF";
  EXPECT_EQ(Escaped(text), text);
}

TEST(Escaped, LineBreaksTabsAndBackslashes) {
  EXPECT_EQ(Escaped("Room provision success.\r\n"), "Room provision success.\\r\\n");
  EXPECT_EQ(Escaped("a\nb\tc"), "a\\nb\\tc");
  // A literal backslash cannot pass for an escape.
  EXPECT_EQ(Escaped("\\xEF\\n"), "\\\\xEF\\\\n");
}

TEST(Escaped, ControlCharactersNulAndBomBecomeHexBytes) {
  EXPECT_EQ(Escaped("\xEF\xBB\xBFRoom provision success."),
            "\\xEF\\xBB\\xBFRoom provision success.");
  EXPECT_EQ(Escaped("mid\xEF\xBB\xBF"), "mid\\xEF\\xBB\\xBF");
  // UTF-16LE with its BOM: every other byte a NUL.
  EXPECT_EQ(Escaped("\xFF\xFE" "R\0o\0"s), "\\xFF\\xFER\\x00o\\x00");
  EXPECT_EQ(Escaped("\x01\x1B[31m\x7F"), "\\x01\\x1B[31m\\x7F");
  // C1 controls (U+0085 next line, U+009B CSI) are controls too.
  EXPECT_EQ(Escaped("a\xC2\x85" "b\xC2\x9B"), "a\\xC2\\x85b\\xC2\\x9B");
  EXPECT_EQ(Escaped("\xC2\xA0"), "\xC2\xA0");  // U+00A0 is not
}

TEST(Escaped, BytesThatAreNotUtf8BecomeHexBytes) {
  EXPECT_EQ(Escaped("\xC0\xAF"), "\\xC0\\xAF");                  // overlong '/'
  EXPECT_EQ(Escaped("\xE0\x80\xAF"), "\\xE0\\x80\\xAF");         // overlong, 3 bytes
  EXPECT_EQ(Escaped("\xED\xA0\x80"), "\\xED\\xA0\\x80");         // surrogate U+D800
  EXPECT_EQ(Escaped("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80"); // above U+10FFFF
  EXPECT_EQ(Escaped("ab\xE2\x82"), "ab\\xE2\\x82");              // cut at the end
  EXPECT_EQ(Escaped("\xE2\x82" "A"), "\\xE2\\x82A");             // cut before ASCII
  EXPECT_EQ(Escaped("\x80\xBF\xFE\xFF"), "\\x80\\xBF\\xFE\\xFF"); // stray bytes
  // A bad lead byte does not swallow the good sequence after it.
  EXPECT_EQ(Escaped("\xC3\xC3\xA9"), "\\xC3\xC3\xA9");
}
