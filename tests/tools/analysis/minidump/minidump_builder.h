#ifndef FENNICK_TESTS_TOOLS_MINIDUMP_MINIDUMP_BUILDER_H_
#define FENNICK_TESTS_TOOLS_MINIDUMP_MINIDUMP_BUILDER_H_

// Small hand-built minidumps: a valid dump of a made-up crash, laid out by BuildDump, which
// tests then change part by part or byte by byte.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "minidump_format.h"
#include "minidump_reader.h"

namespace fennick_minidump {

// The content of a dump: by default an access violation writing to 0x10 at
// Ortivo.exe+0x1643 (file version 3.1.2.45) on Windows 10.0.19045, amd64.
struct DumpParts {
  SystemInfo system = {9, 6, 0x9E0A, 2, 1, 10, 0, 19045, 2, 0, 0x100, 0, {}};
  std::u16string service_pack = u"Service Pack 1";
  ExceptionStream exception = {7, 0, {0xC0000005, 0, 0, 0x140001643, 2, 0, {1, 0x10}}, {}};
  std::vector<Module> modules = {
      {0x140000000,
       0x13000,
       0,
       0x6553F100,
       0,
       {kFixedFileInfoSignature, 0x10000, 0x30001, 0x2002D, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {},
       {},
       0,
       0},
      {0x7FF800000000, 0x1F0000, 0, 0x12345678, 0, {}, {}, {}, 0, 0}};
  std::vector<std::u16string> module_names = {u"C:\\Program Files\\Ortivo\\Ortivo.exe",
                                              u"C:\\Windows\\System32\\ntdll.dll"};
  std::vector<Thread> threads = {{5, 0, 0, 0, 0, {0x200000, {0x1000, 0}}, {}},
                                 {7, 0, 0, 0, 0, {0x300000, {0x2000, 0}}, {}}};
  MiscInfo misc = {24, kMiscProcessId | kMiscProcessTimes, 4242, 1700000000, 0, 0};
  std::string memory = "stack bytes";   // one memory range at 0x300000, in both memory lists
  uint32_t memory64_ranges = 1;         // the memory64 list holds it cut into this many ranges
  std::string context;                  // the exception's thread context, none when empty
  std::vector<std::string> code_views;  // each module's CodeView record, none when empty
  std::string stack;  // the crashing thread's stack, from its stack_start on; left out when empty
};

// An x64 CONTEXT with Rax ... R15 set to `registers` and Rip to `rip`, `size` bytes long.
inline std::string Amd64Context(const std::array<uint64_t, 16>& registers, uint64_t rip,
                                size_t size = kAmd64ContextSize) {
  std::string bytes(std::max<size_t>(size, kAmd64ContextRip + 8), '\0');
  std::memcpy(bytes.data() + kAmd64ContextRax, registers.data(), sizeof registers);
  std::memcpy(bytes.data() + kAmd64ContextRip, &rip, sizeof rip);
  bytes.resize(size);
  return bytes;
}

// A CodeView record in the PDB 7.0 form: "RSDS", the GUID 00 01 ... 0F, `age`, then `path`
// and, when `terminated`, its NUL.
inline std::string Pdb70Record(uint32_t age, const std::string& path, bool terminated = true) {
  CodeViewPdb70 header = {kCodeViewPdb70, {}, age};
  for (uint8_t i = 0; i < 16; ++i) header.guid[i] = i;
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + path +
         std::string(terminated ? 1 : 0, '\0');
}

// Where BuildDump put each part, for tests that break the dump byte by byte.
struct DumpLayout {
  uint32_t directory = 0;
  uint32_t system = 0;
  uint32_t exception = 0;
  uint32_t module_list = 0;
  uint32_t first_module_name = 0;
  uint32_t thread_list = 0;
  uint32_t memory_list = 0;
  uint32_t memory64_list = 0;
};

// Lays the parts out one after another behind the header; the stream directory goes last.
class DumpWriter {
 public:
  template <typename T>
  uint32_t Add(const T& record) {
    return AddBytes(&record, sizeof record);
  }
  uint32_t AddBytes(const void* data, size_t size) {
    const auto rva = static_cast<uint32_t>(bytes_.size());
    bytes_.append(static_cast<const char*>(data), size);
    return rva;
  }
  uint32_t AddString(const std::u16string& text) {
    const uint32_t rva = Add(static_cast<uint32_t>(text.size() * 2));
    AddBytes(text.data(), text.size() * 2);
    return rva;
  }
  template <typename T>
  uint32_t AddStream(uint32_t type, const std::vector<T>& records) {
    const uint32_t rva = Add(static_cast<uint32_t>(records.size()));
    for (const T& record : records) Add(record);
    return Named(type, rva);
  }
  template <typename T>
  uint32_t AddStream(uint32_t type, const T& record) {
    return Named(type, Add(record));
  }
  uint32_t Named(uint32_t type, uint32_t rva) {
    directory_.push_back({type, {static_cast<uint32_t>(bytes_.size() - rva), rva}});
    return rva;
  }
  std::string Finish(uint32_t* directory_rva) {
    *directory_rva = static_cast<uint32_t>(bytes_.size());
    for (const Directory& entry : directory_) Add(entry);
    const auto count = static_cast<uint32_t>(directory_.size());
    const Header header = {
        kMinidumpSignature, kMinidumpVersion, count, *directory_rva, 0, 1700000000, 0};
    std::memcpy(bytes_.data(), &header, sizeof header);
    return bytes_;
  }

 private:
  std::string bytes_ = std::string(sizeof(Header), '\0');
  std::vector<Directory> directory_;
};

inline std::string BuildDump(DumpParts parts, DumpLayout* layout = nullptr) {
  DumpLayout at;
  DumpWriter writer;
  parts.system.csd_version_rva = writer.AddString(parts.service_pack);
  for (size_t i = 0; i < parts.modules.size(); ++i) {
    parts.modules[i].module_name_rva = writer.AddString(parts.module_names[i]);
    if (i < parts.code_views.size() && !parts.code_views[i].empty()) {
      const std::string& record = parts.code_views[i];
      parts.modules[i].cv_record = {static_cast<uint32_t>(record.size()),
                                    writer.AddBytes(record.data(), record.size())};
    }
  }
  if (!parts.context.empty()) {
    parts.exception.thread_context = {static_cast<uint32_t>(parts.context.size()),
                                      writer.AddBytes(parts.context.data(), parts.context.size())};
  }
  for (Thread& thread : parts.threads) {
    if (thread.thread_id == parts.exception.thread_id && !parts.stack.empty()) {
      thread.stack.memory = {static_cast<uint32_t>(parts.stack.size()),
                             writer.AddBytes(parts.stack.data(), parts.stack.size())};
    }
  }
  at.first_module_name = parts.modules[0].module_name_rva;
  const uint32_t memory = writer.AddBytes(parts.memory.data(), parts.memory.size());
  const auto memory_size = static_cast<uint32_t>(parts.memory.size());
  at.system = writer.AddStream(kSystemInfoStream, parts.system);
  at.exception = writer.AddStream(kExceptionStream, parts.exception);
  at.module_list = writer.AddStream(kModuleListStream, parts.modules);
  at.thread_list = writer.AddStream(kThreadListStream, parts.threads);
  writer.AddStream(kMiscInfoStream, parts.misc);
  at.memory_list = writer.AddStream(
      kMemoryListStream, std::vector<MemoryDescriptor>{{0x300000, {memory_size, memory}}});
  const uint32_t ranges = parts.memory64_ranges;
  at.memory64_list = writer.Add(Memory64ListHeader{ranges, memory});
  for (uint32_t i = 0; i < ranges; ++i) {
    const uint32_t begin = memory_size * i / ranges;
    const uint32_t end = memory_size * (i + 1) / ranges;
    writer.Add(MemoryDescriptor64{0x300000 + begin, end - begin});
  }
  writer.Named(kMemory64ListStream, at.memory64_list);
  std::string bytes = writer.Finish(&at.directory);
  if (layout != nullptr) *layout = at;
  return bytes;
}

// Overwrites the little-endian value at `offset`.
inline void Put32(std::string* bytes, size_t offset, uint32_t value) {
  std::memcpy(bytes->data() + offset, &value, sizeof value);
}
inline void Put64(std::string* bytes, size_t offset, uint64_t value) {
  std::memcpy(bytes->data() + offset, &value, sizeof value);
}

// `count` modules whose names all point at one name of the longest length allowed, made of
// `unit`: a dump of 64 KiB and a record per module that asks for `count` long names.
inline std::string SharedLongNames(size_t count, char16_t unit = u'a') {
  DumpParts parts;
  parts.modules.resize(count, parts.modules[1]);
  parts.module_names.assign(count, u"m.dll");
  parts.module_names[0].assign(kMaxStringUnits, unit);
  DumpLayout at;
  std::string bytes = BuildDump(parts, &at);
  for (size_t i = 0; i < count; ++i) {
    Put32(&bytes,
          at.module_list + kListCountSize + i * sizeof(Module) + offsetof(Module, module_name_rva),
          at.first_module_name);
  }
  return bytes;
}

}  // namespace fennick_minidump

#endif  // FENNICK_TESTS_TOOLS_MINIDUMP_MINIDUMP_BUILDER_H_
