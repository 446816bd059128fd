#include "symbol_quarantine.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "crash_analysis.h"
#include "json_members.h"
#include "report_filter.h"
#include "server_log.h"
#include "store_files.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr char kQuarantineTempFileName[] = "~quarantine.json.tmp";
// The file holds a few entries of a few hundred bytes; anything far longer is no file of ours.
constexpr size_t kMaxQuarantineFileBytes = 16 * 1024 * 1024;

std::string IdOf(const QuarantinedFile& file) {
  return fennick_analysis::SymbolFileId(file.file_name, file.key);
}

Json FileJson(const QuarantinedFile& file) {
  return {{"file", file.file_name},
          {"key", file.key},
          {"reason", file.reason},
          {"dump_id", file.dump_id},
          {"set_aside_utc", UtcText(file.set_aside_ms)},
          {"set_aside_ms", file.set_aside_ms}};
}

std::vector<QuarantinedFile> Load(const fs::path& store) {
  std::vector<QuarantinedFile> files;
  const ScopedFile folder = OpenFolder(store);
  const ScopedFile file =
      folder.is_valid() ? OpenFileIn(folder.get(), kQuarantineFileName) : ScopedFile();
  const std::optional<std::string> text =
      file.is_valid() ? ReadAll(file.get(), kMaxQuarantineFileBytes) : std::nullopt;
  const Json json = text ? Json::parse(*text, nullptr, false) : Json();
  if (!json.is_object() || !json.contains("files") || !json["files"].is_array()) return files;
  for (const Json& entry : json["files"]) {
    if (!entry.is_object()) continue;
    const auto when = entry.find("set_aside_ms");
    QuarantinedFile loaded{
        TextMember(entry, "file"), TextMember(entry, "key"), TextMember(entry, "reason"),
        TextMember(entry, "dump_id"),
        when != entry.end() && when->is_number_integer() ? when->get<int64_t>() : 0};
    if (!loaded.file_name.empty() && !loaded.key.empty()) files.push_back(std::move(loaded));
  }
  return files;
}

}  // namespace

SymbolQuarantine::SymbolQuarantine(const fs::path& store) : store_(store), files_(Load(store)) {}

bool SymbolQuarantine::SetAside(const QuarantinedFile& file) {
  const std::lock_guard lock(mutex_);
  const std::string id = IdOf(file);
  if (std::any_of(files_.begin(), files_.end(),
                  [&](const QuarantinedFile& held) { return IdOf(held) == id; })) {
    return false;
  }
  files_.push_back(file);
  Save();
  return true;
}

void SymbolQuarantine::Release(const std::vector<std::string>& ids) {
  const std::lock_guard lock(mutex_);
  const auto released =
      std::remove_if(files_.begin(), files_.end(), [&](const QuarantinedFile& held) {
        return std::find(ids.begin(), ids.end(), IdOf(held)) != ids.end();
      });
  if (released == files_.end()) return;
  files_.erase(released, files_.end());
  Save();
}

std::set<std::string> SymbolQuarantine::Ids() const {
  const std::lock_guard lock(mutex_);
  std::set<std::string> ids;
  for (const QuarantinedFile& file : files_) ids.insert(IdOf(file));
  return ids;
}

std::vector<QuarantinedFile> SymbolQuarantine::Files() const {
  const std::lock_guard lock(mutex_);
  return files_;
}

void SymbolQuarantine::Save() const {
  const ScopedFile folder = OpenFolder(store_);
  if (!folder.is_valid() || !ReplaceFileIn(folder.get(), kQuarantineFileName,
                                           kQuarantineTempFileName, QuarantineJson(files_))) {
    LogLine(std::string("cannot write ") + kQuarantineFileName +
            "; the symbol files set aside are read again after a restart");
  }
}

std::string QuarantineJson(const std::vector<QuarantinedFile>& files) {
  Json json = {{"files", Json::array()}};
  for (const QuarantinedFile& file : files) json["files"].push_back(FileJson(file));
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

}  // namespace fennick_ingest
