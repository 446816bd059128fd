#include "frame_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "signature_rules.h"

namespace {

using fennick_analysis::SignatureFrame;
using fennick_analysis::SignatureRules;
using Json = nlohmann::ordered_json;

// The rules the server ships.
SignatureRules ShippedRules() {
  fennick_analysis::LoadedRules loaded =
      fennick_analysis::LoadSignatureRules(FENNICK_SIGNATURE_RULES_FILE);
  EXPECT_TRUE(loaded.rules) << loaded.error;
  return loaded.rules.value_or(SignatureRules());
}

TEST(FrameSignatureTest, NamesTheCrashByTheFirstFrameTheRulesDoNotSkip) {
  const SignatureFrame own{"Ortivo.exe", "Document::Save", "context"};
  const SignatureFrame caller{"Ortivo.exe", "main", "cfi"};
  const SignatureFrame unnamed{"Ortivo.exe", "", "cfi"};
  const SignatureFrame system{"KERNELBASE.dll", "", "context"};
  const SignatureFrame runtime{"ucrtbase.dll", "memcpy", "cfi"};
  const SignatureFrame linked_probe{"Ortivo.exe", "___chkstk_ms", "context"};
  const SignatureFrame terminate{"Ortivo.exe", "__gnu_cxx::__verbose_terminate_handler", "cfi"};
  const SignatureFrame nowhere{"", "", "cfi"};
  const SignatureFrame scanned{"Ortivo.exe", "Document::Load", "scan"};
  const SignatureFrame scanned_system{"ntdll.dll", "", "scan"};
  const SignatureFrame checked{"Ortivo.exe", "Document::Load", "checked_scan"};
  const struct {
    std::vector<SignatureFrame> frames;
    std::string function;  // empty: it stays module+offset
  } kCases[] = {
      {{own, caller}, "Document::Save"},
      {{system, runtime, own}, "Document::Save"},
      {{linked_probe, terminate, caller}, "main"},
      {{unnamed, caller}, ""},
      {{nowhere, own}, ""},
      {{system, scanned, own}, "Document::Save"},
      {{system, scanned}, ""},
      {{scanned_system, own}, "Document::Save"},
      {{system, checked, own}, "Document::Load"},
      {{own, checked}, "Document::Save"},
      {{system, runtime}, ""},
      {{}, ""},
  };
  const SignatureRules rules = ShippedRules();
  for (const auto& c : kCases) {
    const SignatureFrame* naming = fennick_analysis::FrameNamingTheCrash(c.frames, rules);
    EXPECT_EQ(naming ? naming->function : "", c.function) << c.frames.size() << " frames";
  }
}

TEST(FrameSignatureTest, GlobsMatchModulesWithoutCaseAndFunctionsByTheirLastComponent) {
  const SignatureRules rules = ShippedRules();
  const struct {
    bool module;
    const char* name;
    bool skipped;
  } kCases[] = {
      {true, "KERNEL32.DLL", true},
      {true, "libstdc++-6.dll", true},
      {true, "Ortivo.exe", false},
      {true, "ntdll.dll.bak", false},
      {false, "_alloca_probe_16", true},
      {false, "_Unwind_RaiseException", true},
      {false, "RtlpLogHeapFailure", true},
      {false, "RtlReportFatalFailure", true},
      {false, "std::terminate", true},
      {false, "std::abort", true},
      {false, "Store<std::memcpy>::Put", false},
      {false, "terminate", false},
      {false, "Abort", false},
      {false, "memcpy_s", false},
      {false, "Reader::strlen_of", false},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(c.module ? rules.SkipsModule(c.name) : rules.SkipsFunction(c.name), c.skipped)
        << c.name;
  }
  EXPECT_TRUE(fennick_analysis::GlobMatches("a*b?c*", "aXXbYcZZ", false));
  EXPECT_FALSE(fennick_analysis::GlobMatches("a*b?c", "aXXbYcZZ", false));
}

TEST(FrameSignatureTest, RefusesMalformedRulesNamingTheLine) {
  const struct {
    const char* text;
    size_t line;
  } kCases[] = {
      {"module ntdll.dll\n", 1},
      {"# rules\nversion 2\nversion 3\n", 3},
      {"version 2\n\nfunctoin abort\n", 3},
      {"version 2\nmodule\n", 2},
      {"version 2\nfunction a b\n", 2},
      {"# nothing\n", 1},
  };
  for (const auto& c : kCases) {
    const SignatureRules::Parsed parsed = SignatureRules::Parse(c.text);
    EXPECT_FALSE(parsed.rules) << c.text;
    EXPECT_EQ(parsed.error_line, c.line) << c.text << parsed.error;
  }
  EXPECT_EQ(ShippedRules().version(), "1");
}

TEST(FrameSignatureTest, SignsAStoredCrashAgainFromItsFrames) {
  Json crash = {{"signature", "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Inner"},
                {"module_signature", "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x10"},
                {"frames",
                 {{{"module", "Ortivo.exe"}, {"function", "Inner"}, {"trust", "context"},
                   {"inlined", true}},
                  {{"module", "Ortivo.exe"}, {"function", "Outer"}, {"trust", "context"},
                   {"inlined", false}},
                  {{"module", "Ortivo.exe"}, {"function", "Caller"}, {"trust", "cfi"},
                   {"inlined", false}}}}};
  const SignatureRules skip_inner =
      *SignatureRules::Parse("version 7\nfunction Inner\n").rules;
  ASSERT_TRUE(fennick_analysis::SignCrash(crash, skip_inner));
  // Outer is inlined at Inner's address: the walked frame is skipped whole.
  EXPECT_EQ(crash["signature"], "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe!Caller");
  EXPECT_EQ(crash["top_function"], "Caller");
  EXPECT_EQ(crash["signature_rules"], "7");
  const SignatureRules skip_all = *SignatureRules::Parse("version 8\nmodule *.exe\n").rules;
  ASSERT_TRUE(fennick_analysis::SignCrash(crash, skip_all));
  EXPECT_EQ(crash["signature"], "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x10");
  EXPECT_EQ(crash["top_function"], nullptr);
  crash.erase("module_signature");
  EXPECT_FALSE(fennick_analysis::SignCrash(crash, skip_inner));
}

}  // namespace
