#include "pipeline/upload_attempts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>

#include "host/device_id.h"
#include "platform/file_io.h"
#include "platform/folder.h"
#include "platform/text_conversion.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kFileName[] = "upload_attempts.json";
constexpr char kFallbackFileName[] = ".fennick-upload-attempts.json";
// Marks the file as this one, so that a file of another program under the name is ignored.
constexpr char kFormat[] = "fennick-upload-attempts/1";
constexpr size_t kMaxFileBytes = 4 * 1024 * 1024;
constexpr int64_t kMaxPass = std::numeric_limits<int64_t>::max() / 2;
constexpr int64_t kNeverTried = -1;
constexpr int kHexDigitsPerUnit = 2 * sizeof(WideChar);

using WideUnit = std::make_unsigned_t<WideChar>;

// The key of a path in the file: its UTF-8 text, or, for a path that has none (a Linux name
// that is not UTF-8, a Windows one with a lone surrogate), a NUL followed by the hex digits
// of its code units. No path holds a NUL, so the two forms never meet.
std::string KeyOf(const WideString& path) {
  std::string key = WideToUtf8(path);
  if (!key.empty() || path.empty()) {
    return key;
  }
  key.assign(1, '\0');
  for (const WideChar unit : path) {
    char digits[kHexDigitsPerUnit + 1];
    std::snprintf(digits, sizeof digits, "%0*X", kHexDigitsPerUnit,
                  static_cast<unsigned>(static_cast<WideUnit>(unit)));
    key += digits;
  }
  return key;
}

std::optional<WideString> PathOf(const std::string& key) {
  if (key.empty() || key[0] != '\0') {
    WideString path = Utf8ToWide(key);
    return path.empty() ? std::nullopt : std::optional<WideString>(path);
  }
  const std::string digits = key.substr(1);
  if (digits.empty() || digits.size() % kHexDigitsPerUnit != 0) {
    return std::nullopt;
  }
  WideString path;
  for (size_t i = 0; i < digits.size(); i += kHexDigitsPerUnit) {
    const char* const first = digits.data() + i;
    const char* const last = first + kHexDigitsPerUnit;
    WideUnit unit = 0;
    const auto [end, error] = std::from_chars(first, last, unit, 16);
    if (error != std::errc() || end != last) {
      return std::nullopt;
    }
    path.push_back(static_cast<WideChar>(unit));
  }
  return path;
}

WideString KeyPath(const fs::path& metadata_path) {
  return metadata_path.lexically_normal().native();
}

bool IsPassNumber(const json& value) {
  return value.is_number_integer() && value.get<int64_t>() >= 0 && value.get<int64_t>() < kMaxPass;
}

// Adds the entries of `text` to `last_failed` (the later pass where both have a path) and
// returns the number of the last pass saved, or nullopt when the text is not this file's.
std::optional<int64_t> ParseState(const std::string& text,
                                  std::map<WideString, int64_t>* last_failed) {
  const json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) {
    return std::nullopt;
  }
  const auto format = document.find("format");
  const auto last_pass = document.find("last_pass");
  const auto failed = document.find("failed");
  if (format == document.end() || !format->is_string() || *format != kFormat ||
      last_pass == document.end() || !IsPassNumber(*last_pass) || failed == document.end() ||
      !failed->is_object()) {
    return std::nullopt;
  }
  for (const auto& [key, pass] : failed->items()) {
    if (const std::optional<WideString> path = PathOf(key); path && IsPassNumber(pass)) {
      int64_t& known = (*last_failed)[*path];
      known = std::max(known, pass.get<int64_t>());
    }
  }
  return last_pass->get<int64_t>();
}

// Reads the file at `path` into `last_failed`; the number of its last pass, or nullopt when
// it holds none of this program's.
std::optional<int64_t> ReadState(const fs::path& path,
                                 std::map<WideString, int64_t>* last_failed) {
  const std::optional<std::string> text = ReadSmallFile(path, kMaxFileBytes);
  if (!text) {
    return std::nullopt;
  }
  try {
    return ParseState(*text, last_failed);
  } catch (const json::exception&) {
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

}  // namespace

bool IsUploadAttemptsTemporaryName(const WideString& name) {
  const WideString prefix = fs::path(kFallbackFileName).native() + FENNICK_WIDE(".");
  const WideString suffix = FENNICK_WIDE(".tmp");
  if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(suffix)) {
    return false;
  }
  const WideString process_id =
      name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  return std::all_of(process_id.begin(), process_id.end(),
                     [](WideChar c) { return c >= '0' && c <= '9'; });
}

UploadAttempts UploadAttempts::Load(const fs::path& dump_folder) {
  UploadAttempts attempts;
  if (const fs::path folder = FennickDataFolder(); !folder.empty()) {
    attempts.path_ = folder / kFileName;
  }
  attempts.fallback_path_ = dump_folder / kFallbackFileName;
  int64_t last_pass = -1;
  for (const fs::path& path : {attempts.path_, attempts.fallback_path_}) {
    if (path.empty()) {
      continue;
    }
    if (const std::optional<int64_t> saved = ReadState(path, &attempts.last_failed_)) {
      last_pass = std::max(last_pass, *saved);
      attempts.fallback_loaded_ |= path == attempts.fallback_path_;
    }
  }
  attempts.pass_ = last_pass + 1;
  // The dump folder's copy moves into the per-user file as soon as that can be written.
  attempts.changed_ = attempts.fallback_loaded_ && !attempts.path_.empty();
  return attempts;
}

void UploadAttempts::Order(std::vector<fs::path>* metadata_paths) const {
  const auto last_failed = [this](const fs::path& path) {
    const auto entry = last_failed_.find(KeyPath(path));
    return entry == last_failed_.end() ? kNeverTried : entry->second;
  };
  std::stable_sort(metadata_paths->begin(), metadata_paths->end(),
                   [&](const fs::path& a, const fs::path& b) {
                     return last_failed(a) < last_failed(b);
                   });
}

void UploadAttempts::Record(const fs::path& metadata_path, bool finished) {
  if (finished) {
    changed_ |= last_failed_.erase(KeyPath(metadata_path)) > 0;
  } else {
    last_failed_[KeyPath(metadata_path)] = pass_;
    changed_ = true;
  }
}

void UploadAttempts::Save() {
  changed_ |= std::erase_if(last_failed_, [](const auto& entry) {
                return IsMissing(fs::path(entry.first));
              }) > 0;
  if (!changed_) {
    return;
  }
  std::vector<std::pair<int64_t, WideString>> by_pass;
  for (const auto& [path, pass] : last_failed_) {
    by_pass.emplace_back(pass, path);
  }
  std::sort(by_pass.rbegin(), by_pass.rend());
  json failed = json::object();
  for (size_t i = 0; i < by_pass.size() && i < kMaxUploadAttempts; ++i) {
    failed[KeyOf(by_pass[i].second)] = by_pass[i].first;
  }
  const json document = {{"format", kFormat}, {"last_pass", pass_}, {"failed", failed}};
  const std::string text =
      document.dump(2, ' ', /*ensure_ascii=*/false, json::error_handler_t::replace);
  if (!path_.empty() && CreateFolders(path_.parent_path()) &&
      WriteFileThroughTemporary(path_, text)) {
    if (fallback_loaded_) {
      RemoveFile(fallback_path_);
    }
    changed_ = false;
    return;
  }
  // Without either file only the order of later passes suffers.
  changed_ = !WriteFileThroughTemporary(fallback_path_, text);
}
