#ifndef FENNICK_TESTS_TOOLS_DAMAGED_SYMBOLS_H_
#define FENNICK_TESTS_TOOLS_DAMAGED_SYMBOLS_H_

// Symbol files damaged as a truncated copy, a disk error or a half-written build output
// damages them, made the same way on every run; and copies of the crash fixture's files and
// dumps that name one another under keys of their own, so that many damaged files can be
// stored side by side, each used by one report.

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

// A part of a file to damage.
struct FileSpan {
  std::string name;  // the section's name, for the variant's name
  size_t offset = 0;
  size_t size = 0;
};

inline uint32_t ReadU32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

inline void WriteU32(std::string& bytes, size_t at, uint32_t value) {
  std::memcpy(bytes.data() + at, &value, sizeof value);
}

inline size_t PeHeaderOffset(const std::string& image) { return ReadU32(image, 0x3C); }

// The sections of a PE image whose names start with `prefix` (DWARF's are ".debug_*", their
// long names in the COFF string table).
inline std::vector<FileSpan> ImageSections(const std::string& image, std::string_view prefix) {
  const size_t pe = PeHeaderOffset(image);
  uint16_t sections = 0;
  uint16_t optional_size = 0;
  std::memcpy(&sections, image.data() + pe + 6, 2);
  std::memcpy(&optional_size, image.data() + pe + 20, 2);
  const size_t strings = ReadU32(image, pe + 12) + size_t{ReadU32(image, pe + 16)} * 18;
  std::vector<FileSpan> found;
  for (size_t i = 0; i < sections; ++i) {
    const size_t header = pe + 24 + optional_size + 40 * i;
    std::string name(image.data() + header, strnlen(image.data() + header, 8));
    if (name.starts_with("/")) name = image.c_str() + strings + std::stoul(name.substr(1));
    if (name.starts_with(prefix)) {
      found.push_back({name, ReadU32(image, header + 20), ReadU32(image, header + 16)});
    }
  }
  return found;
}

// Everything of a PDB after its superblock and its first free-page maps.
inline FileSpan PdbStreams(const std::string& pdb) {
  const size_t block = ReadU32(pdb, 32);
  return {"streams", 3 * block, pdb.size() - 3 * block};
}

// Variant `number` of `file` damaged within `span`: a few bits flipped, a run of random
// bytes, or a run of 0xFF, from a generator seeded with `number`.
inline std::string Damaged(std::string file, const FileSpan& span, uint32_t number) {
  std::mt19937 random(number);
  const auto within = [&](size_t count) { return static_cast<size_t>(random() % count); };
  const size_t at = span.offset + within(span.size);
  const size_t end = span.offset + span.size;
  switch (number % 4) {
    case 0:
    case 1:
      for (size_t flips = 1 + within(8); flips > 0; --flips) {
        file[span.offset + within(span.size)] ^= static_cast<char>(1 << within(8));
      }
      break;
    case 2:
      for (size_t i = at, length = 4 + within(61); i < end && i < at + length; ++i) {
        file[i] = static_cast<char>(random());
      }
      break;
    default:
      for (size_t i = at, length = 4 + within(253); i < end && i < at + length; ++i) {
        file[i] = '\xFF';
      }
      break;
  }
  return file;
}

// `bytes` with every `from` made `to` (of the same length).
inline std::string Replaced(std::string bytes, std::string_view from, std::string_view to) {
  for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1)) {
    bytes.replace(at, to.size(), to);
  }
  return bytes;
}

// The image's PE TimeDateStamp and SizeOfImage, which make its key.
inline uint32_t ImageTimeStamp(const std::string& image) {
  return ReadU32(image, PeHeaderOffset(image) + 8);
}
inline uint32_t ImageSize(const std::string& image) {
  return ReadU32(image, PeHeaderOffset(image) + 24 + 56);
}

inline std::string WithImageTimeStamp(std::string image, uint32_t time_stamp) {
  WriteU32(image, PeHeaderOffset(image) + 8, time_stamp);
  return image;
}

// A copy of `dump` whose module with the time stamp `from` and size `size` claims the time
// stamp `to`: the dump of a build that was linked at another time.
inline std::string WithModuleTimeStamp(std::string dump, uint32_t from, uint32_t size,
                                       uint32_t to) {
  constexpr uint32_t kModuleListStream = 4;
  constexpr size_t kModuleBytes = 108;
  const uint32_t streams = ReadU32(dump, 8);
  const size_t directory = ReadU32(dump, 12);
  for (uint32_t i = 0; i < streams; ++i) {
    const size_t entry = directory + 12 * size_t{i};
    if (ReadU32(dump, entry) != kModuleListStream) continue;
    const size_t list = ReadU32(dump, entry + 8);
    for (uint32_t m = 0; m < ReadU32(dump, list); ++m) {
      const size_t module = list + 4 + kModuleBytes * m;
      if (ReadU32(dump, module + 8) == size && ReadU32(dump, module + 16) == from) {
        WriteU32(dump, module + 16, to);
      }
    }
  }
  return dump;
}

#endif  // FENNICK_TESTS_TOOLS_DAMAGED_SYMBOLS_H_
