// Runs the built fennick executable as a process against a server on 127.0.0.1:5001.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_folder.h"
#include "support/test_ingest_server.h"

namespace {

namespace fs = std::filesystem;

constexpr int kIngestPort = 5001;
const std::string kUsage =
    "Fennick usage:\n"
    "  Fennick.exe --report <metadata.crash.json>\n"
    "  Fennick.exe --validate <metadata.crash.json>\n"
    "  Fennick.exe --scan <dump-directory> [--scan <dump-directory>]\n"
    "  Fennick.exe\n";

std::string Line(const std::string& message, const fs::path& path) {
  return "[Fennick] " + message + path.string() + "\n";
}

class FennickTest : public ::testing::Test {
 protected:
  ProcessOutput Run(const std::vector<std::string>& args, const fs::path& program = FENNICK_EXE) {
    // Keeps the default folders and the device id away from the machine's own.
    ProcessOutput output =
        RunProcess(program, args, {{"XDG_DATA_HOME", data_home_.path()}, {"TMPDIR", temp_.path()}});
    EXPECT_EQ(output.standard_output, "") << "nothing is ever written to standard output";
    return output;
  }
  void ExpectRun(const std::vector<std::string>& args, int exit_code, const std::string& log) {
    ProcessOutput output = Run(args);
    EXPECT_EQ(output.exit_code, exit_code);
    EXPECT_EQ(output.standard_error, log);
  }
  std::string Dumps() const { return dumps_.path().string(); }
  std::string Metadata(const std::string& stem) const {
    return (dumps_ / (stem + ".crash.json")).string();
  }

  TempFolder dumps_, data_home_, temp_;
};

TEST_F(FennickTest, TypicalCrashReachesTheReferenceServerAndIsRemoved) {
  TempFolder store;
  BackgroundProcess ingest(FENNICK_INGEST_EXE, {"--port", "5001", "--store", store.path()});
  ASSERT_TRUE(WaitForPort(kIngestPort)) << ingest.StandardError();
  WriteCrashReport(dumps_.path(), "X", 70000);
  WriteTestFile(dumps_ / "orphan.dmp", MinidumpBytes(512));
  WriteTestFile(dumps_ / "x.dmp", MinidumpBytes(128));
  WriteTestFile(dumps_ / "x.crash.json", "{\"dump_file\": 5}");

  ExpectRun({"--scan", Dumps()}, 0,
            Line("upload succeeded: ", dumps_ / "X.dmp") +
                Line("upload succeeded: ", dumps_ / "x.dmp") +
                Line("upload succeeded: ", dumps_ / "orphan.dmp"));
  EXPECT_TRUE(fs::is_empty(dumps_.path()));
  EXPECT_EQ(ReadTestFile(store / "X-id" / "X.dmp"), MinidumpBytes(70000));
  EXPECT_NE(ReadTestFile(store / "X-id" / "report.json").find("20481937"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(store.path()), fs::directory_iterator()), 3);
}

TEST_F(FennickTest, ValidateAndReportModes) {
  TestIngestServer server(kIngestPort);
  WriteCrashReport(dumps_.path(), "v");
  WriteTestFile(dumps_ / "bad.crash.json", "{}");
  WriteCrashReport(dumps_.path(), "big");
  fs::resize_file(dumps_ / "big.dmp", 52428801);
  ExpectRun({"--validate", Metadata("v")}, 0, Line("validation succeeded: ", dumps_ / "v.dmp"));
  ExpectRun({"--validate", Metadata("bad")}, 1, Line("invalid metadata: ", Metadata("bad")));
  ExpectRun({"--validate", Metadata("big")}, 1,
            Line("invalid or oversized dump: ", dumps_ / "big.dmp"));
  EXPECT_TRUE(server.Uploads().empty());
  EXPECT_TRUE(fs::exists(dumps_ / "v.dmp") && fs::exists(Metadata("v")));

  fs::permissions(dumps_ / "v.dmp", fs::perms::owner_read);
  fs::permissions(Metadata("v"), fs::perms::owner_read);
  ExpectRun({"--report", Metadata("v")}, 0, Line("upload succeeded: ", dumps_ / "v.dmp"));
  EXPECT_FALSE(fs::exists(dumps_ / "v.dmp") || fs::exists(Metadata("v")));
  ASSERT_EQ(server.Uploads().size(), 1u);
  EXPECT_EQ(server.Uploads()[0].Find("device_id")->content,
            ReadTestFile(data_home_ / "Ortivo" / "Fennick" / "device_id.txt"));
}

TEST_F(FennickTest, TwelveReportsGoTenThenTwo) {
  TestIngestServer server(kIngestPort);
  std::string first_pass, second_pass;
  for (char c = 'a'; c < 'a' + 12; ++c) {
    const std::string stem(1, c);
    WriteCrashReport(dumps_.path(), stem);
    (c < 'k' ? first_pass : second_pass) += Line("upload succeeded: ", dumps_ / (stem + ".dmp"));
  }
  ExpectRun({"--scan", Dumps()}, 0, first_pass);
  ExpectRun({"--scan", Dumps()}, 0, second_pass);
  EXPECT_EQ(server.Uploads().size(), 12u);
}

TEST_F(FennickTest, FailuresKeepWhatTheServerDidNotTakeAndExitOne) {
  struct Case {
    int status;  // 0: no server at all
    const char* deletes;
    std::string expected;
    const char* left;
  };
  const std::string dump = Dumps() + "/f.dmp";
  const Case cases[] = {
      {0, nullptr, Line("upload failed, curl=7, http=0, dump=", dump), "f.dmp"},
      {200, nullptr, Line("server returned invalid response for: ", dump), "f.dmp"},
      {503, nullptr, Line("upload failed, curl=0, http=503, dump=", dump), "f.dmp"},
      {200, "f.dmp", Line("uploaded but failed to remove dump, will retry idempotently: ", dump),
       "f.crash.json"},
      {200, "f.crash.json",
       Line("uploaded but failed to remove metadata, will retry idempotently: ", Metadata("f")),
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::unique_ptr<TestIngestServer> server;
    if (c.status != 0) server = std::make_unique<TestIngestServer>(kIngestPort);
    if (server && c.deletes == nullptr) server->SetReply(c.status, "{\"code\":1}");
    if (server && c.deletes != nullptr) {
      server->SetOnUpload([&](const ReceivedUpload&) { fs::remove(dumps_ / c.deletes); });
    }
    WriteCrashReport(dumps_.path(), "f");
    ExpectRun({"--scan", Dumps()}, 1, c.expected);
    EXPECT_EQ(c.left != nullptr, fs::exists(dumps_ / (c.left ? c.left : "f.crash.json")));
    fs::remove(dumps_ / "f.dmp");
    fs::remove(Metadata("f"));
  }
}

TEST_F(FennickTest, CommandLineGrammar) {
  WriteTestFile(dumps_ / "orphan.dmp", MinidumpBytes(64));
  const std::vector<std::vector<std::string>> malformed = {{"--report"},
                                                           {"--validate"},
                                                           {"--report", Dumps(), Dumps()},
                                                           {"--scan"},
                                                           {"--scan", Dumps(), "--scan"},
                                                           {"--scan", Dumps(), "--report", Dumps()},
                                                           {"--help", "x"},
                                                           {"-H"},
                                                           {"--HELP"},
                                                           {"--Scan", Dumps()}};
  for (const std::vector<std::string>& args : malformed) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ExpectRun(args, 2, kUsage);
  }
  EXPECT_FALSE(fs::exists(dumps_ / "orphan.crash.json")) << "a malformed line scans nothing";
  ExpectRun({"-h"}, 0, kUsage);
  ExpectRun({"--help"}, 0, kUsage);
  WriteTestFile(dumps_ / "plain", "x");
  ExpectRun({"--scan", "", "--scan", Dumps() + "/missing", "--scan", Dumps() + "/plain"}, 0, "");
}

TEST_F(FennickTest, NoArgumentsScansBesideTheExecutableThenTheTemporaryFolder) {
  TestIngestServer server(kIngestPort);
  TempFolder install;
  const fs::path program = install / "fennick";
  fs::copy_file(FENNICK_EXE, program);
  ProcessOutput nothing = Run({}, program);
  EXPECT_EQ(nothing.exit_code, 0);
  EXPECT_EQ(nothing.standard_error, "");

  WriteCrashReport(install / "dumps", "beside");
  WriteCrashReport(temp_ / "OrtivoDumps", "temp");
  ProcessOutput output = Run({}, program);
  EXPECT_EQ(output.exit_code, 0);
  EXPECT_EQ(output.standard_error,
            Line("upload succeeded: ", install / "dumps" / "beside.dmp") +
                Line("upload succeeded: ", temp_ / "OrtivoDumps" / "temp.dmp"));
}

}  // namespace
