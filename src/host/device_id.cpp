#include "host/device_id.h"

#include <optional>
#include <string_view>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/folder.h"
#include "platform/guid.h"
#include "platform/native_text.h"
#include "platform/text_conversion.h"

namespace {

constexpr size_t kMaxDeviceIdBytes = 64;

// The file's first line when it is a usable identifier (1 to kMaxDeviceIdBytes bytes, taken
// as it stands), else nullopt. Reads at most one byte past the longest usable line, so a
// huge or garbage file costs no more than a small one.
std::optional<std::string> ReadStoredDeviceId(const std::filesystem::path& path) {
  const ScopedFile file = OpenFileForReading(path);
  if (!file.is_valid()) {
    return std::nullopt;
  }
  std::string line;
  char buffer[kMaxDeviceIdBytes + 1];
  while (line.size() <= kMaxDeviceIdBytes) {
    const int64_t count = ReadFromFile(file.get(), buffer, sizeof(buffer) - line.size());
    if (count < 0) {
      return std::nullopt;
    }
    if (count == 0) {
      break;
    }
    const std::string_view chunk(buffer, static_cast<size_t>(count));
    const size_t line_feed = chunk.find('\n');
    line.append(chunk.substr(0, line_feed));
    if (line_feed != std::string_view::npos) {
      break;
    }
  }
  if (line.empty() || line.size() > kMaxDeviceIdBytes) {
    return std::nullopt;
  }
  return line;
}

}  // namespace

std::string NewGuidText() {
  WideString text = NewPlatformGuidText();
  if (text.size() >= 2 && text.front() == FENNICK_WIDE('{') && text.back() == FENNICK_WIDE('}')) {
    text = text.substr(1, text.size() - 2);
  }
  return WideToUtf8(text);
}

std::filesystem::path FennickDataFolder() {
  const std::filesystem::path folder = UserDataFolder();
  if (folder.empty()) {
    return std::filesystem::path();
  }
  return folder / "Ortivo" / "Fennick";
}

std::filesystem::path DeviceIdFilePath() {
  const std::filesystem::path folder = FennickDataFolder();
  return folder.empty() ? folder : folder / "device_id.txt";
}

std::string GetOrCreateDeviceId() {
  const std::filesystem::path path = DeviceIdFilePath();
  if (path.empty()) {
    return std::string();
  }
  if (std::optional<std::string> stored = ReadStoredDeviceId(path)) {
    return *stored;
  }
  const std::string id = NewGuidText();
  if (id.empty()) {
    return id;
  }
  // An identifier that cannot be kept still serves this upload; the next call makes another.
  // Written whole: a power loss mid-write must not leave an empty file that would make the
  // next run send under a new identifier.
  static_cast<void>(CreateFolders(path.parent_path()) && WriteFileThroughTemporary(path, id));
  return id;
}
