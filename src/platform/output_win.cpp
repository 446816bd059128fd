#include <windows.h>

#include <string>

#include "platform/output.h"

namespace {

bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(char32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code_point >> 6));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code_point >> 12));
    out->push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code_point >> 18));
    out->push_back(static_cast<char>(0x80 | (code_point >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// The line as UTF-8, the bytes the Linux build writes. A file name may hold a lone
// surrogate, which UTF-8 cannot express; that unit is written in the three-byte form a
// character of its value would take (as WTF-8 does), so the line is never lost or cut.
std::string EncodeLine(const WideString& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(unit, &out);
  }
  return out;
}

bool IsConsole(HANDLE stream) {
  DWORD mode = 0;
  return GetConsoleMode(stream, &mode) != 0;
}

}  // namespace

void WriteDebuggerOutput(const WideString& line) { OutputDebugStringW(line.c_str()); }

void WriteStandardError(const WideString& text) {
  const HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
  if (stream == nullptr || stream == INVALID_HANDLE_VALUE || text.empty()) {
    return;
  }
  // A console shows the characters themselves; a file or pipe gets UTF-8. Either way the
  // line goes out in one call, and a failing stream is ignored.
  DWORD written = 0;
  if (IsConsole(stream)) {
    WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const std::string bytes = EncodeLine(text);
  WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
