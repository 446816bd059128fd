#include <gtest/gtest.h>

#include <string>

#include "platform/file_io.h"
#include "platform/text_conversion.h"
#include "support/native_files.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

TEST(FileIoTest, ReplacesReadsRemovedFilesAndRemovesReadOnlyOnes) {
  TempFolder folder;
  WriteTestFile(folder / "victim", "precious");
  ASSERT_TRUE(WriteWholeFile(folder / "new", "still here"));
  ScopedFile file = OpenFileForReading(folder / "new");
  ASSERT_TRUE(file.is_valid());
  EXPECT_TRUE(ReplaceFileDurably(folder / "new", folder / "victim"));
  EXPECT_EQ(ReadTestFile(folder / "victim"), "still here");
  EXPECT_FALSE(fs::exists(folder / "new"));
  // Milliseconds since 1970 of the last write, rounded down also before 1970.
  for (const int64_t ms : {int64_t{1700000000123}, int64_t{-500}, int64_t{-2000}}) {
    SetLastWriteTime(folder / "victim", ms);
    EXPECT_EQ(GetLastWriteTimeMs(folder / "victim"), ms);
  }
  EXPECT_EQ(GetLastWriteTimeMs(folder / "missing"), std::nullopt);

  // The replaced file, read after its removal, from a position a failed seek left alone.
  fs::permissions(folder / "victim", fs::perms::owner_read);
  ASSERT_TRUE(RemoveFile(folder / "victim"));
  EXPECT_EQ(SeekFile(file.get(), 6, SeekOrigin::kBegin), 6);
  EXPECT_EQ(SeekFile(file.get(), -7, SeekOrigin::kCurrent), std::nullopt);
  char buffer[8] = {};
  EXPECT_EQ(ReadFromFile(file.get(), buffer, 7), 4);
  EXPECT_STREQ(buffer, "here");
  EXPECT_EQ(GetFileSize(file.get()), 10);
  EXPECT_FALSE(OpenFileForReading(folder.path()).is_valid()) << "a folder is no file to read";
  file.reset();
  EXPECT_FALSE(RemoveFile(folder / "victim")) << "a file already gone is not removed again";
}

TEST(FileIoTest, RemovesOnlyTheUnchangedFileThatNoOtherRemoverHolds) {
  // A dump that grows within one time-stamp tick differs from the one sent by its size alone.
  TempFolder folder;
  const fs::path dump = folder / "x.dmp";
  WriteTestFile(dump, "MDMP");
  const std::optional<FileIdentity> sent = IdentifyFileAt(dump);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->size, 4);
  FileIdentity grown = *sent;
  grown.size = 5;
  EXPECT_FALSE(RemoveFileIfUnchanged(dump, grown));
  {
    const FileHold other_remover(dump);
    EXPECT_FALSE(RemoveFileIfUnchanged(dump, *sent));
  }
  EXPECT_TRUE(fs::exists(dump));
  EXPECT_TRUE(RemoveFileIfUnchanged(dump, *sent));
  EXPECT_TRUE(fs::is_empty(folder.path())) << "nothing is left behind";
}

TEST(TextConversionTest, IllFormedUtf8GivesEmptyTextAndWellFormedSurvives) {
  // Lead without continuation, truncated, overlong in two, three and four bytes, surrogate,
  // above U+10FFFF, stray continuation byte.
  for (const std::string bad : {"\xC3\x28", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF",
                                "\xF0\x80\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
    EXPECT_EQ(Utf8ToWide("ok" + bad), WideString()) << testing::PrintToString(bad);
  }
  EXPECT_EQ(Utf8ToWide(""), WideString());
  EXPECT_EQ(WideToUtf8(WideString()), "");
  // An embedded NUL converts like any other character; so does a character outside the
  // Basic Multilingual Plane, there and back.
  for (const std::string& good :
       {std::string("a\0b", 3), std::string("\xC3\xA9\xF0\x9F\x98\x80")}) {
    EXPECT_EQ(WideToUtf8(Utf8ToWide(good)), good) << testing::PrintToString(good);
  }
  EXPECT_EQ(Utf8ToWide("\xF0\x9F\x98\x80").size(), sizeof(WideChar) == 2 ? 2u : 4u);
}
