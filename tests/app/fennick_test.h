#ifndef FENNICK_TESTS_APP_FENNICK_TEST_H_
#define FENNICK_TESTS_APP_FENNICK_TEST_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/environment.h"
#include "support/temp_folder.h"
#include "support/test_ingest_server.h"

inline constexpr int kIngestPort = 5001;

// A log line as Fennick writes it: prefix, message, the path in UTF-8, line feed.
inline std::string Line(const std::string& message, const std::filesystem::path& path) {
  return "[Fennick] " + message + Utf8(path) + "\n";
}

// Runs the built fennick executable as a process, with its own per-user data folder and
// temporary folder, and a dump folder to plant reports in.
class FennickTest : public ::testing::Test {
 protected:
  ProcessOutput Run(const std::vector<std::filesystem::path>& args,
                    const std::filesystem::path& program = FENNICK_EXE) {
    EnvironmentChanges environment = FolderEnvironment(data_home_.path(), temp_.path());
    if (!user_data_) {
      for (const auto& [name, value] : NoUserDataEnvironment()) environment[name] = value;
    }
    ProcessOutput output = RunProcess(program, args, environment);
    EXPECT_EQ(output.standard_output, "") << "nothing is ever written to standard output";
    return output;
  }
  void ExpectRun(const std::vector<std::filesystem::path>& args, int exit_code,
                 const std::string& log) {
    ProcessOutput output = Run(args);
    EXPECT_EQ(output.exit_code, exit_code);
    EXPECT_EQ(output.standard_error, log);
  }
  // The app_version of each upload when a copy of the program with `agent` beside it as
  // Ortivo.exe reports a sidecar that says "unknown" and an orphan dump.
  std::vector<std::string> UploadedAppVersions(const std::filesystem::path& agent) {
    TestIngestServer server(kIngestPort);
    TempFolder install;
    const std::filesystem::path program = install / std::filesystem::path(FENNICK_EXE).filename();
    std::filesystem::copy_file(FENNICK_EXE, program);
    std::filesystem::copy_file(agent, install / "Ortivo.exe");
    WriteDump(dumps_ / "a.dmp", 64);
    WriteTestFile(Metadata("a"), R"({"dump_id":"A","dump_file":"a.dmp","app_version":"unknown"})");
    WriteDump(dumps_ / "b.dmp", 64);
    EXPECT_EQ(Run({"--scan", Dumps()}, program).exit_code, 0);
    std::vector<std::string> versions;
    for (const ReceivedUpload& upload : server.Uploads()) {
      versions.push_back(upload.Find("app_version") ? upload.Find("app_version")->content : "");
    }
    return versions;
  }
  const std::filesystem::path& Dumps() const { return dumps_.path(); }
  std::filesystem::path Metadata(const std::string& stem) const {
    return dumps_ / (stem + ".crash.json");
  }

  TempFolder dumps_, data_home_, temp_;
  bool user_data_ = true;  // false: the runs have no per-user data folder at all
};

#endif  // FENNICK_TESTS_APP_FENNICK_TEST_H_
