#include "platform/long_path_win.h"

#include <windows.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kLongSharePrefix = L"\\\\?\\UNC\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr std::wstring_view kSharePrefix = L"\\\\";

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool HasDrivePrefix(std::wstring_view text) {
  return text.size() >= 2 && IsAsciiLetter(text[0]) && text[1] == L':';
}

// What Win32 makes of `text`, which holds no file name of its own ("X:", "\" or "."): the
// meaning of those depends on the process's current folders. Empty on failure.
std::wstring CurrentFolderOf(const wchar_t* text) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(text, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0) {
      return std::wstring();
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length);
  }
}

// `text` (backslashes only) as an absolute path: "X:\...", or "\\server\share\...".
std::wstring Absolute(const std::wstring& text) {
  if (text.starts_with(kSharePrefix)) {
    return text;
  }
  if (HasDrivePrefix(text)) {
    if (text.size() >= 3 && text[2] == L'\\') {
      return text;
    }
    return CurrentFolderOf(text.substr(0, 2).c_str()) + L"\\" + text.substr(2);
  }
  if (text.starts_with(L'\\')) {
    return CurrentFolderOf(L"\\") + text.substr(1);
  }
  return CurrentFolderOf(L".") + L"\\" + text;
}

// Drops "." elements, empty ones and what ".." undoes (never the root), and the trailing
// dots and spaces of every element.
std::vector<std::wstring_view> NormalElements(std::wstring_view rest) {
  std::vector<std::wstring_view> elements;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find(L'\\'), rest.size());
    std::wstring_view element = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (element == L"..") {
      if (!elements.empty()) {
        elements.pop_back();
      }
      continue;
    }
    const size_t kept = element.find_last_not_of(L". ");
    if (kept != std::wstring_view::npos) {
      elements.push_back(element.substr(0, kept + 1));
    }
  }
  return elements;
}

}  // namespace

std::wstring LongPath(const std::filesystem::path& path) {
  std::wstring text = path.native();
  for (wchar_t& c : text) {
    c = c == L'/' ? L'\\' : c;
  }
  if (text.empty() || text.starts_with(kLongPrefix) || text.starts_with(kDevicePrefix)) {
    return text;
  }
  const std::wstring absolute = Absolute(text);
  std::wstring root;
  std::wstring_view rest;
  if (absolute.starts_with(kSharePrefix)) {
    // The server and share names are the root, which ".." never leaves.
    const size_t server_end = absolute.find(L'\\', kSharePrefix.size());
    const size_t share_end =
        server_end == std::wstring::npos ? server_end : absolute.find(L'\\', server_end + 1);
    root = std::wstring(kLongSharePrefix) +
           absolute.substr(kSharePrefix.size(), share_end - kSharePrefix.size());
    rest = share_end == std::wstring::npos ? std::wstring_view()
                                           : std::wstring_view(absolute).substr(share_end + 1);
  } else if (HasDrivePrefix(absolute)) {
    root = std::wstring(kLongPrefix) + absolute.substr(0, 2);
    rest = std::wstring_view(absolute).substr(2);
  } else {
    return text;
  }
  std::wstring long_path = root;
  for (std::wstring_view element : NormalElements(rest)) {
    long_path += L'\\';
    long_path += element;
  }
  if (long_path.size() == root.size()) {
    long_path += L'\\';
  }
  return long_path;
}
