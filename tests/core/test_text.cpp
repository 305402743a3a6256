// Texts from producers, cameras and descriptions made printable: nothing in them can end a
// line, move the cursor, change the terminal or reorder what is shown.
#include <gtest/gtest.h>

#include <string>

#include "detail/error.h"
#include "detail/text.h"

namespace {

using vision::detail::Printable;
using vision::detail::Quoted;

TEST(Printable, ControlCharactersBecomeEscapes) {
  EXPECT_EQ(Printable("Maker\nserial:'forged'"), "Maker\\nserial:'forged'");
  EXPECT_EQ(Printable("a\rb\tc"), "a\\rb\\tc");
  EXPECT_EQ(Printable("\x1b[2J\x1b]0;title\x07"), "\\x1b[2J\\x1b]0;title\\x07");
  EXPECT_EQ(Printable(std::string("nul\0here", 8)), "nul\\x00here");
  EXPECT_EQ(Printable("del\x7f"), "del\\x7f");
  // C1 controls (a one-character CSI), direction overrides and line separators.
  EXPECT_EQ(Printable("\xc2\x9b"
                      "31m"),
            "\\u009b31m");
  EXPECT_EQ(Printable("abc\xe2\x80\xae"
                      "fed"),
            "abc\\u202efed");
  EXPECT_EQ(Printable("one\xe2\x80\xa8two"), "one\\u2028two");
}

TEST(Printable, ValidTextPassesAndInvalidBytesAreReplaced) {
  EXPECT_EQ(Printable("Exposure 10 \xc2\xb5s, 25 \xc2\xb0"
                      "C, \xe6\xb8\xa9\xe5\xba\xa6 \xf0\x9f\x93\xb7"),
            "Exposure 10 \xc2\xb5s, 25 \xc2\xb0"
            "C, \xe6\xb8\xa9\xe5\xba\xa6 \xf0\x9f\x93\xb7");
  EXPECT_EQ(Printable("C:\\cameras\\x.cti"), "C:\\cameras\\x.cti");
  const std::string replacement = "\xef\xbf\xbd";
  EXPECT_EQ(Printable("bad\xff"), "bad" + replacement);
  EXPECT_EQ(Printable("\xc3"), replacement);                                      // cut short
  EXPECT_EQ(Printable("\xc0\xaf"), replacement + replacement);                    // overlong '/'
  EXPECT_EQ(Printable("\xed\xa0\x80"), replacement + replacement + replacement);  // surrogate
  EXPECT_EQ(Printable("\xf4\x90\x80\x80").find(replacement), 0u);                 // beyond U+10FFFF
}

TEST(Printable, LongTextsAreCutBetweenCharacters) {
  EXPECT_EQ(Printable(std::string(300, 'x'), 10), "xxxxxxxxxx...");
  EXPECT_EQ(Printable("ab\xc2\xb5\xc2\xb5", 5), "ab\xc2\xb5...");
  EXPECT_EQ(Printable("\n\n\n", 5), "\\n\\n...");
  EXPECT_EQ(Printable("short", 5), "short");
}

TEST(Printable, QuotedFieldsCannotPoseAsTheNextField) {
  EXPECT_EQ(Quoted("cam' serial:'123"), "'cam\\' serial:\\'123'");
  EXPECT_EQ(Quoted("a\\b"), "'a\\\\b'");
  EXPECT_EQ(Quoted("line\nnext"), "'line\\nnext'");
}

TEST(Printable, LibraryErrorsCarryPrintableMessages) {
  try {
    vision::detail::Fail(5300, "OpenFramegrabber", "producer said: \x1b[31mfine\ncamera 'x'");
    FAIL() << "no exception";
  } catch (const vision::HException& e) {
    EXPECT_EQ(std::string(e.ErrorMessage().Text()), "producer said: \\x1b[31mfine\\ncamera 'x'");
  }
  try {
    vision::detail::Fail(5300, "OpenFramegrabber", std::string(100000, 'y'));
    FAIL() << "no exception";
  } catch (const vision::HException& e) {
    EXPECT_LE(std::string(e.ErrorMessage().Text()).size(), vision::detail::kMaxMessageBytes + 3);
  }
}

}  // namespace
