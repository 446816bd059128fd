#include <windows.h>

#include <string>

#include "platform/process.h"

void SuppressErrorDialogs() {
  // Fail critical errors silently and show no fault dialog: a dialog would hold an
  // unattended run for good. Every other bit of the mode stays as it was.
  SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

std::filesystem::path ExecutableDirectory() {
  constexpr DWORD kPathBufferUnits = 32768;
  std::wstring buffer(kPathBufferUnits, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kPathBufferUnits);
  // A result that fills the buffer means the path was cut short.
  if (length == 0 || length >= kPathBufferUnits) {
    return std::filesystem::path();
  }
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
}

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }
