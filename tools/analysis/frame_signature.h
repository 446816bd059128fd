#ifndef FENNICK_TOOLS_ANALYSIS_FRAME_SIGNATURE_H_
#define FENNICK_TOOLS_ANALYSIS_FRAME_SIGNATURE_H_

#include <string>
#include <string_view>
#include <vector>

namespace fennick_analysis {

// A frame as the signature sees it.
struct SignatureFrame {
  std::string module;    // file name; empty when no module holds the address
  std::string function;  // empty when no symbols name it
  bool scanned = false;  // found by scanning the stack, which may find stale addresses
  bool checked = false;  // scanned, and the code before it is a call
};

// True for the operating system's and the C and C++ runtimes' modules, whose frames say
// where the program called in, not where it went wrong.
bool IsSystemModule(std::string_view module);

// The frame that names a crash: the first of the program's own code, when it was found
// from the context, by unwinding or by a checked scan and symbols name it. Null otherwise,
// and the signature stays module+offset.
const SignatureFrame* FrameNamingTheCrash(const std::vector<SignatureFrame>& frames);

// "<exception> <module>!<function>" for that frame; `exception` is the exception's name with
// the access kind: "EXCEPTION_ACCESS_VIOLATION_WRITE".
std::string NamedSignature(std::string_view exception, const SignatureFrame& frame);

}  // namespace fennick_analysis

#endif  // FENNICK_TOOLS_ANALYSIS_FRAME_SIGNATURE_H_
