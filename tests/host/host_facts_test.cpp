#include "host/host_facts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/temp_folder.h"

namespace {

void PutLittleEndian32(std::string* bytes, size_t position, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) {
    (*bytes)[position + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

// A PE image reduced to what the version fallback reads: a 64-byte DOS header whose
// e_lfanew (offset 60) names `pe_offset`, then at that offset "PE\0\0" and a 20-byte file
// header carrying `time_stamp` at its offset 4.
std::string PeImage(uint32_t time_stamp, uint32_t pe_offset = 64) {
  std::string bytes(pe_offset + 4 + 20, 'x');
  bytes.replace(0, 2, "MZ");
  PutLittleEndian32(&bytes, 60, pe_offset);
  bytes.replace(pe_offset, 4, std::string("PE\0\0", 4));
  PutLittleEndian32(&bytes, pe_offset + 8, time_stamp);
  return bytes;
}

std::string WithPeOffset(std::string bytes, uint32_t pe_offset) {
  PutLittleEndian32(&bytes, 60, pe_offset);
  return bytes;
}

std::string WithPeSignature(std::string bytes, std::string_view signature) {
  bytes.replace(64, 4, signature);
  return bytes;
}

TEST(GetAppVersionTextTest, ReadsThePeLinkTimeStamp) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string expected;
  };
  const Case cases[] = {
      {"small stamp keeps its leading zeros", PeImage(0xABCD), "pe-0000ABCD"},
      {"bytes are little-endian, digits upper case", PeImage(0xFEDC1234), "pe-FEDC1234"},
      {"zero stamp", PeImage(0), "pe-00000000"},
      {"header offset is absolute", PeImage(0x0BADF00D, 0x180), "pe-0BADF00D"},
      {"trailing sections are ignored", PeImage(0x12345678) + std::string(4096, 's'),
       "pe-12345678"},
  };
  TempFolder folder;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::filesystem::path path = folder / "Ortivo.exe";
    WriteTestFile(path, test.bytes);
    EXPECT_EQ(GetAppVersionText(path), test.expected);
  }
}

TEST(GetAppVersionTextTest, UnreadableImagesGiveUnknown) {
  const std::string image = PeImage(0xABCD);
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty file", ""},
      {"text file of 100 bytes", std::string(100, 't')},
      {"MZ file of 63 bytes", image.substr(0, 63)},
      {"DOS header alone", image.substr(0, 64)},
      {"lower-case mz", "mz" + image.substr(2)},
      {"header offset past the end", WithPeOffset(image, 0x10000)},
      {"negative header offset", WithPeOffset(image, 0xFFFFFFF0)},
      {"header offset at the DOS header", WithPeOffset(image, 0)},
      {"wrong signature", WithPeSignature(image, "PX\0\0")},
      {"signature without zero bytes", WithPeSignature(image, "PE\0\1")},
      {"lower-case signature", WithPeSignature(image, std::string("pe\0\0", 4))},
      {"file header cut 10 bytes after PE", image.substr(0, 64 + 4 + 10)},
      {"file header one byte short", image.substr(0, image.size() - 1)},
  };
  TempFolder folder;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    const std::filesystem::path path = folder / "Ortivo.exe";
    WriteTestFile(path, test.bytes);
    EXPECT_EQ(GetAppVersionText(path), "unknown");
  }
}

TEST(GetAppVersionTextTest, MissingOrNonRegularFileGivesUnknown) {
  TempFolder folder;
  EXPECT_EQ(GetAppVersionText(folder / "Ortivo.exe"), "unknown");
  EXPECT_EQ(GetAppVersionText(folder.path()), "unknown");
  EXPECT_EQ(GetAppVersionText(std::filesystem::path()), "unknown");
}

TEST(GetOsVersionTextTest, EmptyOnLinux) { EXPECT_EQ(GetOsVersionText(), ""); }

}  // namespace
