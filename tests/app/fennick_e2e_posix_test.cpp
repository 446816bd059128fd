// The Linux program against the reference ingest server, fennick-ingest.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <string>

#include "app/fennick_test.h"
#include "support/test_ingest_server.h"

namespace {

namespace fs = std::filesystem;

TEST_F(FennickTest, TypicalCrashReachesTheReferenceServerAndIsRemoved) {
  TempFolder store;
  BackgroundProcess ingest(FENNICK_INGEST_EXE, {"--port", "5001", "--store", store.path()});
  ASSERT_TRUE(WaitForPort(kIngestPort)) << ingest.StandardError();
  WriteCrashReport(dumps_.path(), "X", 70000);
  WriteDump(dumps_ / "orphan.dmp", 512);
  WriteDump(dumps_ / "x.dmp", 128);
  WriteTestFile(dumps_ / "x.crash.json", "{\"dump_file\": 5}");

  ExpectRun({"--scan", Dumps()}, 0,
            Line("upload succeeded: ", dumps_ / "X.dmp") +
                Line("upload succeeded: ", dumps_ / "x.dmp") +
                Line("upload succeeded: ", dumps_ / "orphan.dmp"));
  EXPECT_TRUE(fs::is_empty(dumps_.path()));
  EXPECT_EQ(ReadTestFile(store / "X-id" / "X.dmp"), MinidumpBytes(70000));
  EXPECT_NE(ReadTestFile(store / "X-id" / "report.json").find("20481937"), std::string::npos);
  // One folder per report; the server's index stands beside them as files.
  EXPECT_EQ(std::count_if(fs::directory_iterator(store.path()), fs::directory_iterator(),
                          [](const fs::directory_entry& entry) { return entry.is_directory(); }),
            3);
}

TEST_F(FennickTest, ParallelRunsOnOneFolderLoseNothingLeaveNothingAndKeepTheAgentsIds) {
  // 200 reports, every fifth an orphan dump, and five runs at a time, 25 times over.
  TestIngestServer server(kIngestPort);
  for (int i = 100; i < 300; ++i) {
    const std::string stem = "r" + std::to_string(i);
    if (i % 5 == 0) {
      WriteDump(dumps_ / (stem + ".dmp"), 64);
    } else {
      WriteCrashReport(dumps_.path(), stem);
    }
  }
  const char kFiveAtATime[] =
      "for w in 1 2 3 4 5; do (for i in $(seq 25); do \"$0\" --scan \"$1\" 2>/dev/null; done) & "
      "done; wait";
  RunProcess("/bin/sh", {"-c", kFiveAtATime, FENNICK_EXE, Dumps()},
             FolderEnvironment(data_home_.path(), temp_.path()));
  for (const fs::directory_entry& left : fs::recursive_directory_iterator(Dumps())) {
    ADD_FAILURE() << "left behind: " << left.path();
  }
  std::set<std::string> sent;
  for (const ReceivedUpload& upload : server.Uploads()) {
    const std::string stem = upload.Find("file")->filename.substr(0, 4);
    const std::string dump_id = upload.Find("dump_id")->content;
    sent.insert(stem);
    EXPECT_TRUE(std::stoi(stem.substr(1)) % 5 == 0 ? dump_id.size() == 36 : dump_id == stem + "-id")
        << stem << " went out as " << dump_id;
  }
  EXPECT_EQ(sent.size(), 200u);
}

TEST_F(FennickTest, ADumpNameThatIsNotUtf8IsReportedAsInvalidWithTheNameWhole) {
  // Metadata cannot name such a dump: the file written for it has an empty "dump_file" and
  // is rejected, and the log line carries the name's bytes as they are.
  WriteDump(dumps_ / "x\xFF.dmp", 64);
  ExpectRun({"--scan", Dumps()}, 1,
            "[Fennick] invalid metadata: " + Dumps().native() + "/x\xFF.crash.json\n");
  EXPECT_NE(ReadTestFile(dumps_ / "x\xFF.crash.json").find("\"dump_file\": \"\","),
            std::string::npos);
}

TEST_F(FennickTest, TheSharedTemporaryFolderIsScannedOnlyWhenItIsTheUsersOwn) {
  TestIngestServer server(kIngestPort);
  TempFolder install, elsewhere;
  const fs::path program = install / "fennick";
  fs::copy_file(FENNICK_EXE, program);
  const fs::path shared = temp_ / "OrtivoDumps";
  const std::string skipped = Line("skipped dump folder not owned by this user: ", shared);
  // Each way another user could have planted a report, and how it is undone.
  struct Case {
    const char* label;
    std::function<void()> plant;
    std::function<void()> undo;
  };
  const fs::perms group_or_others = fs::perms::group_write | fs::perms::others_write;
  std::vector<Case> cases = {
      {"writable by others",
       [&] { fs::permissions(shared, fs::perms::others_write, fs::perm_options::add); },
       [&] { fs::permissions(shared, group_or_others, fs::perm_options::remove); }},
      {"writable by the group",
       [&] { fs::permissions(shared, fs::perms::group_write, fs::perm_options::add); },
       [&] { fs::permissions(shared, group_or_others, fs::perm_options::remove); }},
      {"a link to a folder",
       [&] {
         fs::rename(shared, elsewhere / "real");
         fs::create_directory_symlink(elsewhere / "real", shared);
       },
       [&] {
         fs::remove(shared);
         fs::rename(elsewhere / "real", shared);
       }}};
  if (geteuid() == 0) {
    cases.push_back({"owned by another user",
                     [&] { ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0); },
                     [&] { ASSERT_EQ(chown(shared.c_str(), 0, 0), 0); }});
  }
  WriteCrashReport(shared, "planted");
  fs::permissions(shared, group_or_others, fs::perm_options::remove);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    c.plant();
    ProcessOutput output = Run({}, program);
    EXPECT_EQ(output.exit_code, 0);
    EXPECT_EQ(output.standard_error, skipped);
    c.undo();
  }
  EXPECT_TRUE(server.Uploads().empty());
  // A folder named on the command line is the caller's choice.
  ExpectRun({"--scan", shared}, 0, Line("upload succeeded: ", shared / "planted.dmp"));
}

TEST_F(FennickTest, FilesAreFlushedBeforeTheyAreRenamedIntoPlace) {
  // An orphan dump gets its metadata file, and the upload (to no server) the device id: each
  // is written to a temporary name, flushed, and only then renamed over its final name.
  WriteDump(dumps_ / "o.dmp", 64);
  const fs::path trace = temp_ / "strace.log";
  // LeakSanitizer cannot run under ptrace; in a sanitizer build it would fail the program.
  EnvironmentChanges environment = FolderEnvironment(data_home_.path(), temp_.path());
  environment["ASAN_OPTIONS"] = "detect_leaks=0";
  ProcessOutput output =
      RunProcess("/usr/bin/strace",
                 {"-f", "-o", trace, "-e", "trace=openat,fsync,fdatasync,rename,renameat,renameat2",
                  FENNICK_EXE, "--scan", Dumps()},
                 environment);
  ASSERT_EQ(output.exit_code, 1) << output.standard_error;
  const std::string calls = ReadTestFile(trace);
  for (const fs::path& final_path :
       {dumps_ / "o.crash.json", data_home_ / "Ortivo" / "Fennick" / "device_id.txt"}) {
    SCOPED_TRACE(final_path.string());
    // A pattern: files shared between runs are written through temporaries of each run's own.
    const std::string temporary = final_path.string() + "(?:\\.\\d+)?\\.tmp";
    std::smatch open;
    ASSERT_TRUE(std::regex_search(
        calls, open, std::regex("openat\\(AT_FDCWD, \"" + temporary + "\".* = (\\d+)\n")));
    const size_t opened = static_cast<size_t>(open.position(0));
    const size_t flushed = calls.find("fsync(" + open.str(1) + ")", opened);
    std::smatch rename;
    ASSERT_TRUE(std::regex_search(calls.cbegin() + static_cast<std::ptrdiff_t>(opened), calls.cend(),
                                  rename,
                                  std::regex("\"" + temporary + "\", (AT_FDCWD, )?\"" +
                                             final_path.string() + "\""))) << calls;
    const size_t renamed = opened + static_cast<size_t>(rename.position(0));
    EXPECT_LT(flushed, renamed) << calls;
  }
}

}  // namespace
