// Runs the built fennick executable as a process against a server on 127.0.0.1:5001.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/fennick_test.h"
#include "support/test_ingest_server.h"

namespace {

namespace fs = std::filesystem;

const std::string kUsage =
    "Fennick usage:\n"
    "  Fennick.exe --report <metadata.crash.json>\n"
    "  Fennick.exe --validate <metadata.crash.json>\n"
    "  Fennick.exe --scan <dump-directory> [--scan <dump-directory>]\n"
    "  Fennick.exe\n";

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
  TempFolder taken;
  struct Case {
    int status;              // 0: no server at all
    const char* moves_away;  // a file taken from the folder during the upload
    std::string expected;
    const char* left;
  };
  const fs::path dump = dumps_ / "f.dmp";
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
    if (server && c.moves_away == nullptr) server->SetReply(c.status, "{\"code\":1}");
    if (server && c.moves_away != nullptr) {
      // Moved rather than deleted: Wine, unlike Windows, lets a file that is still open be
      // deleted a second time.
      server->SetOnUpload(
          [&](const ReceivedUpload&) { fs::rename(dumps_ / c.moves_away, taken.path() / "x"); });
    }
    WriteCrashReport(dumps_.path(), "f");
    ExpectRun({"--scan", Dumps()}, 1, c.expected);
    EXPECT_EQ(c.left != nullptr, fs::exists(dumps_ / (c.left ? c.left : "f.crash.json")));
    fs::remove(dumps_ / "f.dmp");
    fs::remove(Metadata("f"));
    fs::remove(taken.path() / "x");
  }
}

TEST_F(FennickTest, CommandLineGrammar) {
  WriteTestFile(dumps_ / "orphan.dmp", MinidumpBytes(64));
  const std::vector<std::vector<fs::path>> malformed = {{"--report"},
                                                        {"--validate"},
                                                        {"--report", Dumps(), Dumps()},
                                                        {"--scan"},
                                                        {"--scan", Dumps(), "--scan"},
                                                        {"--scan", Dumps(), "--report", Dumps()},
                                                        {"--help", "x"},
                                                        {"-H"},
                                                        {"--HELP"},
                                                        {"--Scan", Dumps()}};
  for (const std::vector<fs::path>& args : malformed) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ExpectRun(args, 2, kUsage);
  }
  EXPECT_FALSE(fs::exists(dumps_ / "orphan.crash.json")) << "a malformed line scans nothing";
  ExpectRun({"-h"}, 0, kUsage);
  ExpectRun({"--help"}, 0, kUsage);
  WriteTestFile(dumps_ / "plain", "x");
  ExpectRun({"--scan", "", "--scan", dumps_ / "missing", "--scan", dumps_ / "plain"}, 0, "");
}

TEST_F(FennickTest, NoArgumentsScansBesideTheExecutableThenTheTemporaryFolder) {
  TestIngestServer server(kIngestPort);
  TempFolder install;
  const fs::path program = install / fs::path(FENNICK_EXE).filename();
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
