#include <windows.h>

#include <climits>

#include "platform/text_conversion.h"

// Both directions run with the flag that makes ill-formed input an error, so nothing is
// ever replaced by U+FFFD; the input's explicit length carries embedded NULs through.
std::string WideToUtf8(const WideString& text) {
  if (text.empty() || text.size() > INT_MAX) {
    return std::string();
  }
  const int length = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, nullptr,
                                       0, nullptr, nullptr);
  if (size <= 0) {
    return std::string();
  }
  std::string result(static_cast<size_t>(size), '\0');
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), length, result.data(), size,
                          nullptr, nullptr) != size) {
    return std::string();
  }
  return result;
}

WideString Utf8ToWide(std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) {
    return WideString();
  }
  const int length = static_cast<int>(text.size());
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
  if (size <= 0) {
    return WideString();
  }
  WideString result(static_cast<size_t>(size), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, result.data(),
                          size) != size) {
    return WideString();
  }
  return result;
}
