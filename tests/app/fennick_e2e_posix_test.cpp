// The Linux program against the reference ingest server, fennick-ingest.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/fennick_test.h"

namespace {

namespace fs = std::filesystem;

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

TEST_F(FennickTest, ADumpNameThatIsNotUtf8IsReportedAsInvalidWithTheNameWhole) {
  // Metadata cannot name such a dump: the file written for it has an empty "dump_file" and
  // is rejected, and the log line carries the name's bytes as they are.
  WriteTestFile(dumps_ / "x\xFF.dmp", MinidumpBytes(64));
  ExpectRun({"--scan", Dumps()}, 1,
            "[Fennick] invalid metadata: " + Dumps().native() + "/x\xFF.crash.json\n");
  EXPECT_NE(ReadTestFile(dumps_ / "x\xFF.crash.json").find("\"dump_file\": \"\","),
            std::string::npos);
}

}  // namespace
