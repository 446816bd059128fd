#include "utf16_text.h"

namespace fennick_minidump {
namespace {

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string Utf16LeToUtf8(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size());
  const size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) { return static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8); };
  for (size_t i = 0; i < units; ++i) {
    const char16_t c = unit(i);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) < 0xE000) {
      AppendUtf8(0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00), &text);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      AppendUtf8(0xFFFD, &text);
    } else {
      AppendUtf8(c, &text);
    }
  }
  return text;
}

}  // namespace fennick_minidump
