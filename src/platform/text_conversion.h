#ifndef FENNICK_PLATFORM_TEXT_CONVERSION_H_
#define FENNICK_PLATFORM_TEXT_CONVERSION_H_

#include <string>
#include <string_view>

#include "platform/native_text.h"

// Strict conversions between native text and UTF-8. Ill-formed input (a lone surrogate,
// a truncated or overlong sequence, a code point above U+10FFFF) gives an empty result;
// nothing is ever replaced by U+FFFD. Embedded NULs convert like any other character.
std::string WideToUtf8(const WideString& text);
WideString Utf8ToWide(std::string_view text);

#endif  // FENNICK_PLATFORM_TEXT_CONVERSION_H_
