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
  const SignatureFrame checked{"Ortivo.exe", "Document::Load", true, true};
  const SignatureFrame system_scanned{"ntdll.dll", "", true};
  const struct {
    std::vector<SignatureFrame> frames;
    std::string signature;  // empty: it stays module+offset
  } kCases[] = {
      {{own, caller}, "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Document::Save"},
      {{system, runtime, own}, "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Document::Save"},
      {{unnamed, caller}, ""},
      {{nowhere, own}, ""},
      {{system, scanned, own}, ""},
      {{system, system_scanned, checked, own},
       "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Document::Load"},
      {{own, checked}, "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Document::Save"},
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

TEST(FrameSignatureTest, SkipsTheFramesOfEachSystemAndRuntimeModule) {
  // Spelt as Windows and Wine name them in a dump's module list.
  const char* const kModules[] = {
      "ntdll.dll",           "KERNEL32.DLL",     "KERNELBASE.dll",     "USER32.dll",
      "GDI32.dll",           "gdi32full.dll",    "win32u.dll",         "combase.dll",
      "ole32.dll",           "RPCRT4.dll",       "msvcrt.dll",         "ucrtbase.dll",
      "ucrtbased.dll",       "VCRUNTIME140.dll", "VCRUNTIME140_1.dll", "VCRUNTIME140D.dll",
      "MSVCP140.dll",        "MSVCP140D.dll",    "libstdc++-6.dll",    "libgcc_s_seh-1.dll",
      "libwinpthread-1.dll", "msvcp_win.dll",    "sechost.dll",        "ADVAPI32.dll",
  };
  const SignatureFrame own{"Ortivo.exe", "Document::Save"};
  for (const char* module : kModules) {
    const std::vector<SignatureFrame> frames = {{module, "RaiseException"}, own};
    const SignatureFrame* naming = fennick_analysis::FrameNamingTheCrash(frames);
    EXPECT_EQ(naming ? naming->function : "", "Document::Save") << module;
  }
}

}  // namespace
