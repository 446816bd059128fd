#include <gtest/gtest.h>

#include <string>

#include "metadata/crash_metadata.h"
#include "metadata/orphan_metadata.h"
#include "support/temp_folder.h"

// Wine cannot make a file whose name holds a lone surrogate, so the writer is given such a
// dump name directly.
TEST(CrashMetadataWinTest, ADumpNameWithALoneSurrogateIsWrittenEmptyAndRejected) {
  TempFolder folder;
  CrashMetadata record;
  record.dump_path = folder / L"x\xD800.dmp";
  record.metadata_path = folder / "x.crash.json";
  record.dump_id = "ID";
  ASSERT_EQ(WriteCrashMetadataFile(record), MoveResult::kMoved);
  EXPECT_NE(ReadTestFile(record.metadata_path).find("\"dump_file\": \"\","), std::string::npos);
  CrashMetadata loaded;
  EXPECT_FALSE(LoadCrashMetadata(record.metadata_path, &loaded));
}
