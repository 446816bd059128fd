#include "frame_signature.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace fennick_analysis {
namespace {

// Lower case. The runtimes that MSVC and MinGW programs load, and the system modules a
// crash passes through on its way from a program's call to the faulting instruction.
constexpr std::array<std::string_view, 24> kSystemModules = {
    "ntdll.dll",          "kernel32.dll",       "kernelbase.dll",      "user32.dll",
    "gdi32.dll",          "gdi32full.dll",      "win32u.dll",          "combase.dll",
    "ole32.dll",          "rpcrt4.dll",         "msvcrt.dll",          "ucrtbase.dll",
    "ucrtbased.dll",      "vcruntime140.dll",   "vcruntime140_1.dll",  "vcruntime140d.dll",
    "msvcp140.dll",       "msvcp140d.dll",      "libstdc++-6.dll",     "libgcc_s_seh-1.dll",
    "libwinpthread-1.dll", "msvcp_win.dll",     "sechost.dll",         "advapi32.dll",
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

}  // namespace

bool IsSystemModule(std::string_view module) {
  const std::string lower = Lower(module);
  return std::find(kSystemModules.begin(), kSystemModules.end(), lower) != kSystemModules.end();
}

const SignatureFrame* FrameNamingTheCrash(const std::vector<SignatureFrame>& frames) {
  for (const SignatureFrame& frame : frames) {
    if (!frame.module.empty() && IsSystemModule(frame.module)) continue;
    if (frame.scanned && !frame.checked) return nullptr;
    if (frame.module.empty() || frame.function.empty()) return nullptr;
    return &frame;
  }
  return nullptr;
}

std::string NamedSignature(std::string_view exception, const SignatureFrame& frame) {
  return std::string(exception) + " " + frame.module + "!" + frame.function;
}

}  // namespace fennick_analysis
