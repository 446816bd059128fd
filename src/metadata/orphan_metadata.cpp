#include "metadata/orphan_metadata.h"

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

bool CreateOrphanMetadata(const std::filesystem::path& dump_path, CrashMetadata* record) {
  if (record == nullptr) {
    return false;
  }
  record->dump_path = dump_path;
  record->metadata_path = dump_path;
  record->metadata_path.replace_extension(kMetadataExtension);
  record->dump_id = NewGuidText();
  record->process_name = kDefaultProcessName;
  record->client_ts = GetLastWriteTimeText(dump_path);
  record->app_version = GetAppVersionText(AgentExecutablePath());
  if (record->dump_id.empty()) {
    return false;
  }
  return WriteCrashMetadataFile(*record);
}

bool WriteCrashMetadataFile(const CrashMetadata& record) {
  const std::optional<std::string> text = FormatMetadataText(record);
  if (!text) {
    return false;
  }
  // Readers of the folder must only ever see a whole file under the final name.
  return WriteFileThroughTemporary(record.metadata_path, *text);
}
