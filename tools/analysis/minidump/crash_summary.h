#ifndef FENNICK_TOOLS_MINIDUMP_CRASH_SUMMARY_H_
#define FENNICK_TOOLS_MINIDUMP_CRASH_SUMMARY_H_

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "minidump_reader.h"

namespace fennick_minidump {

// The crash one dump records, named so that the same crash always gets the same signature.
struct CrashSummary {
  std::string exception_code;                // "0xC0000005"
  std::string exception_name;                // "EXCEPTION_ACCESS_VIOLATION", else the code
  std::string crash_address;                 // "0x140001643"
  std::optional<std::string> module;         // file name of the module holding the address
  std::optional<std::string> module_offset;  // "0x1643": address minus that module's base
  // "<name> <module>+<offset>", or "<name> <crash address>" when no module holds it; for an
  // access violation the name ends in _READ, _WRITE or _EXEC when the dump says which.
  std::string signature;
  std::optional<std::string> os;      // "Windows 10.0.18362", service pack text after a space
  std::optional<std::string> cpu;     // "amd64", "x86", "arm64", ...
  std::optional<std::string> access;  // access violation: "read", "write", "execute"
  std::optional<std::string> access_address;  // the address it tried to access
  std::optional<std::string> module_version;  // the faulting module's file version
  uint32_t thread_id = 0;
};

// A crash, or why the dump names none: `error` is set when `crash` is empty.
struct CrashSummaryResult {
  std::optional<CrashSummary> crash;
  std::string error;
};

// The crash `dump` records. Fails only when the dump holds no exception stream.
CrashSummaryResult SummarizeCrash(const Minidump& dump);

// The summary as a JSON object: every member above, null where absent.
nlohmann::ordered_json CrashSummaryJson(const CrashSummary& crash);

// EXCEPTION_* (or STATUS_*) for a well-known exception code, else the code's own text.
std::string ExceptionName(uint32_t code);

// "0x" and eight upper-case hex digits: "0xC0000005".
std::string CodeText(uint32_t code);

// "0x" and upper-case hex digits without leading zeros: "0x1643", "0x0".
std::string HexText(uint64_t value);

// The last part of a Windows or POSIX path: "C:\\app\\Ortivo.exe" gives "Ortivo.exe".
std::string FileNameOf(const std::string& path);

// The processor architecture's name ("amd64", "x86", "arm64", "arm", "ia64"), else
// "architecture <number>".
std::string ArchitectureName(uint16_t architecture);

// "Windows <major>.<minor>.<build>", with the service pack text after a space when there is one.
std::string OsText(const SystemInfoFacts& system);

// The module's file version "3.1.2.45", or null when the dump has none for it.
std::optional<std::string> FileVersionText(const ModuleInfo& module);

// The module that holds `address`, or null; the first one in the dump's order wins.
const ModuleInfo* ModuleAt(const Minidump& dump, uint64_t address);

}  // namespace fennick_minidump

#endif  // FENNICK_TOOLS_MINIDUMP_CRASH_SUMMARY_H_
