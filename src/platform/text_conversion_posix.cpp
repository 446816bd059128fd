#include <optional>

#include "platform/text_conversion.h"

namespace {

// What a lead byte says about its sequence: the payload bits it carries, how many
// continuation bytes follow and the lowest code point the sequence may encode (anything
// lower is an overlong form).
struct LeadByte {
  char32_t bits;
  int continuation_count;
  char32_t min_code_point;
};

// The meaning of `byte` as the start of a sequence, or nullopt for a stray continuation
// byte, C0/C1 (which only start overlong forms) and F5..FF.
std::optional<LeadByte> DecodeLead(unsigned char byte) {
  if (byte < 0x80) {
    return LeadByte{byte, 0, 0};
  }
  if (byte >= 0xC2 && byte <= 0xDF) {
    return LeadByte{static_cast<char32_t>(byte & 0x1F), 1, 0x80};
  }
  if (byte >= 0xE0 && byte <= 0xEF) {
    return LeadByte{static_cast<char32_t>(byte & 0x0F), 2, 0x800};
  }
  if (byte >= 0xF0 && byte <= 0xF4) {
    return LeadByte{static_cast<char32_t>(byte & 0x07), 3, 0x10000};
  }
  return std::nullopt;
}

bool IsSurrogate(char32_t code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }

// True when `text` is well-formed UTF-8: no truncated or overlong sequence, no surrogate
// code point and nothing above U+10FFFF.
bool IsWellFormedUtf8(std::string_view text) {
  constexpr char32_t kMaxCodePoint = 0x10FFFF;
  size_t i = 0;
  while (i < text.size()) {
    const std::optional<LeadByte> lead = DecodeLead(static_cast<unsigned char>(text[i]));
    if (!lead) {
      return false;
    }
    ++i;
    const auto count = static_cast<size_t>(lead->continuation_count);
    if (text.size() - i < count) {
      return false;
    }
    char32_t code_point = lead->bits;
    for (size_t end = i + count; i < end; ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if ((byte & 0xC0) != 0x80) {
        return false;
      }
      code_point = (code_point << 6) | (byte & 0x3F);
    }
    if (code_point < lead->min_code_point || IsSurrogate(code_point) ||
        code_point > kMaxCodePoint) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Native text on POSIX is already UTF-8, so both directions are the same strict check.
std::string WideToUtf8(const WideString& text) {
  return IsWellFormedUtf8(text) ? text : std::string();
}

WideString Utf8ToWide(std::string_view text) {
  return IsWellFormedUtf8(text) ? WideString(text) : WideString();
}
