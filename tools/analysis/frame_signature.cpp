#include "frame_signature.h"

namespace fennick_analysis {
namespace {

using Json = nlohmann::ordered_json;

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

const SignatureFrame* FrameNamingTheCrash(const std::vector<SignatureFrame>& frames,
                                          const SignatureRules& rules) {
  for (const SignatureFrame& frame : frames) {
    if (!frame.module.empty() && rules.SkipsModule(frame.module)) continue;
    if (!frame.function.empty() && rules.SkipsFunction(frame.function)) continue;
    // A scanned word not checked for a call before it may be stale: it names nothing.
    if (frame.trust == "scan") return nullptr;
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
