#ifndef FENNICK_TESTS_SUPPORT_TEMP_FOLDER_H_
#define FENNICK_TESTS_SUPPORT_TEMP_FOLDER_H_

#include <filesystem>
#include <string>
#include <string_view>

// Real files for tests: a fresh temporary folder, removed with its content on destruction,
// and the crash reports planted in it.
class TempFolder {
 public:
  // A new folder in the temporary folder, or in `base` when given.
  explicit TempFolder(const std::filesystem::path& base = {});
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Writes `bytes` as the whole content of `path` (creating parent folders); fails the
// current test on error.
void WriteTestFile(const std::filesystem::path& path, std::string_view bytes);

// Appends `bytes` to the file at `path`; fails the current test on error.
void AppendTestFile(const std::filesystem::path& path, std::string_view bytes);

// The whole content of `path`, or an empty string when it cannot be read.
std::string ReadTestFile(const std::filesystem::path& path);

// The path as UTF-8, as Fennick writes it in its log lines.
std::string Utf8(const std::filesystem::path& path);

// "MDMP" followed by filler bytes, `size` bytes in all (a minidump-shaped file).
std::string MinidumpBytes(size_t size);

// Writes a minidump-shaped file of `size` bytes at `path`, last written a minute ago: a dump
// its agent is done with.
void WriteDump(const std::filesystem::path& path, size_t size);

// The text of a valid crash metadata file naming `dump_file`.
std::string CrashMetadataJson(const std::string& dump_file, const std::string& dump_id);

// Writes <stem>.dmp (minidump-shaped, `dump_size` bytes) and <stem>.crash.json naming it,
// with dump_id "<stem>-id", into `folder`.
void WriteCrashReport(const std::filesystem::path& folder, const std::string& stem,
                      size_t dump_size = 256);

#endif  // FENNICK_TESTS_SUPPORT_TEMP_FOLDER_H_
