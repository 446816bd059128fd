#include "report_page.h"

#include <nlohmann/json.hpp>

#include "inbox_parts.h"
#include "json_members.h"

namespace fennick_ingest {
namespace {

using Json = nlohmann::ordered_json;

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

// One row per member of `object`, members of inner objects named "outer.inner".
std::string FactRows(const Json& object, const std::string& prefix = {}) {
  std::string rows;
  for (const auto& [key, value] : object.items()) {
    if (value.is_object()) {
      rows += FactRows(value, prefix + key + ".");
    } else {
      rows += "<tr><th>" + EscapeHtml(prefix + key) + "</th>" + Cell(ValueText(value), "code") +
              "</tr>\n";
    }
  }
  return rows;
}

std::string FactTable(const Json& object) {
  return "<table class=\"facts\">\n<tbody>\n" + FactRows(object) + "</tbody>\n</table>\n";
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

// The symbol files that would name more of the stack, and where the store wants them.
std::string MissingSymbols(const Json& missing) {
  if (!missing.is_array() || missing.empty()) return std::string();
  std::string html =
      "<h3>Symbols to add</h3>\n<p class=\"lead\">The stack passes through modules whose "
      "files the symbol store lacks. Add them with <code>POST /api/symbols</code> or "
      "<code>fennick-ingest --add-symbols</code>; the report is analysed again.</p>\n"
      "<table>\n<thead><tr><th>File</th><th>Kind</th><th>Key</th><th>Store path</th></tr>"
      "</thead>\n<tbody>\n";
  for (const Json& entry : missing) {
    if (!entry.is_object()) continue;
    const std::string file = TextMember(entry, "file");
    const std::string key = TextMember(entry, "key");
    html += "<tr>" + Cell(file, "code") + Cell(TextMember(entry, "kind")) + Cell(key, "code") +
            Cell(file + "/" + key + "/" + file, "code") + "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

// The crashing thread's stack, crashing frame first, as the analysis found it.
std::string StackSection(const Json& crash) {
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
  return html + MissingSymbols(crash.value("missing_symbols", Json()));
}

std::string CrashSection(const Json& analysis) {
  std::string html = "<h2>Crash</h2>\n";
  Json crash = analysis.is_object() ? analysis.value("crash", Json()) : Json();
  if (crash.is_object()) {
    const std::string stack = StackSection(crash);
    crash.erase("frames");
    crash.erase("missing_symbols");
    return html + FactTable(crash) + stack;
  }
  const std::string why = TextMember(analysis, "analysis_error");
  return html +
         "<div class=\"empty\">No crash named: " + EscapeHtml(why.empty() ? "not analysed" : why) +
         "</div>\n";
}

std::string ModuleTable(const Json& modules) {
  std::string html = "<h2>Modules (" + std::to_string(modules.size()) + ")</h2>\n";
  if (modules.empty() || !modules.front().is_object()) return html;
  html += "<table>\n<thead><tr>";
  for (const auto& [key, value] : modules.front().items())
    html += "<th>" + EscapeHtml(key) + "</th>";
  html += "</tr></thead>\n<tbody>\n";
  for (const Json& module : modules) {
    html += "<tr>";
    for (const auto& [key, value] : modules.front().items()) {
      html += Cell(ValueText(module.is_object() ? module.value(key, Json()) : Json()), "code");
    }
    html += "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

// Everything the reader found, stream by stream, the modules last.
std::string MinidumpSections(const Json& analysis) {
  const Json minidump = analysis.is_object() ? analysis.value("minidump", Json()) : Json();
  const std::string left_out = TextMember(analysis, "minidump_left_out");
  if (!left_out.empty()) return "<p class=\"error\">" + EscapeHtml(left_out) + "</p>\n";
  if (!minidump.is_object()) return std::string();
  std::string html = "<h2>What the dump holds</h2>\n";
  for (const auto& [key, value] : minidump.items()) {
    if (key == "modules") continue;
    html += "<h3>" + EscapeHtml(key) + "</h3>\n";
    html += value.is_object() ? FactTable(value) : "<p class=\"none\">not in the dump</p>\n";
  }
  const Json modules = minidump.value("modules", Json::array());
  return html + (modules.is_array() ? ModuleTable(modules) : std::string());
}

}  // namespace

std::string RenderReportPage(std::string_view dump_id, std::string_view record_text) {
  Json record = Json::parse(record_text, nullptr, false);
  if (!record.is_object()) record = Json::object();
  const Json analysis = record.value("analysis", Json());
  record.erase("analysis");
  const auto dump_bytes = record.find("dump_bytes");
  std::string page = PageStart("Report " + std::string(dump_id) + " - Fennick inbox");
  page += "<h1>Report <span class=\"where\">" + EscapeHtml(dump_id) + "</span></h1>\n";
  page += "<p class=\"lead\"><a href=\"/\">Inbox</a> &middot; <a class=\"download\" href=\"" +
          EscapeHtml(DumpUrl(dump_id)) + "\" download=\"" +
          EscapeHtml(TextMember(record, "dump_file")) + "\">Download the dump</a>";
  if (dump_bytes != record.end() && dump_bytes->is_number_unsigned()) {
    page += " <span class=\"size\">" + ByteSizeText(dump_bytes->get<uint64_t>()) + "</span>";
  }
  page += "</p>\n" + CrashSection(analysis) + "<h2>Report</h2>\n" + FactTable(record) +
          MinidumpSections(analysis);
  return page + kPageEnd;
}

}  // namespace fennick_ingest
