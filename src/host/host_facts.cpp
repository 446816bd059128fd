#include "host/host_facts.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/file_io.h"
#include "platform/version_info.h"

namespace {

constexpr size_t kDosHeaderBytes = 64;
constexpr size_t kPeOffsetPosition = 60;       // e_lfanew in the DOS header.
constexpr size_t kPeHeaderBytes = 24;          // "PE\0\0" and the 20-byte COFF file header.
constexpr size_t kTimeStampPosition = 8;       // TimeDateStamp, 4 bytes into the file header.
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0" read little-endian.

using DosHeader = std::array<unsigned char, kDosHeaderBytes>;
using PeHeader = std::array<unsigned char, kPeHeaderBytes>;

uint32_t ReadLittleEndian32(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Where the PE header starts, as the DOS header says, or nullopt when it is no "MZ" header.
// The offset is signed in the format; a negative one names no header.
std::optional<int32_t> PeHeaderOffset(const DosHeader& dos_header) {
  if (dos_header[0] != 'M' || dos_header[1] != 'Z') {
    return std::nullopt;
  }
  return static_cast<int32_t>(ReadLittleEndian32(&dos_header[kPeOffsetPosition]));
}

// The link time stamp of a PE header, or nullopt when it lacks the "PE\0\0" signature.
std::optional<uint32_t> PeHeaderTimeStamp(const PeHeader& pe_header) {
  if (ReadLittleEndian32(pe_header.data()) != kPeSignature) {
    return std::nullopt;
  }
  return ReadLittleEndian32(&pe_header[kTimeStampPosition]);
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
// not a PE image that can be read that far. Only the two headers are read.
std::optional<uint32_t> ReadPeTimeStamp(const std::filesystem::path& executable) {
  const ScopedFile file = OpenFileForReading(executable);
  DosHeader dos_header{};
  if (!file.is_valid() || !ReadExactly(file.get(), &dos_header)) {
    return std::nullopt;
  }
  const std::optional<int32_t> offset = PeHeaderOffset(dos_header);
  PeHeader pe_header{};
  if (!offset || !SeekFile(file.get(), *offset, SeekOrigin::kBegin) ||
      !ReadExactly(file.get(), &pe_header)) {
    return std::nullopt;
  }
  return PeHeaderTimeStamp(pe_header);
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

std::optional<uint32_t> ParsePeTimeStamp(std::string_view image) {
  DosHeader dos_header{};
  if (image.size() < dos_header.size()) {
    return std::nullopt;
  }
  std::memcpy(dos_header.data(), image.data(), dos_header.size());
  const std::optional<int32_t> offset = PeHeaderOffset(dos_header);
  PeHeader pe_header{};
  // The image is at least as long as the DOS header, so the subtraction cannot wrap.
  if (!offset || *offset < 0 || static_cast<size_t>(*offset) > image.size() - pe_header.size()) {
    return std::nullopt;
  }
  std::memcpy(pe_header.data(), image.data() + *offset, pe_header.size());
  return PeHeaderTimeStamp(pe_header);
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
