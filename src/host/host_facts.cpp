#include "host/host_facts.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "platform/file_io.h"
#include "platform/version_info.h"

namespace {

constexpr size_t kDosHeaderBytes = 64;
constexpr size_t kPeOffsetPosition = 60;       // e_lfanew in the DOS header.
constexpr size_t kFileHeaderBytes = 20;        // The COFF file header after "PE\0\0".
constexpr size_t kTimeStampPosition = 4;       // TimeDateStamp in the file header.
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0" read little-endian.

uint32_t ReadLittleEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Fills the whole buffer from the current position; false on an error or an early end.
template <size_t N>
bool ReadExactly(FileHandle file, std::array<unsigned char, N>* bytes) {
  size_t filled = 0;
  while (filled < N) {
    const int64_t count = ReadFromFile(file, bytes->data() + filled, N - filled);
    if (count <= 0) {
      return false;
    }
    filled += static_cast<size_t>(count);
  }
  return true;
}

// The link time stamp from the executable's PE file header, or nullopt when the file is
// not a PE image that can be read that far.
std::optional<uint32_t> ReadPeTimeStamp(const std::filesystem::path& executable) {
  const ScopedFile file = OpenFileForReading(executable);
  std::array<unsigned char, kDosHeaderBytes> dos_header{};
  if (!file.is_valid() || !ReadExactly(file.get(), &dos_header) || dos_header[0] != 'M' ||
      dos_header[1] != 'Z') {
    return std::nullopt;
  }
  // The offset is signed in the format; a negative one fails the seek below.
  const auto pe_offset = static_cast<int32_t>(ReadLittleEndian32(&dos_header[kPeOffsetPosition]));
  std::array<unsigned char, 4> signature{};
  if (!SeekFile(file.get(), pe_offset, SeekOrigin::kBegin) ||
      !ReadExactly(file.get(), &signature) ||
      ReadLittleEndian32(signature.data()) != kPeSignature) {
    return std::nullopt;
  }
  std::array<unsigned char, kFileHeaderBytes> file_header{};
  if (!ReadExactly(file.get(), &file_header)) {
    return std::nullopt;
  }
  return ReadLittleEndian32(&file_header[kTimeStampPosition]);
}

std::string FormatFileVersion(const FileVersion& version) {
  return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
         std::to_string(version[2]) + "." + std::to_string(version[3]);
}

std::string FormatPeTimeStamp(uint32_t time_stamp) {
  char text[sizeof("pe-12345678")];
  std::snprintf(text, sizeof(text), "pe-%08X", static_cast<unsigned int>(time_stamp));
  return text;
}

}  // namespace

std::string GetOsVersionText() {
  const std::optional<OsVersion> version = ReadOsVersion();
  if (!version) {
    return std::string();
  }
  return "Windows " + std::to_string(version->major) + "." + std::to_string(version->minor) + "." +
         std::to_string(version->build);
}

std::string GetAppVersionText(const std::filesystem::path& executable) {
  if (const std::optional<FileVersion> version = ReadFileVersion(executable)) {
    return FormatFileVersion(*version);
  }
  if (const std::optional<uint32_t> time_stamp = ReadPeTimeStamp(executable)) {
    return FormatPeTimeStamp(*time_stamp);
  }
  return "unknown";
}
