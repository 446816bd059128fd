#include <gtest/gtest.h>
#include <sys/stat.h>

#include "metadata/crash_metadata.h"
#include "metadata/orphan_metadata.h"
#include "support/temp_folder.h"

TEST(CrashMetadataPosixTest, NeitherAFifoNorALinkIsFollowed) {
  TempFolder folder;
  CrashMetadata record;
  // A FIFO without a writer would block an ordinary open for good.
  ASSERT_EQ(mkfifo((folder / "f.crash.json").c_str(), 0600), 0);
  EXPECT_FALSE(LoadCrashMetadata(folder / "f.crash.json", &record));
  WriteTestFile(folder / "target", "precious");
  std::filesystem::create_symlink(folder / "target", folder / "b.crash.json.tmp");
  WriteDump(folder / "b.dmp", 64);
  EXPECT_EQ(CreateOrphanMetadata(folder / "b.dmp", std::nullopt, &record), OrphanResult::kFailed);
  EXPECT_EQ(ReadTestFile(folder / "target"), "precious");
}
