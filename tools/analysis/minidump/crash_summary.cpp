#include "crash_summary.h"

#include <cstdio>
#include <iterator>

namespace fennick_minidump {
namespace {

constexpr uint32_t kAccessViolation = 0xC0000005;
constexpr uint32_t kStackBufferOverrun = 0xC0000409;

struct NamedCode {
  uint32_t code;
  const char* name;
};

// The exception codes Windows raises for crashes, named as <winnt.h> and <minwinbase.h> do,
// and those that the MSVC and GCC runtimes raise to throw a C++ exception (GCC's also to unwind
// for it and to unwind by force).
constexpr NamedCode kExceptionNames[] = {
    {0x20474343, "STATUS_GCC_THROW"},
    {0x21474343, "STATUS_GCC_UNWIND"},
    {0x22474343, "STATUS_GCC_FORCED"},
    {0x40000015, "STATUS_FATAL_APP_EXIT"},
    {0x80000001, "EXCEPTION_GUARD_PAGE"},
    {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003, "EXCEPTION_BREAKPOINT"},
    {0x80000004, "EXCEPTION_SINGLE_STEP"},
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC0000008, "EXCEPTION_INVALID_HANDLE"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
    {0xC0000135, "STATUS_DLL_NOT_FOUND"},
    {0xC000013A, "STATUS_CONTROL_C_EXIT"},
    {0xC0000142, "STATUS_DLL_INIT_FAILED"},
    {0xC0000194, "EXCEPTION_POSSIBLE_DEADLOCK"},
    {0xC00002B4, "STATUS_FLOAT_MULTIPLE_FAULTS"},
    {0xC00002B5, "STATUS_FLOAT_MULTIPLE_TRAPS"},
    {0xC0000374, "STATUS_HEAP_CORRUPTION"},
    {0xC0000409, "STATUS_STACK_BUFFER_OVERRUN"},
    {0xC0000417, "STATUS_INVALID_CRUNTIME_PARAMETER"},
    {0xC0000420, "STATUS_ASSERTION_FAILURE"},
    {0xE06D7363, "CPP_EH_EXCEPTION"},
};

// Why a process failed fast, the first parameter of its STATUS_STACK_BUFFER_OVERRUN: abort()
// gives FATAL_APP_EXIT. Named as <winnt.h>'s FAST_FAIL_ codes, without that prefix; the gaps
// are codes it does not define.
constexpr const char* kFastFailNames[] = {
    "LEGACY_GS_VIOLATION",
    "VTGUARD_CHECK_FAILURE",
    "STACK_COOKIE_CHECK_FAILURE",
    "CORRUPT_LIST_ENTRY",
    "INCORRECT_STACK",
    "INVALID_ARG",
    "GS_COOKIE_INIT",
    "FATAL_APP_EXIT",
    "RANGE_CHECK_FAILURE",
    "UNSAFE_REGISTRY_ACCESS",
    "GUARD_ICALL_CHECK_FAILURE",
    "GUARD_WRITE_CHECK_FAILURE",
    "INVALID_FIBER_SWITCH",
    "INVALID_SET_OF_CONTEXT",
    "INVALID_REFERENCE_COUNT",
    nullptr,
    nullptr,
    nullptr,
    "INVALID_JUMP_BUFFER",
    "MRDATA_MODIFIED",
    "CERTIFICATION_FAILURE",
    "INVALID_EXCEPTION_CHAIN",
    "CRYPTO_LIBRARY",
    "INVALID_CALL_IN_DLL_CALLOUT",
    "INVALID_IMAGE_BASE",
    "DLOAD_PROTECTION_FAILURE",
    "UNSAFE_EXTENSION_CALL",
    "DEPRECATED_SERVICE_INVOKED",
    "INVALID_BUFFER_ACCESS",
    "INVALID_BALANCED_TREE",
    "INVALID_NEXT_THREAD",
    "GUARD_ICALL_CHECK_SUPPRESSED",
    "APCS_DISABLED",
    "INVALID_IDLE_STATE",
    "MRDATA_PROTECTION_FAILURE",
    "UNEXPECTED_HEAP_EXCEPTION",
    "INVALID_LOCK_STATE",
    "GUARD_JUMPTABLE",
    "INVALID_LONGJUMP_TARGET",
    "INVALID_DISPATCH_CONTEXT",
    "INVALID_THREAD",
    "INVALID_SYSCALL_NUMBER",
    "INVALID_FILE_OPERATION",
    "LPAC_ACCESS_DENIED",
    "GUARD_SS_FAILURE",
};

// "_FATAL_APP_EXIT" for the signature of a fast failure whose code is known, else empty.
std::string FastFailSuffix(const ExceptionInfo& exception) {
  if (exception.code != kStackBufferOverrun || exception.parameters.empty()) return "";
  const uint64_t code = exception.parameters[0];
  if (code >= std::size(kFastFailNames) || kFastFailNames[code] == nullptr) return "";
  return std::string("_") + kFastFailNames[code];
}

struct Access {
  const char* word;    // for `access`
  const char* suffix;  // for the signature
};

// The first parameter of an access violation says what the access was (8: executing memory
// that may not run, which data execution prevention stops); the second, where.
std::optional<Access> AccessOf(const ExceptionInfo& exception) {
  if (exception.code != kAccessViolation || exception.parameters.size() < 2) return std::nullopt;
  switch (exception.parameters[0]) {
    case 0:
      return Access{"read", "_READ"};
    case 1:
      return Access{"write", "_WRITE"};
    case 8:
      return Access{"execute", "_EXEC"};
    default:
      return std::nullopt;
  }
}

template <typename T>
nlohmann::ordered_json OrNull(const std::optional<T>& value) {
  return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::string ExceptionName(uint32_t code) {
  for (const NamedCode& entry : kExceptionNames) {
    if (entry.code == code) return entry.name;
  }
  return CodeText(code);
}

std::string CodeText(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string HexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string FileNameOf(const std::string& path) {
  const size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string ArchitectureName(uint16_t architecture) {
  switch (architecture) {
    case 0:
      return "x86";
    case 5:
      return "arm";
    case 6:
      return "ia64";
    case 9:
      return "amd64";
    case 12:
      return "arm64";
    default:
      return "architecture " + std::to_string(architecture);
  }
}

std::string OsText(const SystemInfoFacts& system) {
  std::string text = "Windows " + std::to_string(system.major_version) + "." +
                     std::to_string(system.minor_version) + "." +
                     std::to_string(system.build_number);
  if (!system.service_pack.empty()) text += " " + system.service_pack;
  return text;
}

std::optional<std::string> FileVersionText(const ModuleInfo& module) {
  if (!module.file_version) return std::nullopt;
  const auto& v = *module.file_version;
  return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
         std::to_string(v[3]);
}

const ModuleInfo* ModuleAt(const Minidump& dump, uint64_t address) {
  for (const ModuleInfo& module : dump.modules) {
    // Subtracting first cannot overflow, unlike base + size.
    if (address >= module.base && address - module.base < module.size) return &module;
  }
  return nullptr;
}

CrashSummaryResult SummarizeCrash(const Minidump& dump) {
  if (!dump.exception) return {std::nullopt, "no exception stream: the dump records no crash"};
  const ExceptionInfo& exception = *dump.exception;
  CrashSummary crash;
  crash.exception_code = CodeText(exception.code);
  crash.exception_name = ExceptionName(exception.code);
  crash.crash_address = HexText(exception.address);
  crash.thread_id = exception.thread_id;
  std::string signature_name = crash.exception_name;
  if (const std::optional<Access> access = AccessOf(exception)) {
    crash.access = access->word;
    crash.access_address = HexText(exception.parameters[1]);
    signature_name += access->suffix;
  }
  signature_name += FastFailSuffix(exception);
  // A module without a file name cannot name a crash; it counts as no module.
  const ModuleInfo* module = ModuleAt(dump, exception.address);
  if (module != nullptr && !FileNameOf(module->name).empty()) {
    crash.module = FileNameOf(module->name);
    crash.module_offset = HexText(exception.address - module->base);
    crash.module_version = FileVersionText(*module);
    crash.signature = signature_name + " " + *crash.module + "+" + *crash.module_offset;
  } else {
    crash.signature = signature_name + " " + crash.crash_address;
  }
  if (dump.system_info) {
    crash.os = OsText(*dump.system_info);
    crash.cpu = ArchitectureName(dump.system_info->processor_architecture);
  }
  return {std::move(crash), ""};
}

nlohmann::ordered_json CrashSummaryJson(const CrashSummary& crash) {
  nlohmann::ordered_json json;
  json["exception_code"] = crash.exception_code;
  json["exception_name"] = crash.exception_name;
  json["crash_address"] = crash.crash_address;
  json["module"] = OrNull(crash.module);
  json["module_offset"] = OrNull(crash.module_offset);
  json["signature"] = crash.signature;
  json["os"] = OrNull(crash.os);
  json["cpu"] = OrNull(crash.cpu);
  json["access"] = OrNull(crash.access);
  json["access_address"] = OrNull(crash.access_address);
  json["module_version"] = OrNull(crash.module_version);
  json["thread_id"] = crash.thread_id;
  return json;
}

}  // namespace fennick_minidump
