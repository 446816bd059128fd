#include "support/temp_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>

#include "support/native_files.h"

TempFolder::TempFolder(const std::filesystem::path& base) {
  // A random name that did not exist before: create_directory says whether it made it.
  std::random_device random;
  std::error_code error;
  for (int attempt = 0; attempt < 100; ++attempt) {
    path_ = (base.empty() ? std::filesystem::temp_directory_path(error) : base) /
            ("fennick-test-" + std::to_string(random()) + std::to_string(random()));
    if (std::filesystem::create_directory(path_, error)) return;
  }
  ADD_FAILURE() << "cannot make a temporary folder: " << error.message();
}

TempFolder::~TempFolder() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

namespace {

void PutTestFile(const std::filesystem::path& path, std::string_view bytes, const char* mode) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::FILE* file = OpenNativeFile(path, mode);
  const bool written =
      file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = file != nullptr && std::fclose(file) == 0;
  EXPECT_TRUE(written && closed) << "cannot write " << testing::PrintToString(path.native());
}

}  // namespace

void WriteTestFile(const std::filesystem::path& path, std::string_view bytes) {
  PutTestFile(path, bytes, "wb");
}

void AppendTestFile(const std::filesystem::path& path, std::string_view bytes) {
  PutTestFile(path, bytes, "ab");
}

std::string ReadTestFile(const std::filesystem::path& path) {
  std::string content;
  std::FILE* file = OpenNativeFile(path, "rb");
  if (file == nullptr) return content;
  char buffer[65536];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, count);
  std::fclose(file);
  return content;
}

std::string Utf8(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

std::string MinidumpBytes(size_t size) {
  std::string bytes = std::string("MDMP").substr(0, size);
  for (size_t i = bytes.size(); i < size; ++i) bytes.push_back(static_cast<char>(i * 131 + 7));
  return bytes;
}

void WriteDump(const std::filesystem::path& path, size_t size) {
  WriteTestFile(path, MinidumpBytes(size));
  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  SetLastWriteTime(path, now.count() - 60000);
}

std::string CrashMetadataJson(const std::string& dump_file, const std::string& dump_id) {
  return "{\"schema_version\":1,\"dump_id\":\"" + dump_id + "\",\"dump_file\":\"" + dump_file +
         "\",\"app_version\":\"3.2.1.45\",\"session_id\":\"S-104\",\"uin\":\"20481937\","
         "\"lum_id\":\"7730142\",\"pet_code\":\"P-0193\",\"client_ts\":1765188930123}";
}

void WriteCrashReport(const std::filesystem::path& folder, const std::string& stem,
                      size_t dump_size) {
  WriteDump(folder / (stem + ".dmp"), dump_size);
  WriteTestFile(folder / (stem + ".crash.json"), CrashMetadataJson(stem + ".dmp", stem + "-id"));
}
