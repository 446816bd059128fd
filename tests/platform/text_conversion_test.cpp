#include "platform/text_conversion.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Bytes(std::initializer_list<unsigned char> values) {
  return std::string(values.begin(), values.end());
}

TEST(TextConversionTest, IllFormedUtf8GivesEmptyTextBothWays) {
  const std::string cases[] = {
      Bytes({0xC3, 0x28}),              // lead byte without a continuation
      Bytes({0xE2, 0x82}),              // truncated at the end
      Bytes({0xE2, 0x82, 0x41}),        // truncated before ASCII
      Bytes({0xC0, 0xAF}),              // overlong '/'
      Bytes({0xE0, 0x80, 0xAF}),        // overlong '/' in three bytes
      Bytes({0xF0, 0x8F, 0xBF, 0xBF}),  // overlong U+FFFF
      Bytes({0xED, 0xA0, 0x80}),        // surrogate U+D800
      Bytes({0xED, 0xBF, 0xBF}),        // surrogate U+DFFF
      Bytes({0xF4, 0x90, 0x80, 0x80}),  // U+110000
      Bytes({0xF5, 0x80, 0x80, 0x80}),  // lead byte F5
      Bytes({0x80}),                    // stray continuation
      Bytes({0xFF}),
  };
  for (const std::string& bytes : cases) {
    // Good text around the bad sequence is lost with it.
    const std::string text = "ok" + bytes + "ok";
    EXPECT_EQ(Utf8ToWide(bytes), WideString()) << testing::PrintToString(bytes);
    EXPECT_EQ(Utf8ToWide(text), WideString()) << testing::PrintToString(bytes);
    EXPECT_EQ(WideToUtf8(WideString(text)), std::string()) << testing::PrintToString(bytes);
  }
}

TEST(TextConversionTest, WellFormedUtf8SurvivesUnchangedBothWays) {
  const std::string cases[] = {
      "",
      "dump 42.dmp",
      std::string("a\0b", 3),
      Bytes({0xED, 0x9F, 0xBF}),        // U+D7FF, just below the surrogates
      Bytes({0xEE, 0x80, 0x80}),        // U+E000, just above them
      Bytes({0xF0, 0x9F, 0x98, 0x80}),  // U+1F600
      Bytes({0xF4, 0x8F, 0xBF, 0xBF}),  // U+10FFFF
      "caf" + Bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC}),
  };
  for (const std::string& bytes : cases) {
    EXPECT_EQ(Utf8ToWide(bytes), WideString(bytes)) << testing::PrintToString(bytes);
    EXPECT_EQ(WideToUtf8(WideString(bytes)), bytes) << testing::PrintToString(bytes);
  }
}

}  // namespace
