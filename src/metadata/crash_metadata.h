#ifndef FENNICK_METADATA_CRASH_METADATA_H_
#define FENNICK_METADATA_CRASH_METADATA_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/native_text.h"

inline constexpr size_t kMaxDumpIdBytes = 64;
// A crash metadata file is a few hundred bytes; anything above this is not one.
inline constexpr size_t kMaxMetadataBytes = 1048576;
inline constexpr char kDefaultProcessName[] = "Ortivo.exe";
inline constexpr char kAgentExecutableName[] = "Ortivo.exe";

// One crash report. Paths are native; the eight texts are UTF-8.
struct CrashMetadata {
  std::filesystem::path metadata_path;
  std::filesystem::path dump_path;
  std::string dump_id;
  std::string app_version;
  std::string session_id;
  std::string uin;
  std::string lum_id;
  std::string pet_code;
  std::string process_name;
  std::string client_ts;
};

// Loads and validates the crash metadata file at `metadata_path` into `record` (expected
// new), completing client_ts and app_version. False when the file is rejected (a file over
// kMaxMetadataBytes included), in which case the record's content is unspecified. Never
// throws, whatever the file holds.
bool LoadCrashMetadata(const std::filesystem::path& metadata_path, CrashMetadata* record);

// The same for content already read from the file at `metadata_path`: the whole of it must
// be one JSON object, with nothing but white space after it.
bool ParseCrashMetadata(std::string_view content, const std::filesystem::path& metadata_path,
                        CrashMetadata* record);

// True when `name` can only name a file in the metadata file's own folder: not empty, no
// "\" or "/", no drive prefix, no "..", no NUL character.
bool IsBareFileName(const WideString& name);

// The file's last-write time as decimal milliseconds since 1970-01-01 00:00 UTC, or "0".
std::string GetLastWriteTimeText(const std::filesystem::path& path);

// Path of Ortivo.exe beside Fennick's own executable (the bare name when that folder is
// unknown).
std::filesystem::path AgentExecutablePath();

#endif  // FENNICK_METADATA_CRASH_METADATA_H_
