// Runs the built fennick executable as a process against a server on 127.0.0.1:5001.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/crash_reports.h"
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
    ProcessOptions options;
    // Keep the default folders and the device id away from the machine's own.
    options.environment = {{"XDG_DATA_HOME", data_home_.path().string()},
                           {"TMPDIR", temp_.path().string()}};
    ProcessOutput output = RunProcess(program, args, options);
    EXPECT_EQ(output.standard_output, "") << "fennick never writes to standard output";
    return output;
  }

  std::string Scan() const { return dumps_.path().string(); }

  TempFolder dumps_;
  TempFolder data_home_;
  TempFolder temp_;
};

// Against the reference ingest server, as a deployment would run.
class FennickWithIngestTest : public FennickTest {
 protected:
  void SetUp() override { ASSERT_TRUE(WaitForPort(kIngestPort)) << server_.StandardError(); }

  TempFolder store_;
  BackgroundProcess server_{FENNICK_INGEST_EXE,
                            {"--port", std::to_string(kIngestPort), "--store", store_.path()}};
};

TEST_F(FennickWithIngestTest, TypicalCrashIsUploadedThenRemoved) {
  WriteCrashReport(dumps_.path(), "X", 70000);
  const std::string dump_bytes = ReadTestFile(dumps_ / "X.dmp");

  ProcessOutput output = Run({"--scan", Scan()});

  EXPECT_EQ(output.exit_code, 0);
  EXPECT_EQ(output.standard_error, Line("upload succeeded: ", dumps_ / "X.dmp"));
  EXPECT_TRUE(fs::is_empty(dumps_.path()));
  EXPECT_EQ(ReadTestFile(store_ / "X-id" / "X.dmp"), dump_bytes);
  EXPECT_NE(ReadTestFile(store_ / "X-id" / "report.json").find("20481937"), std::string::npos);
}

TEST_F(FennickWithIngestTest, OrphanDumpIsReportedInTheSamePass) {
  WriteTestFile(dumps_ / "b.dmp", MinidumpBytes(512));
  ProcessOutput output = Run({"--scan", Scan()});
  EXPECT_EQ(output.exit_code, 0);
  EXPECT_EQ(output.standard_error, Line("upload succeeded: ", dumps_ / "b.dmp"));
  EXPECT_TRUE(fs::is_empty(dumps_.path()));
  int stored = 0;
  for (const fs::directory_entry& report : fs::directory_iterator(store_.path())) {
    EXPECT_EQ(ReadTestFile(report.path() / "b.dmp"), MinidumpBytes(512));
    ++stored;
  }
  EXPECT_EQ(stored, 1);
}

TEST_F(FennickWithIngestTest, InvalidMetadataIsReplacedAndSentOnce) {
  WriteTestFile(dumps_ / "x.dmp", MinidumpBytes(128));
  WriteTestFile(dumps_ / "x.crash.json", "{\"dump_file\": 5}");
  ProcessOutput output = Run({"--scan", Scan()});
  EXPECT_EQ(output.exit_code, 0);
  EXPECT_EQ(output.standard_error, Line("upload succeeded: ", dumps_ / "x.dmp"));
  EXPECT_TRUE(fs::is_empty(dumps_.path()));
}

TEST_F(FennickTest, ValidateChecksWithoutSendingOrRemoving) {
  TestIngestServer server(kIngestPort);
  WriteCrashReport(dumps_.path(), "v");
  ProcessOutput output = Run({"--validate", (dumps_ / "v.crash.json").string()});
  EXPECT_EQ(output.exit_code, 0);
  EXPECT_EQ(output.standard_error, Line("validation succeeded: ", dumps_ / "v.dmp"));
  EXPECT_TRUE(fs::exists(dumps_ / "v.dmp"));
  EXPECT_TRUE(fs::exists(dumps_ / "v.crash.json"));
  EXPECT_TRUE(server.Uploads().empty());

  WriteTestFile(dumps_ / "bad.crash.json", "{}");
  output = Run({"--validate", (dumps_ / "bad.crash.json").string()});
  EXPECT_EQ(output.exit_code, 1);
  EXPECT_EQ(output.standard_error, Line("invalid metadata: ", dumps_ / "bad.crash.json"));
}

TEST_F(FennickTest, ReportModeUploadsOneReport) {
  TestIngestServer server(kIngestPort);
  WriteCrashReport(dumps_.path(), "r");
  ProcessOutput output = Run({"--report", (dumps_ / "r.crash.json").string()});
  EXPECT_EQ(output.exit_code, 0);
  EXPECT_EQ(output.standard_error, Line("upload succeeded: ", dumps_ / "r.dmp"));
  const std::vector<ReceivedUpload> uploads = server.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  ASSERT_NE(uploads[0].Find("device_id"), nullptr);
  EXPECT_EQ(uploads[0].Find("device_id")->content,
            ReadTestFile(data_home_ / "Ortivo" / "Fennick" / "device_id.txt"));
  EXPECT_TRUE(fs::is_empty(dumps_.path()));
}

TEST_F(FennickTest, TwelveReportsGoTenThenTwo) {
  TestIngestServer server(kIngestPort);
  for (char c = 'a'; c < 'a' + 12; ++c) WriteCrashReport(dumps_.path(), std::string(1, c));
  ProcessOutput first = Run({"--scan", Scan()});
  EXPECT_EQ(first.exit_code, 0);
  std::string expected;
  for (char c = 'a'; c < 'a' + 10; ++c) {
    expected += Line("upload succeeded: ", dumps_ / (std::string(1, c) + ".dmp"));
  }
  EXPECT_EQ(first.standard_error, expected);

  ProcessOutput second = Run({"--scan", Scan()});
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.standard_error, Line("upload succeeded: ", dumps_ / "k.dmp") +
                                       Line("upload succeeded: ", dumps_ / "l.dmp"));
  EXPECT_EQ(server.Uploads().size(), 12u);
}

TEST_F(FennickTest, FailuresKeepTheReportAndExitOne) {
  struct Case {
    const char* name;
    int status;  // 0: no server at all
    std::string expected_message;
  };
  const Case cases[] = {
      {"server down", 0, "upload failed, curl=7, http=0, dump="},
      {"server refusing", 200, "server returned invalid response for: "},
      {"server error", 503, "upload failed, curl=0, http=503, dump="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<TestIngestServer> server;
    if (c.status != 0) {
      server = std::make_unique<TestIngestServer>(kIngestPort);
      server->SetReply(c.status, "{\"code\":1}");
    }
    WriteCrashReport(dumps_.path(), "f");
    ProcessOutput output = Run({"--scan", Scan()});
    EXPECT_EQ(output.exit_code, 1);
    EXPECT_EQ(output.standard_error, Line(c.expected_message, dumps_ / "f.dmp"));
    EXPECT_TRUE(fs::exists(dumps_ / "f.dmp"));
    EXPECT_TRUE(fs::exists(dumps_ / "f.crash.json"));
  }
}

TEST_F(FennickTest, DumpThatCannotBeRemovedIsLeftForTheNextRun) {
  TestIngestServer server(kIngestPort);
  WriteCrashReport(dumps_.path(), "d");
  server.SetOnUpload([&](const ReceivedUpload&) { fs::remove(dumps_ / "d.dmp"); });
  ProcessOutput output = Run({"--scan", Scan()});
  EXPECT_EQ(output.exit_code, 1);
  EXPECT_EQ(
      output.standard_error,
      Line("uploaded but failed to remove dump, will retry idempotently: ", dumps_ / "d.dmp"));
  EXPECT_TRUE(fs::exists(dumps_ / "d.crash.json"));
}

TEST_F(FennickTest, MalformedCommandLinesShowUsageAndScanNothing) {
  WriteTestFile(dumps_ / "orphan.dmp", MinidumpBytes(64));
  const std::vector<std::vector<std::string>> lines = {
      {"--report"},
      {"--validate"},
      {"--report", Scan(), Scan()},
      {"--scan"},
      {"--scan", Scan(), "--scan"},
      {"--scan", Scan(), "--report", Scan()},
      {"--help", "x"},
      {"-H"},
      {"--HELP"},
      {"--Scan", Scan()},
  };
  for (const std::vector<std::string>& args : lines) {
    SCOPED_TRACE(::testing::PrintToString(args));
    ProcessOutput output = Run(args);
    EXPECT_EQ(output.exit_code, 2);
    EXPECT_EQ(output.standard_error, kUsage);
  }
  EXPECT_FALSE(fs::exists(dumps_ / "orphan.crash.json"));
}

TEST_F(FennickTest, HelpShowsUsageAndSucceeds) {
  for (const char* option : {"-h", "--help"}) {
    ProcessOutput output = Run({option});
    EXPECT_EQ(output.exit_code, 0) << option;
    EXPECT_EQ(output.standard_error, kUsage) << option;
  }
}

TEST_F(FennickTest, EmptyOrMissingFoldersScanNothing) {
  ProcessOutput output = Run({"--scan", "", "--scan", (dumps_ / "missing").string()});
  EXPECT_EQ(output.exit_code, 0);
  EXPECT_EQ(output.standard_error, "");
}

TEST_F(FennickTest, NoArgumentsScansTheDefaultFolders) {
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
  EXPECT_EQ(server.Uploads().size(), 2u);
}

}  // namespace
