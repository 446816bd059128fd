#include "minidump_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "minidump_format.h"
#include "utf16_text.h"

namespace fennick_minidump {
namespace {

// List entries are read this many at a time, so a huge list never needs a huge buffer.
constexpr size_t kEntriesPerRead = 4096;
// A CodeView record's PDB path is read this many bytes at a time, up to its NUL.
constexpr size_t kPdbNameBytesPerRead = 256;

bool IsRead(uint32_t type) {
  return type == kThreadListStream || type == kModuleListStream || type == kMemoryListStream ||
         type == kExceptionStream || type == kSystemInfoStream || type == kMemory64ListStream ||
         type == kMiscInfoStream;
}

std::string StreamName(uint32_t type) {
  switch (type) {
    case kThreadListStream:
      return "thread list";
    case kModuleListStream:
      return "module list";
    case kMemoryListStream:
      return "memory list";
    case kExceptionStream:
      return "exception";
    case kSystemInfoStream:
      return "system info";
    case kMemory64ListStream:
      return "memory64 list";
    case kMiscInfoStream:
      return "misc info";
    default:
      return "type " + std::to_string(type);
  }
}

class Reader {
 public:
  explicit Reader(const ByteSource& source) : source_(source), size_(source.size()) {}

  MinidumpResult Read() {
    Minidump dump;
    if (!ReadAll(&dump)) return {std::nullopt, "unreadable: " + error_};
    return {std::move(dump), ""};
  }

 private:
  bool Fail(std::string reason) {
    error_ = std::move(reason);
    return false;
  }

  // True when [offset, offset + length) lies within the file; never overflows.
  bool Within(uint64_t offset, uint64_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }

  bool ReadBytes(uint64_t offset, size_t length, void* out, std::string_view what) {
    if (!Within(offset, length)) return Fail(std::string(what) + " past the end of the file");
    if (!source_.Read(offset, length, out)) return Fail("cannot read the " + std::string(what));
    return true;
  }

  // A location some record points at. RVA 0 is the header itself, never stream data: writers
  // put it where they left the data out (Wine does for the stacks a dump leaves out).
  bool CheckLocation(uint32_t rva, uint64_t length, std::string_view what) {
    if (rva != 0 && !Within(rva, length)) {
      return Fail(std::string(what) + " past the end of the file");
    }
    return true;
  }

  // Calls `visit` for each of `count` records of type T stored from `offset` on.
  template <typename T, typename Visit>
  bool ForEachRecord(uint64_t offset, uint64_t count, std::string_view what, Visit visit) {
    std::vector<T> records;
    for (uint64_t done = 0; done < count;) {
      const size_t batch = static_cast<size_t>(std::min<uint64_t>(count - done, kEntriesPerRead));
      records.resize(batch);
      if (!ReadBytes(offset + done * sizeof(T), batch * sizeof(T), records.data(), what)) {
        return false;
      }
      for (const T& record : records) {
        if (!visit(record)) return false;
      }
      done += batch;
    }
    return true;
  }

  // A list stream: a 32-bit count, then that many records of type T. Extra bytes after the
  // records are allowed (some writers pad the count to 8 bytes).
  template <typename T>
  bool ReadListCount(const Directory& stream, uint32_t* count) {
    const std::string name = StreamName(stream.stream_type) + " stream";
    if (stream.location.data_size < kListCountSize) return Fail(name + " too short");
    if (!ReadBytes(stream.location.rva, kListCountSize, count, name)) return false;
    if (uint64_t{*count} * sizeof(T) > stream.location.data_size - kListCountSize) {
      return Fail(name + " too short for its " + std::to_string(*count) + " entries");
    }
    return true;
  }

  template <typename T>
  bool ReadFixedStream(const Directory& stream, T* out) {
    const std::string name = StreamName(stream.stream_type) + " stream";
    if (stream.location.data_size < sizeof(T)) return Fail(name + " too short");
    return ReadBytes(stream.location.rva, sizeof(T), out, name);
  }

  bool ReadString(uint32_t rva, std::string_view what, std::string* out) {
    StringHeader header;
    if (!ReadBytes(rva, sizeof header, &header, what)) return false;
    if (header.length % 2 != 0) return Fail(std::string(what) + " of odd byte length");
    if (header.length / 2 > kMaxStringUnits) {
      return Fail(std::string(what) + " longer than " + std::to_string(kMaxStringUnits) +
                  " characters");
    }
    // Each unit takes at least one byte of UTF-8: a text that cannot fit is not read at all.
    if (string_bytes_ + header.length / 2 > kMaxTextBytes) return TextsTooLong();
    std::vector<uint8_t> units(header.length);
    if (!ReadBytes(uint64_t{rva} + sizeof header, units.size(), units.data(), what)) return false;
    *out = Utf16LeToUtf8(units);
    string_bytes_ += out->size();
    return string_bytes_ <= kMaxTextBytes || TextsTooLong();
  }

  bool TextsTooLong() {
    return Fail("texts take more than " + std::to_string(kMaxTextBytes >> 20) + " MiB together");
  }

  bool ReadAll(Minidump* dump) {
    dump->file_size = size_;
    if (size_ == 0) return Fail("empty file");
    Header header;
    if (size_ < sizeof header) return Fail("shorter than a minidump header");
    if (!ReadBytes(0, sizeof header, &header, "header")) return false;
    if (header.signature != kMinidumpSignature) return Fail("no minidump signature");
    if ((header.version & 0xFFFF) != kMinidumpVersion) {
      return Fail("unknown format version " + std::to_string(header.version & 0xFFFF));
    }
    dump->stream_count = header.number_of_streams;
    dump->time_stamp = header.time_date_stamp;
    dump->flags = header.flags;
    if (!(ReadDirectory(header) && ReadException(dump) && ReadSystemInfo(dump) &&
          ReadCrashContext(dump) && ReadModules(dump) && ReadThreads(dump) && ReadMiscInfo(dump) &&
          ReadMemoryList(dump) && ReadMemory64List(dump))) {
      return false;
    }
    dump->memory = WithoutOverlaps(std::move(dump->memory));
    return true;
  }

  // Every stream must lie within the file, used or not: that is how a cut dump shows.
  // The first stream of each type counts.
  bool ReadDirectory(const Header& header) {
    const uint64_t bytes = uint64_t{header.number_of_streams} * sizeof(Directory);
    if (!Within(header.stream_directory_rva, bytes)) {
      return Fail("stream directory past the end of the file");
    }
    return ForEachRecord<Directory>(
        header.stream_directory_rva, header.number_of_streams, "stream directory",
        [this](const Directory& entry) {
          if (!Within(entry.location.rva, entry.location.data_size)) {
            return Fail(StreamName(entry.stream_type) + " stream past the end of the file");
          }
          if (IsRead(entry.stream_type) && !Find(entry.stream_type)) streams_.push_back(entry);
          return true;
        });
  }

  const Directory* Find(uint32_t type) const {
    for (const Directory& entry : streams_) {
      if (entry.stream_type == type) return &entry;
    }
    return nullptr;
  }

  bool ReadException(Minidump* dump) {
    const Directory* stream = Find(kExceptionStream);
    if (stream == nullptr) return true;
    ExceptionStream record;
    if (!ReadFixedStream(*stream, &record)) return false;
    const ExceptionRecord& exception = record.exception_record;
    if (exception.number_parameters > kMaxExceptionParameters) {
      return Fail("exception with " + std::to_string(exception.number_parameters) +
                  " parameters, more than " + std::to_string(kMaxExceptionParameters));
    }
    if (!CheckLocation(record.thread_context.rva, record.thread_context.data_size,
                       "exception thread context")) {
      return false;
    }
    context_ = record.thread_context;
    ExceptionInfo& info = dump->exception.emplace();
    info.thread_id = record.thread_id;
    info.code = exception.exception_code;
    info.flags = exception.exception_flags;
    info.address = exception.exception_address;
    info.parameters.assign(exception.exception_information,
                           exception.exception_information + exception.number_parameters);
    return true;
  }

  bool ReadSystemInfo(Minidump* dump) {
    const Directory* stream = Find(kSystemInfoStream);
    if (stream == nullptr) return true;
    SystemInfo record;
    if (!ReadFixedStream(*stream, &record)) return false;
    SystemInfoFacts& info = dump->system_info.emplace();
    info.processor_architecture = record.processor_architecture;
    info.processor_level = record.processor_level;
    info.processor_revision = record.processor_revision;
    info.number_of_processors = record.number_of_processors;
    info.product_type = record.product_type;
    info.major_version = record.major_version;
    info.minor_version = record.minor_version;
    info.build_number = record.build_number;
    info.platform_id = record.platform_id;
    return record.csd_version_rva == 0 ||
           ReadString(record.csd_version_rva, "service pack text", &info.service_pack);
  }

  // The crashing thread's registers, from the exception's context when it is an x64 one.
  bool ReadCrashContext(Minidump* dump) {
    if (!dump->exception || !dump->system_info ||
        dump->system_info->processor_architecture != kArchitectureAmd64 || context_.rva == 0 ||
        context_.data_size < kAmd64ContextSize) {
      return true;
    }
    std::array<uint64_t, 17> values;  // the 16 registers, then Rip
    if (!ReadBytes(uint64_t{context_.rva} + kAmd64ContextRax, sizeof values, values.data(),
                   "exception thread context")) {
      return false;
    }
    ThreadContext& context = dump->crash_context.emplace();
    std::copy_n(values.begin(), context.registers.size(), context.registers.begin());
    context.rip = values.back();
    return true;
  }

  // A module's CodeView record when it is in the PDB 7.0 form with a well-formed path; any
  // other record is no error, just no identity. The path read counts towards the texts'
  // limit up to its NUL, or all of it when it has none.
  bool ReadCodeView(const LocationDescriptor& where, std::optional<CodeViewRecord>* out) {
    if (where.rva == 0 || where.data_size <= sizeof(CodeViewPdb70)) return true;
    CodeViewPdb70 header;
    if (!ReadBytes(where.rva, sizeof header, &header, "module debug record")) return false;
    if (header.signature != kCodeViewPdb70) return true;
    const uint64_t name_at = uint64_t{where.rva} + sizeof header;
    const size_t name_bytes =
        std::min<size_t>(where.data_size - sizeof header, kMaxPdbNameBytes + 1);
    std::string name;
    for (size_t done = 0; done < name_bytes;) {
      char chunk[kPdbNameBytesPerRead];
      const size_t length = std::min(name_bytes - done, sizeof chunk);
      if (!ReadBytes(name_at + done, length, chunk, "module debug record")) return false;
      const size_t end = std::string_view(chunk, length).find('\0');
      const size_t kept = std::min(end, length);
      name.append(chunk, kept);
      string_bytes_ += end == std::string_view::npos ? length : kept + 1;
      if (string_bytes_ > kMaxTextBytes) return TextsTooLong();
      if (end != std::string_view::npos) {
        if (IsUtf8(name)) {
          CodeViewRecord& record = out->emplace();
          std::copy_n(header.guid, record.guid.size(), record.guid.begin());
          record.age = header.age;
          record.pdb_name = std::move(name);
        }
        return true;
      }
      done += length;
    }
    return true;  // no NUL within the record or the limit: no path to name
  }

  // Keeps a memory range the dump holds; ranges the writer left out (stored at offset 0),
  // empty ones and ones whose end would lie beyond the address space are skipped.
  bool AddMemory(Minidump* dump, uint64_t start, uint64_t size, uint64_t file_offset) {
    if (file_offset == 0 || size == 0 || size > UINT64_MAX - start) return true;
    if (dump->memory.size() == kMaxMemoryRanges) {
      return Fail("more than " + std::to_string(kMaxMemoryRanges) + " memory ranges");
    }
    dump->memory.push_back({start, size, file_offset});
    return true;
  }

  // The ranges sorted by start, each trimmed to begin where the ranges before it end.
  static std::vector<MemoryRange> WithoutOverlaps(std::vector<MemoryRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const MemoryRange& a, const MemoryRange& b) {
      return a.start != b.start ? a.start < b.start : a.size > b.size;
    });
    std::vector<MemoryRange> kept;
    uint64_t covered = 0;  // where the kept ranges end
    for (MemoryRange range : ranges) {
      const uint64_t end = range.start + range.size;
      if (!kept.empty() && end <= covered) continue;
      if (!kept.empty() && range.start < covered) {
        const uint64_t shared = covered - range.start;
        range.start += shared;
        range.size -= shared;
        range.file_offset += shared;
      }
      kept.push_back(range);
      covered = end;
    }
    return kept;
  }

  bool ReadModules(Minidump* dump) {
    const Directory* stream = Find(kModuleListStream);
    if (stream == nullptr) return true;
    uint32_t count = 0;
    if (!ReadListCount<Module>(*stream, &count)) return false;
    if (count > kMaxModules) {
      return Fail(std::to_string(count) + " modules, more than " + std::to_string(kMaxModules));
    }
    dump->modules.reserve(count);
    return ForEachRecord<Module>(
        uint64_t{stream->location.rva} + kListCountSize, count, "module list stream",
        [this, dump](const Module& record) {
          ModuleInfo& module = dump->modules.emplace_back();
          module.base = record.base_of_image;
          module.size = record.size_of_image;
          module.time_stamp = record.time_date_stamp;
          const FixedFileInfo& version = record.version_info;
          if (version.signature == kFixedFileInfoSignature) {
            module.file_version = {static_cast<uint16_t>(version.file_version_ms >> 16),
                                   static_cast<uint16_t>(version.file_version_ms),
                                   static_cast<uint16_t>(version.file_version_ls >> 16),
                                   static_cast<uint16_t>(version.file_version_ls)};
          }
          return CheckLocation(record.cv_record.rva, record.cv_record.data_size,
                               "module debug record") &&
                 ReadCodeView(record.cv_record, &module.code_view) &&
                 CheckLocation(record.misc_record.rva, record.misc_record.data_size,
                               "module debug record") &&
                 (record.module_name_rva == 0 ||
                  ReadString(record.module_name_rva, "module name", &module.name));
        });
  }

  bool ReadThreads(Minidump* dump) {
    const Directory* stream = Find(kThreadListStream);
    if (stream == nullptr) return true;
    uint32_t count = 0;
    if (!ReadListCount<Thread>(*stream, &count)) return false;
    dump->thread_count = count;
    return ForEachRecord<Thread>(
        uint64_t{stream->location.rva} + kListCountSize, count, "thread list stream",
        [this, dump](const Thread& record) {
          if (!CheckLocation(record.stack.memory.rva, record.stack.memory.data_size,
                             "thread stack") ||
              !CheckLocation(record.thread_context.rva, record.thread_context.data_size,
                             "thread context")) {
            return false;
          }
          if (dump->exception && !dump->crashing_thread &&
              record.thread_id == dump->exception->thread_id) {
            dump->crashing_thread = ThreadInfo{record.thread_id, record.stack.start_of_memory_range,
                                               record.stack.memory.data_size};
            return AddMemory(dump, record.stack.start_of_memory_range,
                             record.stack.memory.data_size, record.stack.memory.rva);
          }
          return true;
        });
  }

  bool ReadMiscInfo(Minidump* dump) {
    const Directory* stream = Find(kMiscInfoStream);
    if (stream == nullptr) return true;
    MiscInfo record;
    if (!ReadFixedStream(*stream, &record)) return false;
    MiscInfoFacts& info = dump->misc_info.emplace();
    if (record.flags1 & kMiscProcessId) info.process_id = record.process_id;
    if (record.flags1 & kMiscProcessTimes) info.process_create_time = record.process_create_time;
    return true;
  }

  // Memory is checked to lie within the file, so a cut shows here too, and kept for reading.
  bool ReadMemoryList(Minidump* dump) {
    const Directory* stream = Find(kMemoryListStream);
    if (stream == nullptr) return true;
    uint32_t count = 0;
    if (!ReadListCount<MemoryDescriptor>(*stream, &count)) return false;
    dump->memory_ranges += count;
    return ForEachRecord<MemoryDescriptor>(
        uint64_t{stream->location.rva} + kListCountSize, count, "memory list stream",
        [this, dump](const MemoryDescriptor& range) {
          return CheckLocation(range.memory.rva, range.memory.data_size, "memory range") &&
                 AddMemory(dump, range.start_of_memory_range, range.memory.data_size,
                           range.memory.rva);
        });
  }

  bool ReadMemory64List(Minidump* dump) {
    const Directory* stream = Find(kMemory64ListStream);
    if (stream == nullptr) return true;
    Memory64ListHeader list;
    if (!ReadFixedStream(*stream, &list)) return false;
    if (list.number_of_memory_ranges >
        (stream->location.data_size - sizeof list) / sizeof(MemoryDescriptor64)) {
      return Fail("memory64 list stream too short for its " +
                  std::to_string(list.number_of_memory_ranges) + " entries");
    }
    dump->memory_ranges += list.number_of_memory_ranges;
    // The ranges' bytes follow each other from the list's base offset on.
    uint64_t offset = list.base_rva;
    return ForEachRecord<MemoryDescriptor64>(
        uint64_t{stream->location.rva} + sizeof list, list.number_of_memory_ranges,
        "memory64 list stream", [this, dump, &offset](const MemoryDescriptor64& range) {
          if (!Within(offset, range.data_size))
            return Fail("memory range past the end of the file");
          const uint64_t at = offset;
          offset += range.data_size;
          return AddMemory(dump, range.start_of_memory_range, range.data_size, at);
        });
  }

  const ByteSource& source_;
  const uint64_t size_;
  std::vector<Directory> streams_;
  uint64_t string_bytes_ = 0;     // the UTF-8 bytes of the texts kept
  LocationDescriptor context_{};  // the exception's thread context
  std::string error_;
};

}  // namespace

MinidumpResult ReadMinidump(const ByteSource& source) { return Reader(source).Read(); }

bool ReadDumpMemory(const ByteSource& source, const Minidump& dump, uint64_t address, size_t length,
                    void* out) {
  auto* bytes = static_cast<uint8_t*>(out);
  // Piece by piece: a read may go on into the range that starts where one ends.
  while (length > 0) {
    auto range = std::upper_bound(
        dump.memory.begin(), dump.memory.end(), address,
        [](uint64_t at, const MemoryRange& candidate) { return at < candidate.start; });
    if (range == dump.memory.begin()) return false;
    --range;
    const uint64_t offset = address - range->start;
    if (offset >= range->size) return false;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(length, range->size - offset));
    if (range->file_offset > source.size() || offset + piece > source.size() - range->file_offset ||
        !source.Read(range->file_offset + offset, piece, bytes)) {
      return false;
    }
    bytes += piece;
    address += piece;
    length -= piece;
  }
  return true;
}

bool SpanSource::Read(uint64_t offset, size_t length, void* out) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
  if (length != 0) std::memcpy(out, bytes_.data() + offset, length);
  return true;
}

MinidumpResult ReadMinidump(std::span<const uint8_t> bytes) {
  return ReadMinidump(SpanSource(bytes));
}

}  // namespace fennick_minidump
