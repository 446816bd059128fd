#ifndef FENNICK_TOOLS_MINIDUMP_UTF16_TEXT_H_
#define FENNICK_TOOLS_MINIDUMP_UTF16_TEXT_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace fennick_minidump {

// UTF-16LE text from a dump (an odd last byte ignored) as UTF-8. Such text is shown, never
// used as a path: a lone surrogate becomes U+FFFD, so the result is always valid UTF-8 and
// the rest of a name still shows.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes);

// True when `text` is well-formed UTF-8: no overlong form, surrogate or code point above
// U+10FFFF.
bool IsUtf8(std::string_view text);

}  // namespace fennick_minidump

#endif  // FENNICK_TOOLS_MINIDUMP_UTF16_TEXT_H_
