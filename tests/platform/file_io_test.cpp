#include "platform/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/temp_folder.h"

namespace {

// Up to `size` bytes from the current position; empty on error or at end of file.
std::string ReadSome(const ScopedFile& file, size_t size) {
  std::string buffer(size, '\0');
  const int64_t count = ReadFromFile(file.get(), buffer.data(), buffer.size());
  buffer.resize(count > 0 ? static_cast<size_t>(count) : 0);
  return buffer;
}

void SetLastWriteTime(const std::filesystem::path& path, timespec time, int flags = 0) {
  const timespec times[2] = {time, time};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, flags), 0) << path;
}

TEST(FileIoTest, RefusesEverythingButARegularFile) {
  TempFolder folder;
  ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
  // No writer is attached: an open that waited for one would never return.
  EXPECT_FALSE(OpenFileForReading(folder / "pipe").is_valid());
  EXPECT_FALSE(OpenFileForReading(folder.path()).is_valid());
  EXPECT_FALSE(OpenFileForReading("/dev/null").is_valid());
  EXPECT_FALSE(OpenFileForReading(folder / "missing").is_valid());
}

TEST(FileIoTest, ReadsSeeksAndMeasuresARegularFile) {
  TempFolder folder;
  WriteTestFile(folder / "data", "0123456789");
  ScopedFile file = OpenFileForReading(folder / "data");
  ASSERT_TRUE(file.is_valid());
  EXPECT_EQ(GetFileSize(file.get()), 10);
  EXPECT_EQ(ReadSome(file, 4), "0123");
  EXPECT_EQ(SeekFile(file.get(), 2, SeekOrigin::kCurrent), 6);
  EXPECT_EQ(ReadSome(file, 100), "6789");
  EXPECT_EQ(SeekFile(file.get(), -3, SeekOrigin::kEnd), 7);
  EXPECT_EQ(SeekFile(file.get(), 1, SeekOrigin::kBegin), 1);
  // A seek before the start fails and leaves the position alone.
  EXPECT_EQ(SeekFile(file.get(), -2, SeekOrigin::kCurrent), std::nullopt);
  EXPECT_EQ(SeekFile(file.get(), -11, SeekOrigin::kEnd), std::nullopt);
  EXPECT_EQ(ReadSome(file, 2), "12");
}

TEST(FileIoTest, OpenFileStaysReadableAfterItsDeletion) {
  TempFolder folder;
  WriteTestFile(folder / "data", "still here");
  ScopedFile file = OpenFileForReading(folder / "data");
  ASSERT_TRUE(file.is_valid());
  ASSERT_TRUE(std::filesystem::remove(folder / "data"));
  EXPECT_EQ(GetFileSize(file.get()), 10);
  EXPECT_EQ(ReadSome(file, 100), "still here");
}

TEST(FileIoTest, ScopedFileClosesOnMoveAssignAndReset) {
  TempFolder folder;
  WriteTestFile(folder / "data", "x");
  char byte = 0;
  ScopedFile file = OpenFileForReading(folder / "data");
  const FileHandle first = file.get();
  file = OpenFileForReading(folder / "data");
  EXPECT_EQ(ReadFromFile(first, &byte, 1), -1) << "move assign left the old file open";
  const FileHandle second = file.get();
  file.reset();
  EXPECT_FALSE(file.is_valid());
  EXPECT_EQ(ReadFromFile(second, &byte, 1), -1) << "reset left the file open";
}

TEST(FileIoTest, LastWriteTimeIsMillisecondsSince1970RoundedDown) {
  TempFolder folder;
  WriteTestFile(folder / "data", "x");
  const std::pair<timespec, int64_t> cases[] = {
      {{1700000000, 123456789}, 1700000000123},
      {{-1, 500000000}, -500},
      {{-2, 999999}, -2000},
  };
  for (const auto& [time, expected_ms] : cases) {
    SetLastWriteTime(folder / "data", time);
    EXPECT_EQ(GetLastWriteTimeMs(folder / "data"), expected_ms) << time.tv_sec;
  }
  // A symbolic link reports its target's time, not its own.
  std::filesystem::create_symlink(folder / "data", folder / "link");
  SetLastWriteTime(folder / "link", {2000, 0}, AT_SYMLINK_NOFOLLOW);
  EXPECT_EQ(GetLastWriteTimeMs(folder / "link"), -2000);
  EXPECT_EQ(GetLastWriteTimeMs(folder / "missing"), std::nullopt);
}

TEST(FileIoTest, WriteWholeFileTruncatesAndRefusesAPlantedLink) {
  TempFolder folder;
  ASSERT_TRUE(WriteWholeFile(folder / "out", "a longer first content"));
  ASSERT_TRUE(WriteWholeFile(folder / "out", "second"));
  EXPECT_EQ(ReadTestFile(folder / "out"), "second");

  WriteTestFile(folder / "victim", "precious");
  std::filesystem::create_symlink(folder / "victim", folder / "out.tmp");
  EXPECT_FALSE(WriteWholeFile(folder / "out.tmp", "attack"));
  EXPECT_EQ(ReadTestFile(folder / "victim"), "precious");

  // With no reader on the FIFO, an open that waited for one would never return.
  ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(WriteWholeFile(folder / "pipe", "data"));
}

TEST(FileIoTest, ReplaceFileDurablyMovesOverAnExistingFile) {
  TempFolder folder;
  WriteTestFile(folder / "a.tmp", "new");
  WriteTestFile(folder / "a", "old");
  ASSERT_TRUE(ReplaceFileDurably(folder / "a.tmp", folder / "a"));
  EXPECT_EQ(ReadTestFile(folder / "a"), "new");
  EXPECT_FALSE(std::filesystem::exists(folder / "a.tmp"));
  EXPECT_FALSE(ReplaceFileDurably(folder / "missing.tmp", folder / "a"));
  EXPECT_EQ(ReadTestFile(folder / "a"), "new");
}

}  // namespace
