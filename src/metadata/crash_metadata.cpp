#include "metadata/crash_metadata.h"

#include <cstdint>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "host/host_facts.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/text_conversion.h"

namespace {

// A listed key whose value is a plain string, the record field it fills and the value
// taken when the key is missing.
struct StringMember {
  const char* key;
  std::string CrashMetadata::*field;
  const char* fallback;
};

constexpr StringMember kStringMembers[] = {
    {"dump_id", &CrashMetadata::dump_id, ""},
    {"app_version", &CrashMetadata::app_version, ""},
    {"session_id", &CrashMetadata::session_id, ""},
    {"uin", &CrashMetadata::uin, ""},
    {"lum_id", &CrashMetadata::lum_id, ""},
    {"pet_code", &CrashMetadata::pet_code, ""},
    {"process_name", &CrashMetadata::process_name, kDefaultProcessName},
};

// Sets `out` to the string member `key`, or to `fallback` when the key is missing. False
// when the key holds any other type. A document may hold values nested far deeper than
// the stack allows to recurse, so members are only ever looked at in place: never copied,
// compared or printed.
bool ReadStringMember(const nlohmann::json& document, const char* key, std::string_view fallback,
                      std::string* out) {
  const auto member = document.find(key);
  if (member == document.end()) {
    *out = fallback;
    return true;
  }
  if (!member->is_string()) {
    return false;
  }
  *out = member->get_ref<const std::string&>();
  return true;
}

// Sets `out` from "client_ts": an integer as its decimal text, a string as it is, empty
// when missing. False for any other type, floating-point numbers included.
bool ReadClientTimestamp(const nlohmann::json& document, std::string* out) {
  const auto member = document.find("client_ts");
  if (member != document.end()) {
    // A non-negative integer is held unsigned; rendering it unsigned keeps values above
    // the signed 64-bit range exact instead of wrapping them negative.
    if (member->is_number_unsigned()) {
      *out = std::to_string(member->get<uint64_t>());
      return true;
    }
    if (member->is_number_integer()) {
      *out = std::to_string(member->get<int64_t>());
      return true;
    }
  }
  return ReadStringMember(document, "client_ts", "", out);
}

// Fills the record from the parsed object. False when any rule of the file format fails.
bool FillRecord(const nlohmann::json& document, const std::filesystem::path& metadata_path,
                CrashMetadata* record) {
  std::string dump_file;
  if (!ReadStringMember(document, "dump_file", "", &dump_file)) {
    return false;
  }
  const WideString dump_name = Utf8ToWide(dump_file);
  if (!IsBareFileName(dump_name)) {
    return false;
  }
  record->metadata_path = metadata_path;
  record->dump_path = metadata_path.parent_path() / dump_name;
  for (const StringMember& member : kStringMembers) {
    if (!ReadStringMember(document, member.key, member.fallback, &(record->*member.field))) {
      return false;
    }
  }
  if (!ReadClientTimestamp(document, &record->client_ts)) {
    return false;
  }
  return !record->dump_id.empty() && record->dump_id.size() <= kMaxDumpIdBytes;
}

// Supplies the two values a file may leave for Fennick to find out.
void CompleteRecord(CrashMetadata* record) {
  if (record->client_ts.empty()) {
    record->client_ts = GetLastWriteTimeText(record->dump_path);
  }
  if (record->app_version.empty() || record->app_version == "unknown") {
    record->app_version = GetAppVersionText(AgentExecutablePath());
  }
}

bool ParseValidatedRecord(std::string_view content, const std::filesystem::path& metadata_path,
                          CrashMetadata* record) {
  // The parser takes a NUL byte for the end of the input and would ignore whatever follows;
  // valid JSON text never holds one.
  if (content.find('\0') != std::string_view::npos) {
    return false;
  }
  // The parser itself skips one leading UTF-8 byte-order mark.
  const nlohmann::json document =
      nlohmann::json::parse(content.begin(), content.end(), nullptr, /*allow_exceptions=*/false,
                            /*ignore_comments=*/false);
  if (!document.is_object() || !FillRecord(document, metadata_path, record)) {
    return false;
  }
  CompleteRecord(record);
  return true;
}

bool IsAsciiLetter(WideChar c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

bool LoadCrashMetadata(const std::filesystem::path& metadata_path, CrashMetadata* record) {
  const std::optional<std::string> content = ReadSmallFile(metadata_path, kMaxMetadataBytes);
  return content.has_value() && ParseCrashMetadata(*content, metadata_path, record);
}

bool ParseCrashMetadata(std::string_view content, const std::filesystem::path& metadata_path,
                        CrashMetadata* record) {
  if (record == nullptr) {
    return false;
  }
  // Whatever the content, a rejection is a result: the library's type errors and running
  // out of memory end here.
  try {
    return ParseValidatedRecord(content, metadata_path, record);
  } catch (const nlohmann::json::exception&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool IsBareFileName(const WideString& name) {
  if (name.empty()) {
    return false;
  }
  // The system would cut a name at a NUL character and open some other file.
  if (name.find_first_of(FENNICK_WIDE("\\/")) != WideString::npos ||
      name.find(WideChar{0}) != WideString::npos) {
    return false;
  }
  if (name.size() >= 2 && IsAsciiLetter(name[0]) && name[1] == ':') {
    return false;
  }
  return name.find(FENNICK_WIDE("..")) == WideString::npos;
}

std::string GetLastWriteTimeText(const std::filesystem::path& path) {
  const std::optional<int64_t> milliseconds = GetLastWriteTimeMs(path);
  if (!milliseconds || *milliseconds < 0) {
    return "0";
  }
  return std::to_string(*milliseconds);
}

std::filesystem::path AgentExecutablePath() {
  const std::filesystem::path folder = ExecutableDirectory();
  if (folder.empty()) {
    return std::filesystem::path(kAgentExecutableName);
  }
  return folder / kAgentExecutableName;
}
