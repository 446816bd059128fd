#include "report_page.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>

#include "crash_analysis.h"
#include "group_page.h"
#include "inbox_parts.h"
#include "json_members.h"

namespace fennick_ingest {
namespace {

using Json = nlohmann::ordered_json;

const Json& Member(const Json& object, const char* key) {
  static const Json kMissing;
  const auto member = object.find(key);
  return member == object.end() ? kMissing : *member;
}

// A value as a person reads it: text as it is, lists joined by commas, null as nothing.
std::string ValueText(const Json& value) {
  if (value.is_null()) return std::string();
  if (value.is_string()) return value.get<std::string>();
  if (value.is_array()) {
    std::string text;
    for (const Json& item : value) text += (text.empty() ? "" : ", ") + ValueText(item);
    return text;
  }
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// How a row shows the member `key` of `object`, as text still to be escaped.
using ShowFunction = std::string (*)(const Json& object, const char* key);

std::string Plain(const Json& object, const char* key) { return ValueText(Member(object, key)); }

// A member shown under a label a person reads rather than under its key.
struct Fact {
  const char* key;
  const char* label;
  ShowFunction show = Plain;
};

// The label of a member that another row already shows, so that none gets its own.
constexpr const char* kShownElsewhere = nullptr;

struct NamedNumber {
  uint64_t number;
  const char* name;
};

// The processor architectures (PROCESSOR_ARCHITECTURE_* of <winnt.h>) that
// MINIDUMP_SYSTEM_INFO documents, ARM64 included.
constexpr NamedNumber kArchitectures[] = {{0, "x86"}, {5, "ARM"},    {6, "Itanium"},
                                          {9, "x64"}, {12, "ARM64"}, {0xFFFF, "unknown"}};
// MINIDUMP_SYSTEM_INFO's ProductType: VER_NT_WORKSTATION, _DOMAIN_CONTROLLER and _SERVER.
constexpr NamedNumber kProductTypes[] = {
    {1, "workstation"}, {2, "domain controller"}, {3, "server"}};
// MINIDUMP_SYSTEM_INFO's PlatformId: VER_PLATFORM_WIN32s, _WIN32_WINDOWS and _WIN32_NT.
constexpr NamedNumber kPlatforms[] = {{0, "Win32s"}, {1, "Windows 9x"}, {2, "Windows NT"}};

// "x64 (9)": the name with the number the dump holds; a number without a name as it is.
template <const auto& kNames>
std::string Named(const Json& object, const char* key) {
  const Json& value = Member(object, key);
  if (value.is_number_unsigned()) {
    for (const NamedNumber& named : kNames) {
      if (named.number == value.get<uint64_t>()) {
        return std::string(named.name) + " (" + value.dump() + ")";
      }
    }
  }
  return ValueText(value);
}

// "EXCEPTION_ACCESS_VIOLATION_WRITE (0xC0000005)"; a code without a name only once.
std::string WithCode(const std::string& name, const std::string& code) {
  return name.empty() || name == code ? code : name + " (" + code + ")";
}

std::string CrashException(const Json& crash, const char*) {
  return WithCode(ExceptionText(crash), TextMember(crash, "exception_code"));
}

std::string DumpException(const Json& exception, const char*) {
  return WithCode(TextMember(exception, "name"), TextMember(exception, "code"));
}

// "196.6 KiB (201372 bytes)".
std::string Size(const Json& object, const char* key) {
  const Json& value = Member(object, key);
  if (!value.is_number_unsigned()) return ValueText(value);
  return ByteSizeText(value.get<uint64_t>()) + " (" + value.dump() + " bytes)";
}

std::string YesOrNo(const Json& object, const char* key) {
  const Json& value = Member(object, key);
  return value.is_boolean() ? (value.get<bool>() ? "yes" : "no") : ValueText(value);
}

// A time the server or the reader wrote ("2026-12-01T10:00:05.123Z") as
// "2026-12-01 10:00:05 UTC".
std::string Utc(const Json& object, const char* key) {
  const std::string text = ReceivedText(TextMember(object, key));
  return text.empty() ? ValueText(Member(object, key)) : text + " UTC";
}

// The client's crash time: decimal milliseconds since 1970, UTC, as "2026-12-01 10:00:00
// UTC"; any other text (an old client's, or "0" for none) as it is.
std::string ClientTime(const Json& fields, const char* key) {
  using namespace std::chrono;
  // The last millisecond of the year 9999, beyond which a date takes more than four digits.
  constexpr uint64_t kLastMs = 253402300799999;
  const std::string text = TextMember(fields, key);
  uint64_t ms = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), ms);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || ms == 0 ||
      ms > kLastMs) {
    return ValueText(Member(fields, key));
  }
  const sys_seconds time{seconds(ms / 1000)};
  const sys_days day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss clock(time - day);
  char shown[32];
  std::snprintf(shown, sizeof shown, "%04d-%02u-%02u %02d:%02d:%02d UTC",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return shown;
}

// "276, stack of 0x1800 bytes at 0x21E800".
std::string CrashingThread(const Json& threads, const char* key) {
  const Json& thread = Member(threads, key);
  if (!thread.is_object()) return ValueText(thread);
  return ValueText(Member(thread, "id")) + ", stack of " + TextMember(thread, "stack_size") +
         " bytes at " + TextMember(thread, "stack_start");
}

// The members of a report the client sent; client_ts leads the table, beside the receive time.
constexpr Fact kClientFacts[] = {
    {"dump_id", "Dump id"},         {"app_version", "Application version"},
    {"process_name", "Process"},    {"os_version", "OS version"},
    {"computer_name", "Computer"},  {"device_id", "Device id"},
    {"session_id", "Session id"},   {"uin", "UIN"},
    {"lum_id", "LUM id"},           {"pet_code", "PET code"},
    {"client_ts", kShownElsewhere},
};

// The members the server added. received_ms is the instant received_utc shows.
constexpr Fact kRecordFacts[] = {
    {"dump_file", "Dump file"},
    {"dump_bytes", "Dump size", Size},
    {"peer", "Sent from"},
    {"user_agent", "User agent"},
    {"fields", kShownElsewhere},
    {"analysis", kShownElsewhere},
    {"received_utc", kShownElsewhere},
    {"received_ms", kShownElsewhere},
};

// The crash summary; its signature heads the section, its stack follows the table.
constexpr Fact kCrashFacts[] = {
    {"exception_name", "Exception", CrashException},
    {"access_address", "Address accessed"},
    {"crash_address", "Crash address"},
    {"module", "Module"},
    {"module_offset", "Offset in the module"},
    {"module_version", "Module version"},
    {"top_function", "Function"},
    {"thread_id", "Thread id"},
    {"os", "Operating system"},
    {"cpu", "CPU"},
    {"symbolicated", "Named by symbols", YesOrNo},
    {"exception_code", kShownElsewhere},
    {"access", kShownElsewhere},
    {"signature", kShownElsewhere},
    {"frames", kShownElsewhere},
    {"stack_end", kShownElsewhere},
    {"missing_symbols", kShownElsewhere},
};

constexpr Fact kDumpFacts[] = {
    {"file_size", "Size", Size},           {"streams", "Streams"},
    {"written_utc", "Written (UTC)", Utc}, {"flags", "Flags"},
    {"memory_ranges", "Memory ranges"},
};

constexpr Fact kExceptionFacts[] = {
    {"name", "Exception", DumpException},
    {"code", kShownElsewhere},
    {"address", "Address"},
    {"flags", "Flags"},
    {"thread_id", "Thread id"},
    {"parameters", "Parameters"},
};

constexpr Fact kSystemFacts[] = {
    {"os", "Operating system"},
    {"processor_architecture", "Processor architecture", Named<kArchitectures>},
    {"cpu", kShownElsewhere},
    {"processor_level", "Processor level"},
    {"processor_revision", "Processor revision"},
    {"processors", "Processors"},
    {"product_type", "Product type", Named<kProductTypes>},
    {"platform_id", "Platform", Named<kPlatforms>},
    {"service_pack", "Service pack"},
};

constexpr Fact kThreadFacts[] = {
    {"count", "Threads"},
    {"crashing_thread", "Crashing thread", CrashingThread},
};

constexpr Fact kProcessFacts[] = {
    {"process_id", "Process id"},
    {"create_time_utc", "Started (UTC)", Utc},
};

// The reader's findings, each under a heading; one the page does not know shows its key.
struct Section {
  const char* key;
  const char* heading;
  std::span<const Fact> facts;
};

constexpr Section kMinidumpSections[] = {
    {"dump", "The dump file", kDumpFacts}, {"exception", "Exception", kExceptionFacts},
    {"system", "System", kSystemFacts},    {"threads", "Threads", kThreadFacts},
    {"process", "Process", kProcessFacts},
};

std::string FactRow(const std::string& label, const std::string& text) {
  return "<tr><th>" + EscapeHtml(label) + "</th>" + Cell(text, "code") + "</tr>\n";
}

// Rows for a member no label is known for, under its key; inner objects' members named
// "outer.inner".
std::string KeyRows(const std::string& key, const Json& value) {
  if (!value.is_object()) return FactRow(key, ValueText(value));
  std::string rows;
  for (const auto& [inner, member] : value.items()) rows += KeyRows(key + "." + inner, member);
  return rows;
}

bool Listed(std::span<const Fact> facts, const std::string& key) {
  for (const Fact& fact : facts) {
    if (key == fact.key) return true;
  }
  return false;
}

// The labelled members of `object` in the order of `facts`, then any others under their keys,
// so that nothing the record holds goes unseen.
std::string LabelledRows(const Json& object, std::span<const Fact> facts) {
  if (!object.is_object()) return std::string();
  std::string rows;
  for (const Fact& fact : facts) {
    if (fact.label != kShownElsewhere && object.contains(fact.key)) {
      rows += FactRow(fact.label, fact.show(object, fact.key));
    }
  }
  for (const auto& [key, value] : object.items()) {
    if (!Listed(facts, key)) rows += KeyRows(key, value);
  }
  return rows;
}

std::string FactTable(const std::string& rows) {
  return "<table class=\"facts\">\n<tbody>\n" + rows + "</tbody>\n</table>\n";
}

// "Ortivo.exe+0x1643", or the bare address outside every module.
std::string FrameWhere(const Json& frame) {
  const std::string module = TextMember(frame, "module");
  return module.empty() ? TextMember(frame, "address")
                        : module + "+" + TextMember(frame, "module_offset");
}

std::string FrameRow(size_t number, const Json& frame) {
  const std::string function = TextMember(frame, "function");
  std::string source = TextMember(frame, "file");
  const Json line = frame.value("line", Json());
  if (!source.empty() && line.is_number_unsigned()) source += ":" + line.dump();
  const bool inlined = frame.value("inlined", false);
  return "<tr><td class=\"count\">" + std::to_string(number) + "</td>" +
         Cell(function.empty() ? FrameWhere(frame) : function + (inlined ? " (inlined)" : ""),
              "code") +
         Cell(source, "code") + Cell(FrameWhere(frame), "code") +
         Cell(TextMember(frame, "trust")) + "</tr>\n";
}

// What an entry of `missing` lacks, as the analysis says it; analyses stored before it said
// so give the file alone.
std::string MissingText(const Json& entry) {
  const std::string text = TextMember(entry, "text");
  return text.empty() ? TextMember(entry, "file") : text;
}

// The symbol files that would name more of the stack, and where the store wants them. The
// system's own modules are the symbol servers' to supply, not the developer's.
std::string MissingSymbols(const Json& missing) {
  if (!missing.is_array() || missing.empty()) return std::string();
  std::string html =
      "<h3>Symbols to add</h3>\n<p class=\"lead\">The stack passes through modules whose "
      "files the symbol store lacks. Add them with <code>POST /api/symbols</code> or "
      "<code>fennick-ingest --add-symbols</code>; the report is analysed again.</p>\n"
      "<table>\n<thead><tr><th>Missing</th><th>Kind</th><th>Key</th><th>Store path</th>"
      "</tr></thead>\n<tbody>\n";
  for (const Json& entry : missing) {
    if (!entry.is_object()) continue;
    const std::string file = TextMember(entry, "file");
    const std::string key = TextMember(entry, "key");
    const auto system_member = entry.find("system");
    const bool system = system_member != entry.end() && *system_member == true;
    const std::string what =
        system ? MissingText(entry) + " (the system's: to be fetched from symbol servers)"
               : MissingText(entry);
    html += "<tr>" + Cell(what) + Cell(TextMember(entry, "kind")) + Cell(key, "code") +
            Cell(file + "/" + key + "/" + file, "code") + "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

// The symbol files among `missing` that stopped an analysis and are set aside, and why.
std::string SetAsideSymbols(const Json& crash, const std::vector<QuarantinedFile>& set_aside) {
  const std::vector<std::string> missing = fennick_analysis::MissingSymbolIds(crash);
  std::string html;
  for (const QuarantinedFile& file : set_aside) {
    const std::string id = fennick_analysis::SymbolFileId(file.file_name, file.key);
    if (std::find(missing.begin(), missing.end(), id) == missing.end()) continue;
    html += "<p class=\"error\">" + EscapeHtml(file.file_name + " " + file.key) +
            " is set aside: it stopped an analysis (" + EscapeHtml(file.reason) + ") at " +
            EscapeHtml(UtcText(file.set_aside_ms)) +
            ". No analysis reads it until a file is stored again under its name and key.</p>\n";
  }
  return html.empty() ? html : "<h3>Symbol files set aside</h3>\n" + html;
}

// The crashing thread's stack, crashing frame first, as the analysis found it.
std::string StackSection(const Json& crash, const std::vector<QuarantinedFile>& set_aside) {
  const Json frames = crash.value("frames", Json());
  if (!frames.is_array()) return std::string();
  std::string html =
      "<h2>Stack of the crashing thread</h2>\n<table class=\"stack\">\n<thead><tr><th>#</th>"
      "<th>Function</th><th>Source</th><th>Module</th><th>Found by</th></tr></thead>\n<tbody>\n";
  size_t number = 0;
  for (const Json& frame : frames) {
    if (frame.is_object()) html += FrameRow(number++, frame);
  }
  html += "</tbody>\n</table>\n<p class=\"none\">" + EscapeHtml(TextMember(crash, "stack_end")) +
          "</p>\n";
  return html + MissingSymbols(crash.value("missing_symbols", Json())) +
         SetAsideSymbols(crash, set_aside);
}

// The crash's signature, linking the page of its group: every report of the same crash.
std::string GroupLink(const Json& crash) {
  const std::string signature = TextMember(crash, "signature");
  if (signature.empty()) return std::string();
  return "<p class=\"lead\">Crash group <a class=\"where\" href=\"" +
         EscapeHtml(GroupUrl(signature)) + "\">" + EscapeHtml(signature) + "</a></p>\n";
}

std::string CrashSection(const Json& analysis, const std::vector<QuarantinedFile>& set_aside) {
  std::string html = "<h2>Crash</h2>\n";
  const Json& crash = Member(analysis, "crash");
  if (crash.is_object()) {
    return html + GroupLink(crash) + FactTable(LabelledRows(crash, kCrashFacts)) +
           StackSection(crash, set_aside);
  }
  const std::string why = TextMember(analysis, "analysis_error");
  return html + "<div class=\"empty\">No crash named: " +
         EscapeHtml(why.empty() ? kWaitingForAnalysis : why) + "</div>\n";
}

// The client's crash time by the server's receive time, then the rest of the record.
std::string ReportSection(const Json& record) {
  const Json& fields = Member(record, "fields");
  return "<h2>Report</h2>\n" +
         FactTable(FactRow("Crash time (UTC)", ClientTime(fields, "client_ts")) +
                   FactRow("Received (UTC)", Utc(record, "received_utc")) +
                   LabelledRows(fields, kClientFacts) + LabelledRows(record, kRecordFacts));
}

// A hex number as the reader writes it ("0x14000156B").
std::optional<uint64_t> HexNumber(const std::string& text) {
  constexpr std::string_view kPrefix = "0x";
  if (!text.starts_with(kPrefix)) return std::nullopt;
  const char* end = text.data() + text.size();
  uint64_t number = 0;
  const auto [stop, error] = std::from_chars(text.data() + kPrefix.size(), end, number, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return number;
}

// Whether the crash happened in `module`: the one it names, or the one holding its address.
bool HoldsCrash(const Json& module, const Json& crash) {
  const std::string name = TextMember(module, "file_name");
  if (!name.empty() && name == TextMember(crash, "module")) return true;
  const std::optional<uint64_t> address = HexNumber(TextMember(crash, "crash_address"));
  const std::optional<uint64_t> base = HexNumber(TextMember(module, "base"));
  const std::optional<uint64_t> size = HexNumber(TextMember(module, "size"));
  // Subtracting first cannot overflow, unlike base + size.
  return address && base && size && *address >= *base && *address - *base < *size;
}

// The columns after the module's name, which leads each row.
constexpr Fact kModuleColumns[] = {
    {"file_version", "Version"},  {"base", "Base"}, {"size", "Size"},
    {"time_stamp", "Time stamp"}, {"path", "Path"},
};

std::string ModuleRow(const Json& module, const Json& crash) {
  const std::string name = TextMember(module, "file_name");
  std::string row = HoldsCrash(module, crash)
                        ? "<tr class=\"faulting\"><td class=\"code\">" + EscapeHtml(name) +
                              " <span class=\"badge\">crashed here</span></td>"
                        : "<tr>" + Cell(name, "code");
  for (const Fact& column : kModuleColumns) row += Cell(column.show(module, column.key), "code");
  return row + "</tr>\n";
}

std::string ModuleTable(const Json& modules, const Json& crash) {
  std::string html = "<h2>Modules (" + std::to_string(modules.size()) +
                     ")</h2>\n<table>\n<thead><tr><th>Module</th>";
  for (const Fact& column : kModuleColumns) html += "<th>" + EscapeHtml(column.label) + "</th>";
  html += "</tr></thead>\n<tbody>\n";
  for (const Json& module : modules) {
    if (module.is_object()) html += ModuleRow(module, crash);
  }
  return html + "</tbody>\n</table>\n";
}

std::string MinidumpSection(const std::string& key, const Json& value) {
  const char* heading = key.c_str();
  std::span<const Fact> facts;
  for (const Section& section : kMinidumpSections) {
    if (key == section.key) {
      heading = section.heading;
      facts = section.facts;
    }
  }
  return "<h3>" + EscapeHtml(heading) + "</h3>\n" +
         (value.is_object() ? FactTable(LabelledRows(value, facts))
                            : "<p class=\"none\">not in the dump</p>\n");
}

// Everything the reader found, stream by stream, the modules last.
std::string MinidumpSections(const Json& analysis) {
  const Json& minidump = Member(analysis, "minidump");
  const std::string left_out = TextMember(analysis, "minidump_left_out");
  if (!left_out.empty()) return "<p class=\"error\">" + EscapeHtml(left_out) + "</p>\n";
  if (!minidump.is_object()) return std::string();
  std::string html = "<h2>What the dump holds</h2>\n";
  for (const auto& [key, value] : minidump.items()) {
    if (key != "modules") html += MinidumpSection(key, value);
  }
  const Json& modules = Member(minidump, "modules");
  return html + (modules.is_array() ? ModuleTable(modules, Member(analysis, "crash")) : "");
}

}  // namespace

std::string RenderReportPage(std::string_view dump_id, std::string_view record_text,
                             const std::vector<QuarantinedFile>& set_aside) {
  Json record = Json::parse(record_text, nullptr, false);
  if (!record.is_object()) record = Json::object();
  const Json& analysis = Member(record, "analysis");
  const Json& dump_bytes = Member(record, "dump_bytes");
  std::string page = PageStart("Report " + std::string(dump_id) + " - Fennick inbox");
  page += "<h1>Report <span class=\"where\">" + EscapeHtml(dump_id) + "</span></h1>\n";
  page += "<p class=\"lead\"><a href=\"/\">Inbox</a> &middot; <a class=\"download\" href=\"" +
          EscapeHtml(DumpUrl(dump_id)) + "\" download=\"" +
          EscapeHtml(TextMember(record, "dump_file")) + "\">Download the dump</a>";
  if (dump_bytes.is_number_unsigned()) {
    page += " <span class=\"size\">" + ByteSizeText(dump_bytes.get<uint64_t>()) + "</span>";
  }
  page += "</p>\n" + CrashSection(analysis, set_aside) + ReportSection(record) +
          MinidumpSections(analysis);
  return page + kPageEnd;
}

}  // namespace fennick_ingest
