#ifndef FENNICK_TESTS_TOOLS_CRASHER_RUNS_H_
#define FENNICK_TESTS_TOOLS_CRASHER_RUNS_H_

// The crash fixture (tests/fixtures/crasher.cpp) run under Wine: each of its builds crashes
// three calls deep and writes a minidump of itself.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "crasher_facts.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

inline constexpr char kCrasherSource[] = FENNICK_SOURCE_DIR "/tests/fixtures/crasher.cpp";

// The line of `source` marked "// <marker>: <function>", 0 when none is.
inline int FindMarkedLine(const std::filesystem::path& source, const std::string& marker,
                          const std::string& function) {
  std::istringstream lines(ReadTestFile(source));
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (line.ends_with("// " + marker + ": " + function)) return number;
  }
  return 0;
}

// The line of the crasher's source marked "// <marker>: <function>".
inline int MarkedLine(const std::string& marker, const std::string& function) {
  const int line = FindMarkedLine(kCrasherSource, marker, function);
  if (line == 0) ADD_FAILURE() << "no line marked " << marker << ": " << function;
  return line;
}

// A file of one of the fixture's builds ("crasher-dwarf", "crasher-pdb", ...).
inline std::filesystem::path Fixture(const std::string& build, const std::string& file) {
  return std::filesystem::path(FENNICK_FIXTURES_DIR) / build / file;
}

struct NestedCrash {
  std::string dump;
  std::map<std::string, std::string> facts;  // what the crasher says of itself
};

inline NestedCrash CrashUnderWine(const std::string& build) {
  TempFolder folder;
  const ProcessOutput output =
      RunProcess(FENNICK_SOURCE_DIR "/cmake/wine-emulator.sh",
                 {Fixture(build, "Ortivo.exe"), "nested-write", folder / "crash.dmp"});
  EXPECT_TRUE(std::filesystem::exists(folder / "crash.dmp")) << output.standard_error;
  return {ReadTestFile(folder / "crash.dmp"), ParseCrasherFacts(output.standard_output)};
}

#endif  // FENNICK_TESTS_TOOLS_CRASHER_RUNS_H_
