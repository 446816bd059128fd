#include "support/temp_folder.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <system_error>

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "fennick-test-XXXXXX").string();
  EXPECT_NE(mkdtemp(pattern.data()), nullptr) << "cannot make a temporary folder";
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

void WriteTestFile(const std::filesystem::path& path, std::string_view bytes) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  EXPECT_TRUE(out) << "cannot write " << path;
}

std::string ReadTestFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string ReadFromStart(std::FILE* file) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = pread(fileno(file), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::string MinidumpBytes(size_t size) {
  std::string bytes = std::string("MDMP").substr(0, size);
  for (size_t i = bytes.size(); i < size; ++i) bytes.push_back(static_cast<char>(i * 131 + 7));
  return bytes;
}

std::string CrashMetadataJson(const std::string& dump_file, const std::string& dump_id) {
  return "{\"schema_version\":1,\"dump_id\":\"" + dump_id + "\",\"dump_file\":\"" + dump_file +
         "\",\"app_version\":\"3.2.1.45\",\"session_id\":\"S-104\",\"uin\":\"20481937\","
         "\"lum_id\":\"7730142\",\"pet_code\":\"P-0193\",\"client_ts\":1765188930123}";
}

void WriteCrashReport(const std::filesystem::path& folder, const std::string& stem,
                      size_t dump_size) {
  WriteTestFile(folder / (stem + ".dmp"), MinidumpBytes(dump_size));
  WriteTestFile(folder / (stem + ".crash.json"), CrashMetadataJson(stem + ".dmp", stem + "-id"));
}
