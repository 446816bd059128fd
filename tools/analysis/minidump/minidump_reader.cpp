#include "minidump_reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "minidump_format.h"
#include "utf16_text.h"

namespace fennick_minidump {
namespace {

// List entries are read this many at a time, so a huge list never needs a huge buffer.
constexpr size_t kEntriesPerRead = 4096;

class SpanSource : public ByteSource {
 public:
  explicit SpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool Read(uint64_t offset, size_t length, void* out) const override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
    if (length != 0) std::memcpy(out, bytes_.data() + offset, length);
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
};

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
    return Fail("texts take more than " + std::to_string(kMaxTextBytes >> 20) +
                " MiB together");
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
    return ReadDirectory(header) && ReadException(dump) && ReadSystemInfo(dump) &&
           ReadModules(dump) && ReadThreads(dump) && ReadMiscInfo(dump) && ReadMemoryList(dump) &&
           ReadMemory64List(dump);
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

  // Memory is not analysed, only checked to lie within the file, so a cut shows here too.
  bool ReadMemoryList(Minidump* dump) {
    const Directory* stream = Find(kMemoryListStream);
    if (stream == nullptr) return true;
    uint32_t count = 0;
    if (!ReadListCount<MemoryDescriptor>(*stream, &count)) return false;
    dump->memory_ranges += count;
    return ForEachRecord<MemoryDescriptor>(
        uint64_t{stream->location.rva} + kListCountSize, count, "memory list stream",
        [this](const MemoryDescriptor& range) {
          return CheckLocation(range.memory.rva, range.memory.data_size, "memory range");
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
        "memory64 list stream", [this, &offset](const MemoryDescriptor64& range) {
          if (!Within(offset, range.data_size))
            return Fail("memory range past the end of the file");
          offset += range.data_size;
          return true;
        });
  }

  const ByteSource& source_;
  const uint64_t size_;
  std::vector<Directory> streams_;
  uint64_t string_bytes_ = 0;  // the UTF-8 bytes of the texts kept
  std::string error_;
};

}  // namespace

MinidumpResult ReadMinidump(const ByteSource& source) { return Reader(source).Read(); }

MinidumpResult ReadMinidump(std::span<const uint8_t> bytes) {
  return ReadMinidump(SpanSource(bytes));
}

}  // namespace fennick_minidump
