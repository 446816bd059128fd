// The pass runs in-process against a server on the built-in address 127.0.0.1:5001; the
// outcomes of single reports are covered by the end-to-end tests of the executable.
#include "pipeline/scan_dump_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pipeline/scan_uploads.h"
#include "support/environment.h"
#include "support/stderr_capture.h"
#include "support/temp_folder.h"
#include "support/test_ingest_server.h"

namespace fs = std::filesystem;

std::vector<std::string> ScanAndListUploads(const fs::path& folder, unsigned expected_failures) {
  TempFolder data_home;
  const ScopedEnvironment environment(FolderEnvironment(data_home.path()));
  TestIngestServer server(5001);
  StderrCapture quiet;
  EXPECT_EQ(ScanDumpFolder(folder), expected_failures);
  std::vector<std::string> names;
  for (const ReceivedUpload& upload : server.Uploads())
    names.push_back(upload.Find("file")->filename);
  return names;
}

namespace {

TEST(ScanDumpFolderTest, ClassifiesEntriesByExactNameAndType) {
  TempFolder folder;
  WriteCrashReport(folder.path(), "a");
  for (const char* name : {"b.dmp", "report.crash.json.dmp", "x.DMP", ".dmp", "x.dmp.tmp"}) {
    WriteTestFile(folder / name, MinidumpBytes(64));
  }
  fs::create_directory(folder / "z.dmp");
  WriteCrashReport(folder / "sub", "deep");

  EXPECT_EQ(ScanAndListUploads(folder.path(), 0),
            (std::vector<std::string>{"a.dmp", "b.dmp", "report.crash.json.dmp"}));
  for (const char* left : {"x.DMP", ".dmp", "x.dmp.tmp", "sub/deep.crash.json"}) {
    EXPECT_TRUE(fs::exists(folder / left)) << left;
  }
  EXPECT_FALSE(fs::exists(folder / "x.crash.json"));
}

TEST(ScanDumpFolderTest, ExistingReportsComeFirstThenOrphansInPathOrder) {
  TempFolder folder;
  WriteCrashReport(folder.path(), "z");
  WriteTestFile(folder / "a.dmp", MinidumpBytes(64));
  WriteTestFile(folder / "Q.dmp", MinidumpBytes(64));
  WriteTestFile(folder / "bad.crash.json", "[]");
  EXPECT_EQ(ScanAndListUploads(Utf8(folder.path()) + "//./", 1),
            (std::vector<std::string>{"z.dmp", "Q.dmp", "a.dmp"}));
  EXPECT_EQ(fs::directory_iterator(folder.path())->path().filename(), "bad.crash.json");
}

TEST(ScanDumpFolderTest, InvalidReportsTakeNoSlotFromValidOnes) {
  // Leftovers whose dumps are gone sort first; all twelve are passed over (and counted as
  // failures), and the report and the orphan after them are still sent.
  TempFolder folder;
  for (int i = 10; i < 22; ++i) {
    const std::string stem = "a" + std::to_string(i);
    WriteTestFile(folder / (stem + ".crash.json"), CrashMetadataJson(stem + ".dmp", stem));
  }
  WriteCrashReport(folder.path(), "b");
  WriteTestFile(folder / "c.dmp", MinidumpBytes(64));
  EXPECT_EQ(ScanAndListUploads(folder.path(), 12), (std::vector<std::string>{"b.dmp", "c.dmp"}));
}

}  // namespace
