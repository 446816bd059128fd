#ifndef FENNICK_PLATFORM_NATIVE_TEXT_H_
#define FENNICK_PLATFORM_NATIVE_TEXT_H_

#include <filesystem>

// "Wide text": the platform's native string for paths, arguments and log messages.
// UTF-16 std::wstring on Windows, UTF-8 std::string on POSIX.
using WideString = std::filesystem::path::string_type;
using WideChar = WideString::value_type;

// A native-text literal: FENNICK_WIDE("abc") is L"abc" on Windows and "abc" elsewhere.
#if defined(_WIN32)
#define FENNICK_WIDE_IMPL(text) L##text
#else
#define FENNICK_WIDE_IMPL(text) text
#endif
#define FENNICK_WIDE(text) FENNICK_WIDE_IMPL(text)

#endif  // FENNICK_PLATFORM_NATIVE_TEXT_H_
