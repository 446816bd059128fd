#include "inbox_parts.h"

#include <utility>

#include "json_members.h"
#include "store_layout.h"

namespace fennick_ingest {
namespace {

constexpr char kStyle[] = R"(<style>
  body { font: 15px/1.45 system-ui, sans-serif; margin: 2rem auto; max-width: 90rem;
         padding: 0 1.5rem; color: #1d2330; background: #f6f7f9; }
  h1 { font-size: 1.5rem; margin: 0 0 .25rem; }
  h2 { font-size: 1.1rem; margin: 1.75rem 0 .6rem; }
  h3 { font-size: .95rem; margin: 1.25rem 0 .4rem; color: #3a4252; }
  p.lead { margin: 0 0 1.5rem; color: #5a6272; }
  table { width: 100%; border-collapse: collapse; background: #fff;
          box-shadow: 0 1px 3px rgba(0,0,0,.08); border-radius: 6px; overflow: hidden; }
  th, td { text-align: left; padding: .6rem .8rem; border-bottom: 1px solid #e6e8ec;
           vertical-align: top; }
  th { background: #eef0f4; font-weight: 600; font-size: .85rem; color: #3a4252; }
  tr:last-child td { border-bottom: none; }
  td.id, td.code, .where { font-family: ui-monospace, monospace; font-size: .8rem; }
  td.code { overflow-wrap: anywhere; }
  td.nowrap, td.dump { white-space: nowrap; }
  td.count { font-weight: 600; }
  .count { text-align: right; width: 4rem; }
  table.facts th { width: 16rem; background: #fff; }
  table.facts th, table.facts td { padding: .35rem .8rem; }
  .size, .error, .pager { color: #5a6272; font-size: .85rem; }
  .exception { font-weight: 600; font-size: .9rem; }
  .none { color: #a0a6b2; }
  a { color: #0b5cad; text-decoration: none; }
  a:hover { text-decoration: underline; }
  a.download { white-space: nowrap; font-weight: 600; }
  tr.faulting td { background: #fff4e5; }
  .badge { margin-left: .4rem; padding: .05rem .45rem; border-radius: 1rem; background: #b4410c;
           color: #fff; font: 600 .7rem system-ui, sans-serif; white-space: nowrap; }
  .empty { padding: 2rem; text-align: center; color: #5a6272; background: #fff; }
  .badge, .marker { display: inline-block; padding: 0 .45rem; border-radius: 3px;
                    font-size: .75rem; font-weight: 600; line-height: 1.4rem;
                    white-space: nowrap; }
  .badge.regressed { background: #c62828; color: #fff; }
  .badge.resolved { background: #d9f0dd; color: #1d6b2c; }
  .badge.ignored { background: #e6e8ec; color: #5a6272; }
  .marker.new { background: #dbe9fb; color: #0b5cad; }
  .marker.rising { background: #fde7c8; color: #8a4b00; }
  svg.sparkline rect, svg.chart rect { fill: #0b5cad; }
  svg.sparkline rect.zero, svg.chart rect.zero { fill: #c3c8d2; }
  svg.chart { max-width: 100%; height: auto; background: #fff; border-radius: 6px;
              box-shadow: 0 1px 3px rgba(0,0,0,.08); }
  svg.chart text { font-size: 11px; fill: #5a6272; }
  svg.chart line.axis { stroke: #a0a6b2; stroke-width: 1; }
  form.filters { display: flex; flex-wrap: wrap; gap: .5rem .9rem; align-items: end;
                 margin: 0 0 1rem; }
  form label { display: flex; flex-direction: column; font-size: .8rem; color: #3a4252; }
  form input[type=text], form select { font: inherit; padding: .2rem .35rem; }
  th a.sorted { color: #1d2330; }
</style>
)";

}  // namespace

std::string PageStart(std::string_view title) {
  return std::string(
             "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
             "<title>") +
         EscapeHtml(title) + "</title>\n" + kStyle + "</head>\n<body>\n";
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Cell(std::string_view text, const char* css_class) {
  std::string cell = css_class ? std::string("<td class=\"") + css_class + "\">" : "<td>";
  cell += text.empty() ? "<span class=\"none\">&ndash;</span>" : EscapeHtml(text);
  return cell + "</td>";
}

std::string ExceptionText(const nlohmann::ordered_json& crash) {
  static constexpr std::pair<std::string_view, std::string_view> kAccessSuffixes[] = {
      {"read", "_READ"}, {"write", "_WRITE"}, {"execute", "_EXEC"}};
  std::string text = TextMember(crash, "exception_name");
  const std::string access = TextMember(crash, "access");
  for (const auto& [word, suffix] : kAccessSuffixes) {
    if (access == word) text += suffix;
  }
  return text;
}

std::string CrashWhere(const nlohmann::ordered_json& crash) {
  const std::string function = TextMember(crash, "top_function");
  if (!function.empty()) return function;
  const std::string module = TextMember(crash, "module");
  return module.empty() ? TextMember(crash, "crash_address")
                        : module + "+" + TextMember(crash, "module_offset");
}

std::string StateBadge(GroupState state, std::string_view fixed_version) {
  const std::string in_version =
      fixed_version.empty() ? std::string() : " in version " + EscapeHtml(fixed_version);
  switch (state) {
    case GroupState::kOpen:
      return "Open";
    case GroupState::kResolved:
      return "<span class=\"badge resolved\">Resolved" + in_version + "</span>";
    case GroupState::kIgnored:
      return "<span class=\"badge ignored\">Ignored</span>";
    case GroupState::kRegressed:
      return "<span class=\"badge regressed\">Regressed</span>" +
             (in_version.empty() ? std::string()
                                 : " <span class=\"none\">resolved" + in_version + "</span>");
  }
  return std::string();
}

std::string ByteSizeText(uint64_t bytes) {
  constexpr uint64_t kKiB = 1024;
  if (bytes < kKiB) return std::to_string(bytes) + " B";
  const uint64_t tenths = bytes * 10 / kKiB;
  if (tenths < 10 * kKiB) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " KiB";
  }
  const uint64_t mib_tenths = bytes * 10 / (kKiB * kKiB);
  return std::to_string(mib_tenths / 10) + "." + std::to_string(mib_tenths % 10) + " MiB";
}

std::string ReceivedText(std::string_view utc) {
  constexpr size_t kSecondsEnd = 19;
  std::string text(utc.substr(0, kSecondsEnd));
  if (text.size() == kSecondsEnd && text[10] == 'T') text[10] = ' ';
  return text;
}

std::string DumpUrl(std::string_view dump_id) { return ReportUrl(dump_id) + "/dump"; }

std::string ReportUrl(std::string_view dump_id) {
  return "/reports/" + PercentEncoded(ReportFolderName(dump_id));
}

}  // namespace fennick_ingest
