#ifndef FENNICK_TOOLS_MINIDUMP_MINIDUMP_FORMAT_H_
#define FENNICK_TOOLS_MINIDUMP_MINIDUMP_FORMAT_H_

// The on-disk records of a Windows minidump, laid out as MinGW-w64's dbghelp headers declare
// MINIDUMP_HEADER, MINIDUMP_DIRECTORY and the stream records (4-byte packing, little-endian).
// The reader copies them out of the file with memcpy, so the host must be little-endian too.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace fennick_minidump {

static_assert(std::endian::native == std::endian::little,
              "minidump records are little-endian and read by copying");

constexpr uint32_t kMinidumpSignature = 0x504D444D;  // "MDMP"
// The low 16 bits of the header's version; the high ones belong to the writer.
constexpr uint32_t kMinidumpVersion = 42899;

// Stream types (MINIDUMP_STREAM_TYPE) the reader uses.
enum StreamType : uint32_t {
  kUnusedStream = 0,
  kThreadListStream = 3,
  kModuleListStream = 4,
  kMemoryListStream = 5,
  kExceptionStream = 6,
  kSystemInfoStream = 7,
  kMemory64ListStream = 9,
  kMiscInfoStream = 15,
};

constexpr uint32_t kMaxExceptionParameters = 15;  // EXCEPTION_MAXIMUM_PARAMETERS
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kMiscProcessId = 0x1;         // MINIDUMP_MISC1_PROCESS_ID
constexpr uint32_t kMiscProcessTimes = 0x2;      // MINIDUMP_MISC1_PROCESS_TIMES
constexpr uint16_t kArchitectureAmd64 = 9;       // PROCESSOR_ARCHITECTURE_AMD64
constexpr uint32_t kCodeViewPdb70 = 0x53445352;  // "RSDS"

// The x64 CONTEXT: its size, and where its integer registers lie, Rax to R15 in the order
// x64 unwind codes number them, each 8 bytes, followed by Rip.
constexpr uint32_t kAmd64ContextSize = 1232;
constexpr uint32_t kAmd64ContextRax = 0x78;
constexpr uint32_t kAmd64ContextRip = 0xF8;

#pragma pack(push, 4)

struct LocationDescriptor {  // MINIDUMP_LOCATION_DESCRIPTOR
  uint32_t data_size;
  uint32_t rva;
};

struct MemoryDescriptor {  // MINIDUMP_MEMORY_DESCRIPTOR
  uint64_t start_of_memory_range;
  LocationDescriptor memory;
};

struct MemoryDescriptor64 {  // MINIDUMP_MEMORY_DESCRIPTOR64
  uint64_t start_of_memory_range;
  uint64_t data_size;
};

struct Header {  // MINIDUMP_HEADER
  uint32_t signature;
  uint32_t version;
  uint32_t number_of_streams;
  uint32_t stream_directory_rva;
  uint32_t check_sum;
  uint32_t time_date_stamp;
  uint64_t flags;
};

struct Directory {  // MINIDUMP_DIRECTORY
  uint32_t stream_type;
  LocationDescriptor location;
};

// MINIDUMP_STRING: this length in bytes (without a terminating NUL), then UTF-16 units.
struct StringHeader {
  uint32_t length;
};

struct FixedFileInfo {  // VS_FIXEDFILEINFO
  uint32_t signature;
  uint32_t struc_version;
  uint32_t file_version_ms;
  uint32_t file_version_ls;
  uint32_t product_version_ms;
  uint32_t product_version_ls;
  uint32_t file_flags_mask;
  uint32_t file_flags;
  uint32_t file_os;
  uint32_t file_type;
  uint32_t file_subtype;
  uint32_t file_date_ms;
  uint32_t file_date_ls;
};

struct SystemInfo {  // MINIDUMP_SYSTEM_INFO
  uint16_t processor_architecture;
  uint16_t processor_level;
  uint16_t processor_revision;
  uint8_t number_of_processors;
  uint8_t product_type;
  uint32_t major_version;
  uint32_t minor_version;
  uint32_t build_number;
  uint32_t platform_id;
  uint32_t csd_version_rva;
  uint16_t suite_mask;
  uint16_t reserved2;
  uint8_t cpu[24];  // CPU_INFORMATION
};

struct Thread {  // MINIDUMP_THREAD
  uint32_t thread_id;
  uint32_t suspend_count;
  uint32_t priority_class;
  uint32_t priority;
  uint64_t teb;
  MemoryDescriptor stack;
  LocationDescriptor thread_context;
};

struct ExceptionRecord {  // MINIDUMP_EXCEPTION
  uint32_t exception_code;
  uint32_t exception_flags;
  uint64_t exception_record;
  uint64_t exception_address;
  uint32_t number_parameters;
  uint32_t unused_alignment;
  uint64_t exception_information[kMaxExceptionParameters];
};

struct ExceptionStream {  // MINIDUMP_EXCEPTION_STREAM
  uint32_t thread_id;
  uint32_t alignment;
  ExceptionRecord exception_record;
  LocationDescriptor thread_context;
};

struct Module {  // MINIDUMP_MODULE
  uint64_t base_of_image;
  uint32_t size_of_image;
  uint32_t check_sum;
  uint32_t time_date_stamp;
  uint32_t module_name_rva;
  FixedFileInfo version_info;
  LocationDescriptor cv_record;
  LocationDescriptor misc_record;
  uint64_t reserved0;
  uint64_t reserved1;
};

struct MiscInfo {  // MINIDUMP_MISC_INFO; later versions only append members
  uint32_t size_of_info;
  uint32_t flags1;
  uint32_t process_id;
  uint32_t process_create_time;
  uint32_t process_user_time;
  uint32_t process_kernel_time;
};

// A CodeView record in the PDB 7.0 form (CV_INFO_PDB70) without its NUL-terminated path.
struct CodeViewPdb70 {
  uint32_t signature;
  uint8_t guid[16];
  uint32_t age;
};

struct Memory64ListHeader {  // MINIDUMP_MEMORY64_LIST without its ranges
  uint64_t number_of_memory_ranges;
  uint64_t base_rva;
};

#pragma pack(pop)

// Each list stream starts with a 32-bit count of its entries (Memory64List excepted).
constexpr size_t kListCountSize = sizeof(uint32_t);

static_assert(sizeof(Header) == 32 && sizeof(Directory) == 12 && sizeof(SystemInfo) == 56);
static_assert(sizeof(Thread) == 48 && sizeof(ExceptionStream) == 168 && sizeof(Module) == 108);
static_assert(sizeof(MemoryDescriptor) == 16 && sizeof(MiscInfo) == 24);
static_assert(sizeof(CodeViewPdb70) == 24 && kAmd64ContextRip == kAmd64ContextRax + 16 * 8);

}  // namespace fennick_minidump

#endif  // FENNICK_TOOLS_MINIDUMP_MINIDUMP_FORMAT_H_
