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
    WriteDump(folder / name, 64);
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
  WriteDump(folder / "a.dmp", 64);
  WriteDump(folder / "Q.dmp", 64);
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
  WriteDump(folder / "c.dmp", 64);
  EXPECT_EQ(ScanAndListUploads(folder.path(), 12), (std::vector<std::string>{"b.dmp", "c.dmp"}));
}

TEST(ScanDumpFolderTest, ReportsUnderAnyNameAreSentAsTheyAre) {
  // Names holding the marker of a removal, or as long as a name may be, are reports like
  // any other; a file merely named like something set aside stays as it is.
  TempFolder folder;
  const std::string long_stem(235, 'L');
  WriteCrashReport(folder.path(), "crash.fennick-removing-1-1");
  WriteCrashReport(folder.path(), "a.dmp.fennick-removing-2-2");
  WriteDump(folder / "y.dmp", 64);
  WriteTestFile(folder / "y.fennick-removing-7-3.crash.json", CrashMetadataJson("y.dmp", "y-id"));
  WriteDump(folder / "Ortivo.fennick-removing-.dmp", 64);
  WriteDump(folder / (long_stem + ".dmp"), 64);
  WriteTestFile(folder / (long_stem + ".crash.json"), CrashMetadataJson(long_stem + ".dmp", "L"));
  WriteTestFile(folder / "notes.txt.fennick-removing-1-2", "mine");
  EXPECT_EQ(ScanAndListUploads(folder.path(), 0),
            (std::vector<std::string>{long_stem + ".dmp", "a.dmp.fennick-removing-2-2.dmp",
                                      "crash.fennick-removing-1-1.dmp",
                                      "y.dmp", "Ortivo.fennick-removing-.dmp"}));
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(folder.path())) left.push_back(entry.path());
  EXPECT_EQ(left, std::vector<fs::path>{folder / "notes.txt.fennick-removing-1-2"});
}

}  // namespace
