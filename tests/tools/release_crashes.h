#ifndef FENNICK_TESTS_TOOLS_RELEASE_CRASHES_H_
#define FENNICK_TESTS_TOOLS_RELEASE_CRASHES_H_

// Ortivo as it is released (tests/fixtures/release) run under Wine: two releases whose code
// moves, each built by MinGW's GCC (DWARF kept in debug/) and by clang and lld (a PDB), each
// shipped stripped. Every kind of crash ends in a minidump the program writes of itself.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "crasher_facts.h"
#include "support/child_process.h"
#include "support/temp_folder.h"
#include "tools/crasher_runs.h"

inline constexpr char kReleaseSourceDir[] = FENNICK_SOURCE_DIR "/tests/fixtures/release";

// The builds, each a folder of the fixtures holding the shipped Ortivo.exe.
inline const std::vector<std::string> kReleaseBuilds = {"release-mingw-1", "release-mingw-2",
                                                        "release-pdb-1", "release-pdb-2"};

inline constexpr uint32_t kAccessViolation = 0xC0000005;
inline constexpr uint32_t kStackOverflow = 0xC00000FD;
inline constexpr uint32_t kFatalAppExit = 0x40000015;  // abort, as the handler reports it

struct ReleaseCrashKind {
  std::string kind;      // the program's command-line word
  std::string function;  // the program's own function the crash must be named by
  std::string marker;    // "crash-line" where it faults, "call-line" where it calls what does
  std::string source;    // its file in tests/fixtures/release
  uint32_t exception_code;
  std::string crash_module;  // the module holding the exception address
};

// Where a null strlen faults, abort's handler captures its context, and the stack probe of
// an overflowing frame runs: in the C runtime or in the program's handler and runtime code.
inline const std::vector<ReleaseCrashKind> kReleaseCrashKinds = {
    {"null-write", "ortivo::WriteHeader", "crash-line", "document.cpp", kAccessViolation,
     "Ortivo.exe"},
    {"stack-overflow", "ortivo::ParseNested", "call-line", "parser.cpp", kStackOverflow,
     "Ortivo.exe"},
    {"uncaught-exception", "ortivo::ParseVersion", "call-line", "parser.cpp", kFatalAppExit,
     "Ortivo.exe"},
    {"assert", "ortivo::CheckPageCount", "call-line", "document.cpp", kFatalAppExit,
     "Ortivo.exe"},
    {"strlen-null", "ortivo::MeasureName", "call-line", "parser.cpp", kAccessViolation,
     "msvcrt.dll"},
    {"abort", "ortivo::CloseDocument", "call-line", "document.cpp", kFatalAppExit,
     "Ortivo.exe"},
};

// The path of a kind's source as the debug files name it, and the line marked in it.
inline std::filesystem::path ReleaseSource(const ReleaseCrashKind& kind) {
  return std::filesystem::path(kReleaseSourceDir) / kind.source;
}
inline int ReleaseMarkedLine(const ReleaseCrashKind& kind) {
  const int line = FindMarkedLine(ReleaseSource(kind), kind.marker, kind.function);
  if (line == 0) ADD_FAILURE() << "no line marked " << kind.marker << ": " << kind.function;
  return line;
}

// The files a build keeps beside what it ships, to be added as its symbols: the unstripped
// executable (release-mingw-<n>/debug/Ortivo.exe) or the PDB (release-pdb-<n>/Ortivo.pdb).
inline std::filesystem::path ReleaseDebugFile(const std::string& build) {
  return build.starts_with("release-pdb-") ? Fixture(build, "Ortivo.pdb")
                                           : Fixture(build, "debug/Ortivo.exe");
}

struct ReleaseCrash {
  std::string dump;
  // What the program says of itself: release, handler, exception_code, exception_address,
  // module, module_base, module_size, function_offset (see tests/fixtures/release/main.cpp).
  std::map<std::string, std::string> facts;
};

// Runs the shipped Ortivo.exe of `build` under Wine to crash the way `kind` names.
inline ReleaseCrash RunReleaseCrash(const std::string& build, const std::string& kind) {
  TempFolder folder;
  const ProcessOutput output = RunProcess(FENNICK_SOURCE_DIR "/cmake/wine-emulator.sh",
                                          {Fixture(build, "Ortivo.exe"), kind, folder / "crash.dmp"});
  EXPECT_TRUE(std::filesystem::exists(folder / "crash.dmp"))
      << build << " " << kind << ": " << output.standard_error;
  return {ReadTestFile(folder / "crash.dmp"), ParseCrasherFacts(output.standard_output)};
}

#endif  // FENNICK_TESTS_TOOLS_RELEASE_CRASHES_H_
