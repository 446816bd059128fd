#include <gtest/gtest.h>

#include "pipeline/scan_uploads.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

TEST(ScanDumpFolderPosixTest, FollowsLinksToFilesAndADanglingLinkHidesNothing) {
  TempFolder folder, elsewhere;
  WriteTestFile(elsewhere / "target.bin", MinidumpBytes(64));
  fs::create_symlink(elsewhere / "gone.dmp", folder / "0-broken.dmp");
  fs::create_symlink(elsewhere / "target.bin", folder / "y.dmp");
  WriteTestFile(folder / "b.dmp", MinidumpBytes(64));
  EXPECT_EQ(ScanAndListUploads(folder.path(), 0), (std::vector<std::string>{"b.dmp", "y.dmp"}));
  EXPECT_TRUE(fs::exists(elsewhere / "target.bin")) << "only the link is removed";
}

TEST(ScanDumpFolderPosixTest, AValidSidecarNamingAnotherCaseIsKeptAndItsDumpWaits) {
  // Names are exact here: x.crash.json names X.dmp, which is not there, and x.dmp, an orphan,
  // finds its metadata name held by that valid file. Both are failures; neither is lost.
  TempFolder folder;
  WriteTestFile(folder / "x.dmp", MinidumpBytes(64));
  const std::string agent = CrashMetadataJson("X.dmp", "upper-id");
  WriteTestFile(folder / "x.crash.json", agent);
  EXPECT_EQ(ScanAndListUploads(folder.path(), 2), std::vector<std::string>{});
  EXPECT_EQ(ReadTestFile(folder / "x.crash.json"), agent);
}
