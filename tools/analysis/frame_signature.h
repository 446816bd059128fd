#ifndef FENNICK_TOOLS_ANALYSIS_FRAME_SIGNATURE_H_
#define FENNICK_TOOLS_ANALYSIS_FRAME_SIGNATURE_H_

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "signature_rules.h"

namespace fennick_analysis {

// A frame as the signature sees it.
struct SignatureFrame {
  std::string module;    // file name; empty when no module holds the address
  std::string function;  // empty when no symbols name it
  // How the walk found it, as the analysis names it: "context", "cfi", "frame_pointer",
  // "scan" (a stack word that may be stale), "checked_scan" (one after a call instruction).
  std::string trust;
};

// The frame that names a crash: the first that `rules` do not skip, when it was not found
// by an unchecked scan and symbols name it in a module. Null otherwise, and the signature
// stays module+offset.
const SignatureFrame* FrameNamingTheCrash(const std::vector<SignatureFrame>& frames,
                                          const SignatureRules& rules);

// True for the operating system's and the C and C++ runtimes' modules: the system's own files,
// which symbol servers serve, never the developer's to supply.
bool IsSystemModule(std::string_view module);

// "<exception> <module>!<function>" for that frame; `exception` is the exception's name with
// the access kind: "EXCEPTION_ACCESS_VIOLATION_WRITE".
std::string NamedSignature(std::string_view exception, const SignatureFrame& frame);

// Signs the analysis's `crash` anew by `rules` from what it holds: its frames (the first
// entry of each walked frame, the innermost function inlined there) and "module_signature",
// the module+offset signature it falls back on. Sets "signature", "top_function" and
// "signature_rules" (the rules' version); false, leaving it as it was, when the crash holds
// no module_signature.
bool SignCrash(nlohmann::ordered_json& crash, const SignatureRules& rules);

}  // namespace fennick_analysis

#endif  // FENNICK_TOOLS_ANALYSIS_FRAME_SIGNATURE_H_
