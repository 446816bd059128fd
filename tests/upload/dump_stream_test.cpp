#include "upload/dump_stream.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "support/temp_folder.h"

// Pulls the whole stream through the read callback 1000 bytes at a time, as libcurl does;
// returns the bytes and the callback's last return value (0 or CURL_READFUNC_ABORT).
std::pair<std::string, size_t> ReadAll(DumpStream* stream) {
  std::string body, buffer(1000, '\0');
  size_t count = 0;
  while ((count = ReadDumpChunk(buffer.data(), 1, buffer.size(), stream)) != 0 &&
         count != CURL_READFUNC_ABORT) {
    body.append(buffer, 0, count);
  }
  return {body, count};
}

TEST(DumpStreamTest, OpenChecksSizeSignatureAndFileType) {
  constexpr int64_t kMax = kMaxDumpBytes;
  // First bytes, size after a sparse extension with zeros, accepted.
  const std::tuple<std::string, int64_t, bool> cases[] = {
      {"MDMP", kMax, true}, {"MDMP", kMax + 1, false}, {"", 0, false},
      {"MDM", 3, false},    {"mdmp", 64, false},       {"MDXP", 64, false}};
  TempFolder folder;
  for (const auto& [head, size, accepted] : cases) {
    WriteTestFile(folder / "crash.dmp", head);
    std::filesystem::resize_file(folder / "crash.dmp", size);
    DumpStream stream;
    EXPECT_EQ(OpenDumpStream(folder / "crash.dmp", &stream), accepted) << head << " " << size;
    EXPECT_TRUE(stream.handle.is_valid());
  }
  DumpStream stream;
  EXPECT_FALSE(OpenDumpStream(folder / "missing.dmp", &stream));
  EXPECT_FALSE(stream.handle.is_valid());
  EXPECT_EQ(stream.size, 0);
}

TEST(DumpStreamTest, DeliversExactlyTheSizeMeasuredAtOpenAndRewindsToTheStart) {
  TempFolder folder;
  const std::string dump = MinidumpBytes(100000);
  DumpStream grown, shrunk, deleted;
  for (auto [name, stream] :
       {std::pair{"grown", &grown}, {"shrunk", &shrunk}, {"deleted", &deleted}}) {
    WriteTestFile(folder / name, dump);
    ASSERT_TRUE(OpenDumpStream(folder / name, stream)) << name;
  }
  std::ofstream(folder / "grown", std::ios::binary | std::ios::app) << "grown";
  std::filesystem::resize_file(folder / "shrunk", 50000);
  std::filesystem::remove(folder / "deleted");
  EXPECT_EQ(ReadDumpChunk(nullptr, 1, 0, &grown), 0u);
  EXPECT_EQ(ReadAll(&grown), std::make_pair(dump, size_t{0}));
  EXPECT_EQ(ReadAll(&shrunk), std::make_pair(dump.substr(0, 50000), size_t{CURL_READFUNC_ABORT}));
  EXPECT_EQ(ReadAll(&deleted), std::make_pair(dump, size_t{0}));
  EXPECT_EQ(SeekDumpStream(&grown, 0, 3), CURL_SEEKFUNC_FAIL);
  ASSERT_EQ(SeekDumpStream(&grown, 0, SEEK_SET), CURL_SEEKFUNC_OK);
  EXPECT_EQ(ReadAll(&grown).first.substr(0, 4), "MDMP");
}
