#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "support/capture_file.h"

CaptureFile::CaptureFile() {
  static std::atomic<unsigned> counter{0};
  wchar_t folder[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH + 1, folder);
  const std::wstring name = std::wstring(folder) + L"fennick-capture-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(counter++) + L".txt";
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  handle_ =
      CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                  CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << "cannot make a capture file";
}

CaptureFile::~CaptureFile() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

std::string CaptureFile::Text() const {
  // Reading leaves the shared file pointer at the end, where the next write appends.
  std::string text;
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN)) return text;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(handle_, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  return text;
}
