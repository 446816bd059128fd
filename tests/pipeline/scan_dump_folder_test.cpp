#include "pipeline/scan_dump_folder.h"

#include <filesystem>
#include <string>
#include <vector>

#include "pipeline_fixture.h"
#include "support/crash_reports.h"
#include "support/stderr_capture.h"

namespace {

namespace fs = std::filesystem;

class ScanDumpFolderTest : public PipelineTest {
 protected:
  // The "file" part names of the uploads received, in arrival order.
  std::vector<std::string> UploadedFileNames() const {
    std::vector<std::string> names;
    for (const ReceivedUpload& upload : server_.Uploads()) {
      const ReceivedPart* file = upload.Find("file");
      names.push_back(file == nullptr ? "<no file part>" : file->filename);
    }
    return names;
  }

  unsigned Scan(const fs::path& folder) {
    StderrCapture quiet;
    return ScanDumpFolder(folder);
  }
};

TEST_F(ScanDumpFolderTest, NothingToScanReturnsZero) {
  WriteTestFile(folder_ / "plain-file", "x");
  for (const fs::path& folder : {fs::path(), folder_ / "missing", folder_ / "plain-file"}) {
    EXPECT_EQ(Scan(folder), 0u) << folder;
  }
  EXPECT_TRUE(server_.Uploads().empty());
}

TEST_F(ScanDumpFolderTest, ClassifiesEntriesByExactNameAndType) {
  TempFolder elsewhere;
  WriteTestFile(elsewhere / "target.bin", MinidumpBytes(64));
  // A dangling link sorts first in most listings; the entries after it must still count.
  fs::create_symlink(elsewhere / "gone.dmp", folder_ / "broken.dmp");
  fs::create_symlink(elsewhere / "target.bin", folder_ / "y.dmp");
  WriteCrashReport(folder_.path(), "a");
  WriteTestFile(folder_ / "b.dmp", MinidumpBytes(64));
  WriteTestFile(folder_ / "report.crash.json.dmp", MinidumpBytes(64));
  WriteTestFile(folder_ / "x.DMP", MinidumpBytes(64));
  WriteTestFile(folder_ / ".dmp", MinidumpBytes(64));
  fs::create_directory(folder_ / "z.dmp");
  WriteCrashReport(folder_ / "sub", "deep");

  EXPECT_EQ(Scan(folder_.path()), 0u);

  EXPECT_EQ(UploadedFileNames(),
            (std::vector<std::string>{"a.dmp", "b.dmp", "report.crash.json.dmp", "y.dmp"}));
  EXPECT_TRUE(fs::exists(folder_ / "x.DMP"));
  EXPECT_FALSE(fs::exists(folder_ / "x.crash.json"));
  EXPECT_TRUE(fs::exists(folder_ / ".dmp"));
  EXPECT_TRUE(fs::exists(folder_ / "sub" / "deep.crash.json"));
  EXPECT_TRUE(fs::exists(elsewhere / "target.bin"));
}

TEST_F(ScanDumpFolderTest, ProcessesTenReportsPerPassInSortedOrder) {
  std::vector<std::string> expected;
  for (int i = 0; i < 12; ++i) {
    std::string stem = "r" + std::string(i < 10 ? "0" : "") + std::to_string(i);
    WriteCrashReport(folder_.path(), stem);
    expected.push_back(stem + ".dmp");
  }
  EXPECT_EQ(Scan(folder_.path()), 0u);
  EXPECT_EQ(UploadedFileNames(), std::vector<std::string>(expected.begin(), expected.begin() + 10));
  EXPECT_TRUE(fs::exists(folder_ / "r10.crash.json"));
  EXPECT_TRUE(fs::exists(folder_ / "r11.dmp"));

  EXPECT_EQ(Scan(folder_.path()), 0u);
  EXPECT_EQ(UploadedFileNames(), expected);
  EXPECT_TRUE(fs::is_empty(folder_.path()));
}

TEST_F(ScanDumpFolderTest, ExistingMetadataComesBeforeOrphansInPathOrder) {
  WriteCrashReport(folder_.path(), "z");
  WriteTestFile(folder_ / "a.dmp", MinidumpBytes(64));
  WriteTestFile(folder_ / "Q.dmp", MinidumpBytes(64));
  EXPECT_EQ(Scan(folder_.path()), 0u);
  EXPECT_EQ(UploadedFileNames(), (std::vector<std::string>{"z.dmp", "Q.dmp", "a.dmp"}));
}

TEST_F(ScanDumpFolderTest, MetadataThatNamesNoDumpOfTheFolderIsReplacedAndSentOnce) {
  struct Case {
    const char* name;
    std::string metadata;
  };
  const Case cases[] = {
      {"invalid", "{\"dump_file\":\"x.dmp\""},
      {"wrong case", CrashMetadataJson("X.dmp", "upper-id")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    WriteTestFile(folder / "x.dmp", MinidumpBytes(64));
    WriteTestFile(folder / "x.crash.json", c.metadata);
    size_t before = server_.Uploads().size();
    EXPECT_EQ(Scan(folder.path()), 0u);
    ASSERT_EQ(server_.Uploads().size(), before + 1);
    EXPECT_EQ(server_.Uploads().back().Find("file")->filename, "x.dmp");
    EXPECT_EQ(server_.Uploads().back().Find("process_name")->content, "Ortivo.exe");
    EXPECT_TRUE(fs::is_empty(folder.path()));
  }
}

TEST_F(ScanDumpFolderTest, CountsEveryReportThatDidNotFinish) {
  WriteTestFile(folder_ / "bad.crash.json", "[]");
  WriteCrashReport(folder_.path(), "good");
  server_.SetReply(500, "");
  EXPECT_EQ(Scan(folder_.path()), 2u);
  EXPECT_TRUE(fs::exists(folder_ / "bad.crash.json"));
  EXPECT_TRUE(fs::exists(folder_ / "good.dmp"));
}

TEST_F(ScanDumpFolderTest, FolderNamedWithExtraSeparatorsMatchesReferences) {
  WriteCrashReport(folder_.path(), "a");
  EXPECT_EQ(Scan(folder_.path().string() + "//./"), 0u);
  EXPECT_EQ(UploadedFileNames(), std::vector<std::string>{"a.dmp"});
  EXPECT_TRUE(fs::is_empty(folder_.path()));
}

}  // namespace
