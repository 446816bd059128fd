#include "metadata/orphan_metadata.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "host/device_id.h"
#include "host/host_facts.h"
#include "platform/file_io.h"
#include "platform/text_conversion.h"

namespace {

constexpr char kMetadataExtension[] = ".crash.json";
constexpr int kSchemaVersion = 1;
constexpr int kIndentWidth = 2;

// The file text: the ten members in key order (the object keeps its keys sorted), two
// spaces of indent, no final line feed. Nullopt when a value is not valid UTF-8.
std::optional<std::string> FormatMetadataText(const CrashMetadata& record) {
  nlohmann::json object = nlohmann::json::object();
  object["app_version"] = record.app_version;
  object["client_ts"] = record.client_ts;
  object["dump_file"] = WideToUtf8(record.dump_path.filename().native());
  object["dump_id"] = record.dump_id;
  object["lum_id"] = record.lum_id;
  object["pet_code"] = record.pet_code;
  object["process_name"] = record.process_name;
  object["schema_version"] = kSchemaVersion;
  object["session_id"] = record.session_id;
  object["uin"] = record.uin;
  try {
    return object.dump(kIndentWidth, ' ', /*ensure_ascii=*/false,
                       nlohmann::json::error_handler_t::strict);
  } catch (const nlohmann::json::type_error&) {
    return std::nullopt;
  }
}

}  // namespace

bool IsRecentlyWritten(const std::filesystem::path& path) {
  const std::optional<int64_t> written = GetLastWriteTimeMs(path);
  if (!written) {
    return false;
  }
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  // A time far ahead of the clock says nothing of when the file was written.
  return *written > now - kSettleTimeMs && *written < now + kSettleTimeMs;
}

std::filesystem::path OrphanMetadataPath(const std::filesystem::path& dump_path) {
  std::filesystem::path metadata_path = dump_path;
  return metadata_path.replace_extension(kMetadataExtension);
}

OrphanResult CreateOrphanMetadata(const std::filesystem::path& dump_path,
                                  const std::optional<ReplaceableMetadata>& replaceable,
                                  CrashMetadata* record) {
  if (record == nullptr) {
    return OrphanResult::kFailed;
  }
  // Metadata for a dump that is gone would name nothing and fail every later run.
  if (!OpenFileForReading(dump_path).is_valid()) {
    return IsMissing(dump_path) ? OrphanResult::kSkipped : OrphanResult::kFailed;
  }
  if (IsRecentlyWritten(dump_path)) {
    return OrphanResult::kSkipped;
  }
  record->dump_path = dump_path;
  record->metadata_path = replaceable ? replaceable->path : OrphanMetadataPath(dump_path);
  record->dump_id = NewGuidText();
  record->process_name = kDefaultProcessName;
  record->client_ts = GetLastWriteTimeText(dump_path);
  record->app_version = GetAppVersionText(AgentExecutablePath());
  if (record->dump_id.empty()) {
    return OrphanResult::kFailed;
  }
  // Only the invalid file the scan saw gives way; whatever came in its place stays, and so
  // does the new file's name then. The one it saw, held where it cannot be removed, keeps
  // the dump from being reported.
  if (replaceable && !RemoveFileIfUnchanged(replaceable->path, replaceable->identity) &&
      IdentifyFileAt(replaceable->path) == replaceable->identity) {
    return OrphanResult::kFailed;
  }
  switch (WriteCrashMetadataFile(*record)) {
    case MoveResult::kMoved:
      break;
    case MoveResult::kNameTaken:
      // A metadata file there is met by the next pass; anything else (a folder) holds the
      // name for good, and the dump cannot be reported.
      return IdentifyFileAt(record->metadata_path) ? OrphanResult::kSkipped
                                                   : OrphanResult::kFailed;
    case MoveResult::kFailed:
      return OrphanResult::kFailed;
  }
  // The dump may have been sent and removed by another run while the file was written.
  if (IsMissing(dump_path)) {
    if (const std::optional<FileIdentity> written = IdentifyFileAt(record->metadata_path)) {
      RemoveFileIfUnchanged(record->metadata_path, *written);
    }
    return OrphanResult::kSkipped;
  }
  return OrphanResult::kWritten;
}

MoveResult WriteCrashMetadataFile(const CrashMetadata& record) {
  const std::optional<std::string> text = FormatMetadataText(record);
  if (!text) {
    return MoveResult::kFailed;
  }
  // Readers of the folder must only ever see a whole file under the final name.
  std::filesystem::path temporary = record.metadata_path;
  temporary += ".tmp";
  if (!WriteWholeFile(temporary, *text)) {
    return MoveResult::kFailed;
  }
  const MoveResult result = MoveToFreeName(temporary, record.metadata_path);
  if (result == MoveResult::kNameTaken) {
    RemoveFile(temporary);
  }
  return result;
}
