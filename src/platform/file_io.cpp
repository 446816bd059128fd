#include "platform/file_io.h"

#include <algorithm>
#include <string>

#include "platform/process.h"

namespace {

constexpr size_t kReadChunkBytes = 64 * 1024;

}  // namespace

bool WriteFileThroughTemporary(const std::filesystem::path& path, std::string_view data) {
  std::filesystem::path temporary = path;
  // Runs at the same time each write a temporary of their own: a shared one could be
  // truncated under its writer or moved away before its own move.
  temporary += "." + std::to_string(CurrentProcessId()) + ".tmp";
  return WriteWholeFile(temporary, data) && ReplaceFileDurably(temporary, path);
}

std::optional<FileIdentity> IdentifyFileAt(const std::filesystem::path& path) {
  const ScopedFile file = OpenFileForReading(path);
  return file.is_valid() ? IdentifyFile(file.get()) : std::nullopt;
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t max_bytes) {
  const ScopedFile file = OpenFileForReading(path);
  if (!file.is_valid()) {
    return std::nullopt;
  }
  std::string content;
  for (;;) {
    const size_t filled = content.size();
    const size_t wanted = std::min(kReadChunkBytes, max_bytes + 1 - filled);
    content.resize(filled + wanted);
    const int64_t count = ReadFromFile(file.get(), content.data() + filled, wanted);
    if (count < 0) {
      return std::nullopt;
    }
    content.resize(filled + static_cast<size_t>(count));
    if (content.size() > max_bytes) {
      return std::nullopt;
    }
    if (count == 0) {
      return content;
    }
  }
}
