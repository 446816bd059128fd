#ifndef FENNICK_TOOLS_MINIDUMP_MINIDUMP_READER_H_
#define FENNICK_TOOLS_MINIDUMP_MINIDUMP_READER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/file_io.h"

namespace fennick_minidump {

// Limits that keep a hostile dump from costing more than a real one. Every count is also
// bounded by the bytes its stream holds.
constexpr size_t kMaxModules = 16384;
constexpr size_t kMaxStringUnits = 32767;  // the longest path Windows has
// Module names and the like, together, in the UTF-8 the reader keeps: one long name that
// many modules point at counts once for each of them.
constexpr uint64_t kMaxTextBytes = 4 * 1024 * 1024;
// The longest PDB path a CodeView record may name, in bytes of UTF-8.
constexpr size_t kMaxPdbNameBytes = 32767;
// The memory ranges kept, memory lists and the crashing thread's stack together.
constexpr size_t kMaxMemoryRanges = size_t{1} << 20;

struct ExceptionInfo {
  uint32_t thread_id = 0;
  uint32_t code = 0;
  uint32_t flags = 0;
  uint64_t address = 0;
  std::vector<uint64_t> parameters;  // at most 15
};

struct SystemInfoFacts {
  uint16_t processor_architecture = 0;  // PROCESSOR_ARCHITECTURE_*
  uint16_t processor_level = 0;
  uint16_t processor_revision = 0;
  uint8_t number_of_processors = 0;
  uint8_t product_type = 0;
  uint32_t major_version = 0;
  uint32_t minor_version = 0;
  uint32_t build_number = 0;
  uint32_t platform_id = 0;
  std::string service_pack;  // UTF-8, empty when none
};

// A module's CodeView record in the PDB 7.0 form ("RSDS"): the identity of its PDB.
struct CodeViewRecord {
  std::array<uint8_t, 16> guid{};  // as stored: Data1, Data2, Data3 little-endian, then Data4
  uint32_t age = 0;
  std::string pdb_name;  // the PDB's path as the linker wrote it, UTF-8
};

struct ModuleInfo {
  uint64_t base = 0;
  uint32_t size = 0;
  uint32_t time_stamp = 0;
  std::optional<std::array<uint16_t, 4>> file_version;  // from VS_FIXEDFILEINFO
  std::string name;                                     // the full path as recorded, UTF-8
  std::optional<CodeViewRecord> code_view;              // absent for other record forms
};

struct ThreadInfo {
  uint32_t id = 0;
  uint64_t stack_start = 0;
  uint32_t stack_size = 0;
};

// The x64 integer registers of a thread, numbered as x64 unwind codes number them:
// RAX, RCX, RDX, RBX, RSP, RBP, RSI, RDI, R8 ... R15.
struct ThreadContext {
  std::array<uint64_t, 16> registers{};
  uint64_t rip = 0;
};

// Memory the dump holds: `size` bytes of the process's memory from `start` on, stored at
// `file_offset` in the dump.
struct MemoryRange {
  uint64_t start = 0;
  uint64_t size = 0;
  uint64_t file_offset = 0;
};

struct MiscInfoFacts {
  std::optional<uint32_t> process_id;
  std::optional<uint32_t> process_create_time;  // seconds since 1970-01-01 00:00 UTC
};

// What the reader found in one dump. The streams it reads are each optional.
struct Minidump {
  uint64_t file_size = 0;
  uint32_t stream_count = 0;
  uint32_t time_stamp = 0;  // when the dump was written, seconds since 1970
  uint64_t flags = 0;       // MINIDUMP_TYPE the writer was asked for
  std::optional<ExceptionInfo> exception;
  std::optional<SystemInfoFacts> system_info;
  std::vector<ModuleInfo> modules;  // in the dump's order
  std::optional<size_t> thread_count;
  std::optional<ThreadInfo> crashing_thread;  // the thread the exception names
  std::optional<MiscInfoFacts> misc_info;
  size_t memory_ranges = 0;  // memory list and memory64 list together
  // The crashing thread's registers at the exception (x64 dumps only), and the memory the
  // dump holds (memory lists, the crashing thread's stack), for unwinding its stack.
  std::optional<ThreadContext> crash_context;
  // Sorted by start, none overlapping: where ranges overlap, the one that starts first keeps
  // the bytes they share.
  std::vector<MemoryRange> memory;
};

// A dump, or why it cannot be read: `error` is "unreadable: <reason>" when `minidump` is empty.
struct MinidumpResult {
  std::optional<Minidump> minidump;
  std::string error;
};

// Where the reader takes bytes from: a buffer, or a file read piece by piece.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Copies the `length` bytes at `offset` into `out`; false when they cannot all be read.
  // The reader asks only for ranges that lie within size().
  virtual bool Read(uint64_t offset, size_t length, void* out) const = 0;
};

// The open dump file `file` (not owned), each piece read where it lies.
class FileByteSource : public ByteSource {
 public:
  // Nullopt when `file` is kInvalidFileHandle or its size cannot be read.
  static std::optional<FileByteSource> Open(FileHandle file);
  uint64_t size() const override { return size_; }
  bool Read(uint64_t offset, size_t length, void* out) const override;

 private:
  FileByteSource(FileHandle file, uint64_t size) : file_(file), size_(size) {}
  FileHandle file_;
  uint64_t size_;
};

// The bytes of a dump held in memory.
class SpanSource : public ByteSource {
 public:
  explicit SpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool Read(uint64_t offset, size_t length, void* out) const override;

 private:
  std::span<const uint8_t> bytes_;
};

// Copies the `length` bytes of process memory at `address` that `dump`, read from `source`,
// holds into `out`; false when the dump does not hold them all.
bool ReadDumpMemory(const ByteSource& source, const Minidump& dump, uint64_t address, size_t length,
                    void* out);

// Reads the dump held by `source`, checking every offset, size and count against it before
// use. Never throws; a cut, malformed or hostile dump gives its reason in `error`.
MinidumpResult ReadMinidump(const ByteSource& source);

// Reads the dump held in `bytes`, as above.
MinidumpResult ReadMinidump(std::span<const uint8_t> bytes);

// Reads the dump file at `path`, as above. Reads only the header, the stream directory and
// the streams it needs, never more than the file holds. A file that cannot be opened or read
// (or is no regular file) is unreadable too.
MinidumpResult ReadMinidumpFile(const std::filesystem::path& path);

// Reads the dump in the open `file`, as above; unreadable when `file` is kInvalidFileHandle.
// For a caller that opened the file its own way (no link followed, say).
MinidumpResult ReadOpenMinidumpFile(FileHandle file);

}  // namespace fennick_minidump

#endif  // FENNICK_TOOLS_MINIDUMP_MINIDUMP_READER_H_
