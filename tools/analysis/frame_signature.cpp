#include "frame_signature.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace fennick_analysis {
namespace {

using Json = nlohmann::ordered_json;

// Lower case. The system's modules and the runtimes that MSVC and MinGW programs load. The
// signature rules skip the same ones, and may skip more.
constexpr std::array<std::string_view, 24> kSystemModules = {
    "ntdll.dll",          "kernel32.dll",       "kernelbase.dll",      "user32.dll",
    "gdi32.dll",          "gdi32full.dll",      "win32u.dll",          "combase.dll",
    "ole32.dll",          "rpcrt4.dll",         "msvcrt.dll",          "ucrtbase.dll",
    "ucrtbased.dll",      "vcruntime140.dll",   "vcruntime140_1.dll",  "vcruntime140d.dll",
    "msvcp140.dll",       "msvcp140d.dll",      "libstdc++-6.dll",     "libgcc_s_seh-1.dll",
    "libwinpthread-1.dll", "msvcp_win.dll",     "sechost.dll",         "advapi32.dll",
};

std::string TextOf(const Json& frame, const char* name) {
  const auto member = frame.find(name);
  return member != frame.end() && member->is_string() ? member->get<std::string>() : "";
}

// The frames of a crash's "frames" as the walk found them: an entry that follows an
// inlined one is the same walked frame's caller, named at the same address.
std::vector<SignatureFrame> WalkedFrames(const Json& frames) {
  std::vector<SignatureFrame> walked;
  bool inlined_before = false;
  for (const Json& frame : frames) {
    if (!frame.is_object()) continue;
    if (!inlined_before) {
      walked.push_back({TextOf(frame, "module"), TextOf(frame, "function"), TextOf(frame, "trust")});
    }
    inlined_before = frame.value("inlined", false);
  }
  return walked;
}

}  // namespace

bool IsSystemModule(std::string_view module) {
  std::string lower(module);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::find(kSystemModules.begin(), kSystemModules.end(), lower) != kSystemModules.end();
}

const SignatureFrame* FrameNamingTheCrash(const std::vector<SignatureFrame>& frames,
                                          const SignatureRules& rules) {
  for (const SignatureFrame& frame : frames) {
    if (!frame.module.empty() && rules.SkipsModule(frame.module)) continue;
    if (!frame.function.empty() && rules.SkipsFunction(frame.function)) continue;
    // A scanned word not checked for a call before it may be stale: it names nothing, and
    // says nothing of the frames above it either (a walk through code without unwind data
    // passes many such words), so the search goes on to a frame the walk could check.
    if (frame.trust == "scan") continue;
    if (frame.module.empty() || frame.function.empty()) return nullptr;
    return &frame;
  }
  return nullptr;
}

std::string NamedSignature(std::string_view exception, const SignatureFrame& frame) {
  return std::string(exception) + " " + frame.module + "!" + frame.function;
}

bool SignCrash(Json& crash, const SignatureRules& rules) {
  if (!crash.is_object()) return false;
  const std::string fallback = TextOf(crash, "module_signature");
  if (fallback.empty()) return false;
  // The module+offset signature starts with the exception's name and access kind.
  const std::string exception = fallback.substr(0, fallback.find(' '));
  const auto frames = crash.find("frames");
  const std::vector<SignatureFrame> walked =
      frames != crash.end() && frames->is_array() ? WalkedFrames(*frames)
                                                  : std::vector<SignatureFrame>();
  const SignatureFrame* naming = FrameNamingTheCrash(walked, rules);
  crash["signature"] = naming ? NamedSignature(exception, *naming) : fallback;
  crash["top_function"] = naming ? Json(naming->function) : Json(nullptr);
  crash["signature_rules"] = rules.version();
  return true;
}

}  // namespace fennick_analysis
