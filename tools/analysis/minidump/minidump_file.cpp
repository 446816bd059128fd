// The dump file as a byte source: each piece the reader asks for is read where it lies, so a
// 50 MiB dump costs its header, directory and a few streams, not 50 MiB.
#include <cstdint>

#include "minidump_reader.h"
#include "platform/file_io.h"

namespace fennick_minidump {

// A file cut while it is read gives a short read, which fails like any other error.
bool FileByteSource::Read(uint64_t offset, size_t length, void* out) const {
  if (!SeekFile(file_, static_cast<int64_t>(offset), SeekOrigin::kBegin)) return false;
  auto* bytes = static_cast<char*>(out);
  while (length > 0) {
    const int64_t got = ReadFromFile(file_, bytes, length);
    if (got <= 0) return false;
    bytes += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

std::optional<FileByteSource> FileByteSource::Open(FileHandle file) {
  if (file == kInvalidFileHandle) return std::nullopt;
  const std::optional<int64_t> size = GetFileSize(file);
  if (!size || *size < 0) return std::nullopt;
  return FileByteSource(file, static_cast<uint64_t>(*size));
}

MinidumpResult ReadMinidumpFile(const std::filesystem::path& path) {
  const ScopedFile file = OpenFileForReading(path);
  return ReadOpenMinidumpFile(file.get());
}

MinidumpResult ReadOpenMinidumpFile(FileHandle file) {
  if (file == kInvalidFileHandle) return {std::nullopt, "unreadable: cannot open the file"};
  const std::optional<FileByteSource> source = FileByteSource::Open(file);
  if (!source) return {std::nullopt, "unreadable: cannot read the file's size"};
  return ReadMinidump(*source);
}

}  // namespace fennick_minidump
