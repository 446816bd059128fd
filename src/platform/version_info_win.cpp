#include <windows.h>

#include <string>
#include <vector>

#include "platform/long_path_win.h"
#include "platform/version_info.h"

namespace {

// RtlGetVersion reports the real version; GetVersionEx would report what the
// application's manifest claims to support.
using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);

constexpr ULONG kBasicVersionInfoBytes = 276;  // sizeof(RTL_OSVERSIONINFOW)
static_assert(sizeof(RTL_OSVERSIONINFOW) == kBasicVersionInfoBytes);

}  // namespace

std::optional<FileVersion> ReadFileVersion(const std::filesystem::path& executable) {
  const std::wstring path = LongPath(executable);
  DWORD unused = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &unused);
  if (size == 0) {
    return std::nullopt;
  }
  std::vector<unsigned char> block(size, 0);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
    return std::nullopt;
  }
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block.data(), L"\\", &value, &length) || value == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return std::nullopt;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  return FileVersion{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                     HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
}

std::optional<OsVersion> ReadOsVersion() {
  // ntdll.dll is loaded in every process; it is looked up, never loaded here.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) {
    return std::nullopt;
  }
  const FARPROC function = GetProcAddress(ntdll, "RtlGetVersion");
  if (function == nullptr) {
    return std::nullopt;
  }
  RTL_OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = kBasicVersionInfoBytes;
  const auto get_version =
      reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void*>(function));
  if (get_version(&info) != 0) {
    return std::nullopt;
  }
  return OsVersion{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
}
