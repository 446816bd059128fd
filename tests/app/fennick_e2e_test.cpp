// Runs the built fennick executable as a process against a server on 127.0.0.1:5001.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/fennick_test.h"
#include "support/native_files.h"
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
  TempFolder elsewhere;
  const fs::path dump = dumps_ / "f.dmp";
  const fs::path metadata = Metadata("f");
  // Files are taken away by moving rather than deleting them: Wine, unlike Windows, lets a
  // file that is still open be deleted a second time.
  const auto move_away = [&](fs::path path) {
    return [&, path] { fs::rename(path, elsewhere / "x"); };
  };
  // A new file with the same content in place of the old one. (The old one is moved away
  // first: Windows refuses to rename a file over one that is still open.)
  const auto replace = [&](fs::path path) {
    return [&, path] {
      const std::string content = ReadTestFile(path);
      fs::rename(path, elsewhere / "x");
      WriteTestFile(path, content);
    };
  };
  // The dump changed where it lies: by one byte (`extra` 0: same size) or grown by `extra`
  // bytes, its last-write time then put back as a careful writer might.
  constexpr int64_t kDumpTime = 1700000000123;
  const auto rewrite = [&](size_t extra, bool restore_time) {
    return [&, extra, restore_time] {
      std::string content = ReadTestFile(dump);
      content[10] ^= 1;
      WriteTestFile(dump, content + std::string(extra, 'x'));
      if (restore_time) SetLastWriteTime(dump, kDumpTime);
    };
  };
  const std::string dump_kept =
      Line("uploaded but failed to remove dump, will retry idempotently: ", dump);
  const std::string metadata_kept =
      Line("uploaded but failed to remove metadata, will retry idempotently: ", metadata);
  struct Case {
    int status;  // 0: no server at all
    std::string reply;
    std::function<void()> during_upload;
    std::string expected;
    std::vector<std::string> left;
  };
  const Case cases[] = {
      {0,
       "",
       nullptr,
       Line("upload failed, curl=7, http=0, dump=", dump),
       {"f.crash.json", "f.dmp"}},
      {200,
       R"({"code":1})",
       nullptr,
       Line("server returned invalid response for: ", dump),
       {"f.crash.json", "f.dmp"}},
      {503,
       "",
       nullptr,
       Line("upload failed, curl=0, http=503, dump=", dump),
       {"f.crash.json", "f.dmp"}},
      {200,
       R"({"code":0})" + std::string(1, '\0') + R"({"code":1} garbage)",
       nullptr,
       Line("server returned invalid response for: ", dump),
       {"f.crash.json", "f.dmp"}},
      {200, R"({"code":0})", move_away(dump), dump_kept, {"f.crash.json"}},
      {200, R"({"code":0})", replace(dump), dump_kept, {"f.crash.json", "f.dmp"}},
      {200, R"({"code":0})", rewrite(0, false), dump_kept, {"f.crash.json", "f.dmp"}},
      {200, R"({"code":0})", rewrite(4096, true), dump_kept, {"f.crash.json", "f.dmp"}},
      {200, R"({"code":0})", rewrite(0, true), dump_kept, {"f.crash.json", "f.dmp"}},
      {200, R"({"code":0})", move_away(metadata), metadata_kept, {}},
      {200, R"({"code":0})", replace(metadata), metadata_kept, {"f.crash.json"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    std::unique_ptr<TestIngestServer> server;
    if (c.status != 0) {
      server = std::make_unique<TestIngestServer>(kIngestPort);
      server->SetReply(c.status, c.reply);
      if (c.during_upload) server->SetOnUpload([&](const ReceivedUpload&) { c.during_upload(); });
    }
    WriteCrashReport(dumps_.path(), "f");
    SetLastWriteTime(dump, kDumpTime);
    ExpectRun({"--scan", Dumps()}, 1, c.expected);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(Dumps()))
      left.push_back(Utf8(entry.path().filename()));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, c.left);
    for (const fs::path& path : {dump, metadata, elsewhere / "x"}) fs::remove(path);
  }
}

TEST_F(FennickTest, ADumpStillBeingWrittenIsKeptAndSentWholeByTheNextRun) {
  TestIngestServer server(kIngestPort);
  WriteCrashReport(dumps_.path(), "g", 4096);
  server.SetOnUpload([&](const ReceivedUpload& upload) {
    if (upload.Find("file")->content.size() == 4096)
      AppendTestFile(dumps_ / "g.dmp", std::string(4096, 'x'));
  });
  ExpectRun(
      {"--scan", Dumps()}, 1,
      Line("uploaded but failed to remove dump, will retry idempotently: ", dumps_ / "g.dmp"));
  ExpectRun({"--scan", Dumps()}, 0, Line("upload succeeded: ", dumps_ / "g.dmp"));
  ASSERT_EQ(server.Uploads().size(), 2u);
  EXPECT_TRUE(server.Uploads()[1].Find("file")->content ==
              MinidumpBytes(4096) + std::string(4096, 'x'));
  EXPECT_TRUE(fs::is_empty(Dumps()));
}

TEST_F(FennickTest, ABrokenStandardErrorDoesNotEndTheRun) {
  TestIngestServer server(kIngestPort);
  for (const char* stem : {"a", "b", "c"}) WriteCrashReport(dumps_.path(), stem);
  EXPECT_EQ(RunProcessWithBrokenErrorPipe(FENNICK_EXE, {"--scan", Dumps()},
                                          FolderEnvironment(data_home_.path(), temp_.path())),
            0);
  EXPECT_EQ(server.Uploads().size(), 3u);
  EXPECT_TRUE(fs::is_empty(Dumps()));
}

TEST_F(FennickTest, EveryFolderIsScannedWhateverFailedBefore) {
  TestIngestServer server(kIngestPort);
  TempFolder second;
  // The orphan's temporary metadata name is taken by a folder: it cannot be reported, which
  // alone makes the run a failure.
  WriteDump(dumps_ / "x.dmp", 64);
  fs::create_directory(dumps_ / "x.crash.json.tmp");
  WriteCrashReport(second.path(), "s");
  ExpectRun({"--scan", Dumps(), "--scan", second.path()}, 1,
            Line("cannot write metadata for dump: ", dumps_ / "x.dmp") +
                Line("upload succeeded: ", second / "s.dmp"));
  EXPECT_TRUE(fs::exists(dumps_ / "x.dmp"));
}

TEST_F(FennickTest, ReportsTheServerKeepsRefusingTakeTurnsWithNewerOnes) {
  // Twelve reports refused on every run sort before a good one, which is still sent within
  // ceil(12 / 10) + 1 runs; no run sends more than ten. Without a per-user data folder the
  // turns are kept in the dump folder.
  const fs::path per_user_state = data_home_ / "Ortivo" / "Fennick" / "upload_attempts.json";
  const fs::path dump_folder_state = dumps_ / ".fennick-upload-attempts.json";
  for (const bool user_data : {true, false}) {
    SCOPED_TRACE(user_data ? "per-user data folder" : "no per-user data folder");
    user_data_ = user_data;
    TestIngestServer server(kIngestPort);
    server.SetRefusal([](const ReceivedUpload& upload) {
      return upload.Find("dump_id")->content != "z-id";
    });
    for (int i = 10; i < 22; ++i) WriteCrashReport(dumps_.path(), "a" + std::to_string(i));
    WriteCrashReport(dumps_.path(), "z");
    for (int run = 0; run < 3 && fs::exists(dumps_ / "z.dmp"); ++run) {
      const size_t before = server.Uploads().size();
      EXPECT_EQ(Run({"--scan", Dumps()}).exit_code, 1);
      EXPECT_LE(server.Uploads().size() - before, 10u);
    }
    EXPECT_FALSE(fs::exists(dumps_ / "z.dmp"));
    EXPECT_EQ(fs::exists(per_user_state), user_data);
    // Tried least recently now are a17 to a19 (only in the first run), and they go first; a
    // state file that cannot be read leaves the sorted order, a10 first.
    for (const auto& [state, first] : {std::pair<std::string, std::string>{"", "a17-id"},
                                       std::pair<std::string, std::string>{"{not json", "a10-id"}}) {
      if (!state.empty()) WriteTestFile(user_data ? per_user_state : dump_folder_state, state);
      const size_t before = server.Uploads().size();
      Run({"--scan", Dumps()});
      ASSERT_GT(server.Uploads().size(), before);
      EXPECT_EQ(server.Uploads()[before].Find("dump_id")->content, first);
    }
    for (const auto& entry : fs::directory_iterator(Dumps())) fs::remove(entry.path());
    fs::remove(per_user_state);
  }
}

TEST_F(FennickTest, ADumpWrittenMomentsAgoWaitsForItsAgentsMetadata) {
  // The agent writes its dump, then its metadata: a pass in between neither sends the dump
  // nor writes metadata for it. A temporary left by a run killed while writing it (metadata
  // whose dump is gone, or the turns) goes, unless something is writing it now.
  TestIngestServer server(kIngestPort);
  WriteTestFile(dumps_ / "a.dmp", MinidumpBytes(64));
  const std::vector<std::string> leftovers = {"gone.crash.json.tmp",
                                              ".fennick-upload-attempts.json.4242.tmp"};
  for (const std::string& left : leftovers) {
    WriteTestFile(dumps_ / left, "{");
    SetLastWriteTime(dumps_ / left, 1700000000123);
  }
  WriteTestFile(dumps_ / "new.crash.json.tmp", "{");
  ExpectRun({"--scan", Dumps()}, 0, "");
  EXPECT_TRUE(server.Uploads().empty());
  EXPECT_FALSE(fs::exists(Metadata("a")));
  for (const std::string& left : leftovers) EXPECT_FALSE(fs::exists(dumps_ / left)) << left;
  EXPECT_TRUE(fs::exists(dumps_ / "new.crash.json.tmp"));

  WriteTestFile(Metadata("a"), CrashMetadataJson("a.dmp", "agent-id"));
  ExpectRun({"--scan", Dumps()}, 0, Line("upload succeeded: ", dumps_ / "a.dmp"));
  ASSERT_EQ(server.Uploads().size(), 1u);
  EXPECT_EQ(server.Uploads()[0].Find("dump_id")->content, "agent-id");
}

TEST_F(FennickTest, AnOrphanWhoseInvalidMetadataAnotherProgramHoldsIsAFailure) {
  TestIngestServer server(kIngestPort);
  WriteDump(dumps_ / "h.dmp", 64);
  WriteTestFile(Metadata("h"), "{ not json");
  const FileHold other_program(Metadata("h"));
  ExpectRun({"--scan", Dumps()}, 1,
            Line("cannot write metadata for dump: ", dumps_ / "h.dmp") +
                Line("invalid metadata: ", Metadata("h")));
  EXPECT_TRUE(server.Uploads().empty());
  EXPECT_EQ(ReadTestFile(Metadata("h")), "{ not json");
}

TEST_F(FennickTest, AnUnknownAppVersionIsTheAgentsBesideTheProgram) {
  EXPECT_EQ(UploadedAppVersions(FENNICK_FIXTURES_DIR "/plain/Ortivo.exe"),
            (std::vector<std::string>{"pe-6553F100", "pe-6553F100"}));
}

TEST_F(FennickTest, CommandLineGrammar) {
  WriteDump(dumps_ / "orphan.dmp", 64);
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
