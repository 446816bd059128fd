#include "frame_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using fennick_analysis::SignatureFrame;

TEST(FrameSignatureTest, NamesTheCrashByTheFirstFrameOfTheProgramsOwnCode) {
  const SignatureFrame own{"Ortivo.exe", "Document::Save"};
  const SignatureFrame caller{"Ortivo.exe", "main"};
  const SignatureFrame unnamed{"Ortivo.exe", ""};
  const SignatureFrame system{"KERNELBASE.dll", "RaiseException"};
  const SignatureFrame runtime{"ucrtbase.dll", "memcpy"};
  const SignatureFrame nowhere{"", ""};
  const SignatureFrame scanned{"Ortivo.exe", "Document::Load", true};
  const struct {
    std::vector<SignatureFrame> frames;
    std::string signature;  // empty: it stays module+offset
  } kCases[] = {
      {{own, caller}, "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Document::Save"},
      {{system, runtime, own}, "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Document::Save"},
      {{unnamed, caller}, ""},
      {{nowhere, own}, ""},
      {{system, scanned, own}, ""},
      {{system, runtime}, ""},
      {{}, ""},
  };
  for (const auto& c : kCases) {
    const SignatureFrame* naming = fennick_analysis::FrameNamingTheCrash(c.frames);
    EXPECT_EQ(naming ? fennick_analysis::NamedSignature("EXCEPTION_ACCESS_VIOLATION_WRITE", *naming)
                     : "",
              c.signature)
        << c.frames.size() << " frames";
  }
}

}  // namespace
