#include "upload/dump_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>

#include "support/temp_folder.h"

namespace {

constexpr size_t kDumpBytes = 100000;

// Pulls the stream through the read callback with `chunk_bytes` per call, as libcurl does,
// until it returns 0 or CURL_READFUNC_ABORT; the last return value goes to `last_result`.
std::string ReadAll(DumpStream* stream, size_t chunk_bytes, size_t* last_result = nullptr) {
  std::string body;
  std::string buffer(chunk_bytes, '\0');
  for (;;) {
    const size_t count = ReadDumpChunk(buffer.data(), 1, buffer.size(), stream);
    if (count == 0 || count == CURL_READFUNC_ABORT) {
      if (last_result != nullptr) {
        *last_result = count;
      }
      return body;
    }
    body.append(buffer, 0, count);
  }
}

std::string ReadChunk(DumpStream* stream, size_t bytes) {
  std::string buffer(bytes, '\0');
  const size_t count = ReadDumpChunk(buffer.data(), 1, buffer.size(), stream);
  buffer.resize(count == CURL_READFUNC_ABORT ? 0 : count);
  return buffer;
}

// A file that starts with "MDMP" and is extended with zeros to `size` bytes without writing
// them, so even the largest accepted dump is quick to make.
void WriteSparseDump(const std::filesystem::path& path, uintmax_t size) {
  WriteTestFile(path, "MDMP");
  std::error_code error;
  std::filesystem::resize_file(path, size, error);
  ASSERT_FALSE(error) << error.message();
}

class DumpStreamTest : public testing::Test {
 protected:
  std::filesystem::path WriteDump(std::string_view bytes) {
    const std::filesystem::path path = folder_ / "crash.dmp";
    WriteTestFile(path, bytes);
    return path;
  }

  // Opens a fresh dump of kDumpBytes and asserts that it is accepted.
  void OpenStandardDump() {
    dump_ = MinidumpBytes(kDumpBytes);
    path_ = WriteDump(dump_);
    ASSERT_TRUE(OpenDumpStream(path_, &stream_));
  }

  TempFolder folder_;
  std::string dump_;
  std::filesystem::path path_;
  DumpStream stream_;
};

TEST_F(DumpStreamTest, SizeBoundIsInclusive) {
  struct Case {
    uintmax_t size;
    bool accepted;
  };
  const Case cases[] = {
      {4, true},
      {kMaxDumpBytes - 1, true},
      {kMaxDumpBytes, true},
      {kMaxDumpBytes + 1, false},
      {kMaxDumpBytes * 3, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.size);
    const std::filesystem::path path = folder_ / "sized.dmp";
    WriteSparseDump(path, test.size);
    DumpStream stream;
    EXPECT_EQ(OpenDumpStream(path, &stream), test.accepted);
    EXPECT_TRUE(stream.handle.is_valid());
    // The size is recorded only once it has passed the check.
    EXPECT_EQ(stream.size, test.accepted ? static_cast<int64_t>(test.size) : 0);
  }
}

TEST_F(DumpStreamTest, EmptyOrTooShortFilesAreRefusedButStayOpen) {
  for (const std::string_view bytes : {"", "M", "MD", "MDM"}) {
    SCOPED_TRACE(bytes);
    DumpStream stream;
    EXPECT_FALSE(OpenDumpStream(WriteDump(bytes), &stream));
    EXPECT_TRUE(stream.handle.is_valid());
    EXPECT_EQ(stream.size, static_cast<int64_t>(bytes.size()));
  }
}

TEST_F(DumpStreamTest, WrongSignatureIsRefused) {
  for (const std::string_view signature :
       {"mdmp", "MDMp", "XDMP", "MXMP", "MDXP", "MDMX", "PMDM"}) {
    SCOPED_TRACE(signature);
    std::string bytes = MinidumpBytes(64);
    bytes.replace(0, 4, signature);
    DumpStream stream;
    EXPECT_FALSE(OpenDumpStream(WriteDump(bytes), &stream));
    EXPECT_TRUE(stream.handle.is_valid());
  }
}

TEST_F(DumpStreamTest, MissingFileLeavesNoHandle) {
  DumpStream stream;
  EXPECT_FALSE(OpenDumpStream(folder_ / "absent.dmp", &stream));
  EXPECT_FALSE(stream.handle.is_valid());
  EXPECT_EQ(stream.size, 0);
}

TEST_F(DumpStreamTest, NonRegularFilesAreRefusedWithoutBlocking) {
  const std::filesystem::path fifo = folder_ / "fifo.dmp";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  DumpStream from_fifo;
  EXPECT_FALSE(OpenDumpStream(fifo, &from_fifo));

  std::filesystem::create_directory(folder_ / "folder.dmp");
  DumpStream from_folder;
  EXPECT_FALSE(OpenDumpStream(folder_ / "folder.dmp", &from_folder));
}

TEST_F(DumpStreamTest, DumpStillOpenForWritingCanBeOpened) {
  dump_ = MinidumpBytes(1000);
  path_ = WriteDump(dump_);
  std::ofstream writer(path_, std::ios::binary | std::ios::app);
  ASSERT_TRUE(writer.is_open());
  ASSERT_TRUE(OpenDumpStream(path_, &stream_));
  EXPECT_EQ(ReadAll(&stream_, 256), dump_);
}

TEST_F(DumpStreamTest, StreamsTheWholeDumpByteForByte) {
  for (const size_t chunk_bytes : {size_t{1}, size_t{7}, size_t{4096}, kDumpBytes * 2}) {
    SCOPED_TRACE(chunk_bytes);
    DumpStream stream;
    dump_ = MinidumpBytes(chunk_bytes == 1 ? 5000 : kDumpBytes);
    ASSERT_TRUE(OpenDumpStream(WriteDump(dump_), &stream));
    EXPECT_EQ(stream.size, static_cast<int64_t>(dump_.size()));
    size_t last_result = 1;
    EXPECT_EQ(ReadAll(&stream, chunk_bytes, &last_result), dump_);
    EXPECT_EQ(last_result, 0u);
    EXPECT_EQ(stream.delivered, stream.size);
  }
}

TEST_F(DumpStreamTest, OverflowingRequestIsNotWrappedToZero) {
  dump_ = MinidumpBytes(16);
  ASSERT_TRUE(OpenDumpStream(WriteDump(dump_), &stream_));
  std::string buffer(16, '\0');
  // 2^63 * 2 wraps to 0 in size_t arithmetic.
  const size_t half = std::numeric_limits<size_t>::max() / 2 + 1;
  ASSERT_EQ(ReadDumpChunk(buffer.data(), half, 2, &stream_), 16u);
  EXPECT_EQ(buffer, dump_);
}

TEST_F(DumpStreamTest, EmptyRequestsReadNothingAndKeepThePosition) {
  OpenStandardDump();
  char buffer[16];
  EXPECT_EQ(ReadDumpChunk(buffer, 1, 0, &stream_), 0u);
  EXPECT_EQ(ReadDumpChunk(buffer, 0, 16, &stream_), 0u);
  EXPECT_EQ(ReadChunk(&stream_, 8), dump_.substr(0, 8));
}

TEST_F(DumpStreamTest, UnusableStreamIsRefusedByBothCallbacks) {
  char buffer[16];
  DumpStream closed;
  EXPECT_EQ(ReadDumpChunk(buffer, 1, sizeof(buffer), nullptr), 0u);
  EXPECT_EQ(ReadDumpChunk(buffer, 1, sizeof(buffer), &closed), 0u);
  EXPECT_EQ(SeekDumpStream(nullptr, 0, SEEK_SET), CURL_SEEKFUNC_FAIL);
  EXPECT_EQ(SeekDumpStream(&closed, 0, SEEK_SET), CURL_SEEKFUNC_FAIL);
}

TEST_F(DumpStreamTest, RewindStartsTheDumpAgain) {
  OpenStandardDump();
  ReadChunk(&stream_, 5000);
  ASSERT_EQ(SeekDumpStream(&stream_, 0, SEEK_SET), CURL_SEEKFUNC_OK);
  EXPECT_EQ(stream_.delivered, 0);
  EXPECT_EQ(ReadChunk(&stream_, 4), "MDMP");
  // A resend after the rewind delivers the whole dump once more.
  ASSERT_EQ(SeekDumpStream(&stream_, 0, SEEK_SET), CURL_SEEKFUNC_OK);
  EXPECT_EQ(ReadAll(&stream_, 4096), dump_);
}

TEST_F(DumpStreamTest, SeekOriginsMoveTheReadPosition) {
  struct Case {
    curl_off_t offset;
    int origin;
    size_t expected_position;
  };
  const Case cases[] = {
      {1234, SEEK_SET, 1234},    {100, SEEK_CUR, 1100},  // From position 1000.
      {-100, SEEK_CUR, 900},     {-10, SEEK_END, kDumpBytes - 10},
      {0, SEEK_END, kDumpBytes},
  };
  OpenStandardDump();
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << test.offset << " from origin " << test.origin);
    ASSERT_EQ(SeekDumpStream(&stream_, 1000, SEEK_SET), CURL_SEEKFUNC_OK);
    ASSERT_EQ(SeekDumpStream(&stream_, test.offset, test.origin), CURL_SEEKFUNC_OK);
    EXPECT_EQ(stream_.delivered, static_cast<int64_t>(test.expected_position));
    EXPECT_EQ(ReadAll(&stream_, 4096), dump_.substr(test.expected_position));
  }
}

TEST_F(DumpStreamTest, FailedSeekLeavesThePosition) {
  struct Case {
    curl_off_t offset;
    int origin;
  };
  const Case cases[] = {{5, 3}, {0, -1}, {-1, SEEK_SET}, {-11, SEEK_CUR}};
  OpenStandardDump();
  ASSERT_EQ(ReadChunk(&stream_, 10).size(), 10u);
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << test.offset << " from origin " << test.origin);
    EXPECT_EQ(SeekDumpStream(&stream_, test.offset, test.origin), CURL_SEEKFUNC_FAIL);
    EXPECT_EQ(stream_.delivered, 10);
  }
  EXPECT_EQ(ReadChunk(&stream_, 10), dump_.substr(10, 10));
}

TEST_F(DumpStreamTest, GrowthAfterOpenIsNotSent) {
  OpenStandardDump();
  const std::string head = ReadChunk(&stream_, 3000);
  {
    std::ofstream writer(path_, std::ios::binary | std::ios::app);
    writer << std::string(5000, 'G');
  }
  size_t last_result = 1;
  const std::string body = head + ReadAll(&stream_, 4096, &last_result);
  EXPECT_EQ(body.size(), kDumpBytes);
  EXPECT_EQ(body, dump_);
  EXPECT_EQ(last_result, 0u);
  EXPECT_EQ(stream_.delivered, stream_.size);
}

TEST_F(DumpStreamTest, ShrinkAfterOpenAbortsTheTransfer) {
  OpenStandardDump();
  const std::string head = ReadChunk(&stream_, 3000);
  std::filesystem::resize_file(path_, kDumpBytes / 2);
  size_t last_result = 0;
  const std::string body = head + ReadAll(&stream_, 4096, &last_result);
  EXPECT_EQ(last_result, static_cast<size_t>(CURL_READFUNC_ABORT));
  EXPECT_EQ(body, dump_.substr(0, kDumpBytes / 2));
}

TEST_F(DumpStreamTest, DumpCanBeDeletedWhileOpen) {
  OpenStandardDump();
  const std::string head = ReadChunk(&stream_, 3000);
  std::error_code error;
  EXPECT_TRUE(std::filesystem::remove(path_, error));
  EXPECT_FALSE(error);
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_EQ(head + ReadAll(&stream_, 4096), dump_);
}

}  // namespace
