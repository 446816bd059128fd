#include "inbox.h"

#include <nlohmann/json.hpp>

#include "store_layout.h"

namespace fennick_ingest {
namespace {

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

// "2024-05-01T12:00:00.123Z" as "2024-05-01 12:00:00", the way a person reads it.
std::string ReceivedText(std::string_view utc) {
  constexpr size_t kSecondsEnd = 19;
  std::string text(utc.substr(0, kSecondsEnd));
  if (text.size() == kSecondsEnd && text[10] == 'T') text[10] = ' ';
  return text;
}

// A table cell holding `text`, or a dash when it is empty.
std::string Cell(std::string_view text, const char* css_class = nullptr) {
  std::string cell = css_class ? std::string("<td class=\"") + css_class + "\">" : "<td>";
  cell += text.empty() ? "<span class=\"none\">&ndash;</span>" : EscapeHtml(text);
  return cell + "</td>";
}

constexpr char kPageHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Fennick inbox</title>
<style>
  body { font: 15px/1.45 system-ui, sans-serif; margin: 2rem auto; max-width: 90rem;
         padding: 0 1.5rem; color: #1d2330; background: #f6f7f9; }
  h1 { font-size: 1.5rem; margin: 0 0 .25rem; }
  p.lead { margin: 0 0 1.5rem; color: #5a6272; }
  table { width: 100%; border-collapse: collapse; background: #fff;
          box-shadow: 0 1px 3px rgba(0,0,0,.08); border-radius: 6px; overflow: hidden; }
  th, td { text-align: left; padding: .6rem .8rem; border-bottom: 1px solid #e6e8ec;
           vertical-align: top; }
  th { background: #eef0f4; font-weight: 600; font-size: .85rem; color: #3a4252; }
  tr:last-child td { border-bottom: none; }
  td.id { font-family: ui-monospace, monospace; font-size: .8rem; }
  td.nowrap { white-space: nowrap; }
  td.dump { white-space: nowrap; }
  .size { color: #5a6272; font-size: .85rem; }
  .none { color: #a0a6b2; }
  a.download { white-space: nowrap; color: #0b5cad; text-decoration: none; font-weight: 600; }
  a.download:hover { text-decoration: underline; }
  .empty { padding: 2rem; text-align: center; color: #5a6272; background: #fff; }
</style>
</head>
<body>
<h1>Fennick inbox</h1>
)";

}  // namespace

std::string RenderInboxPage(const std::vector<StoredReport>& reports) {
  std::string page = kPageHead;
  page += "<p class=\"lead\">" + std::to_string(reports.size()) +
          (reports.size() == 1 ? " report" : " reports") +
          " received, newest first. A dump holds the memory of the crashed process: "
          "handle it as confidential.</p>\n";
  if (reports.empty()) {
    return page + "<div class=\"empty\">No reports yet.</div>\n</body>\n</html>\n";
  }
  page +=
      "<table>\n<thead><tr><th>Received (UTC)</th><th>Dump id</th><th>Application</th>"
      "<th>OS</th><th>Computer</th><th>Device id</th><th>Process</th><th>Dump</th>"
      "</tr></thead>\n<tbody>\n";
  for (const StoredReport& report : reports) {
    page += "<tr>" + Cell(ReceivedText(report.received_utc), "nowrap") +
            Cell(report.dump_id, "id") + Cell(report.app_version) +
            Cell(report.os_version, "nowrap") + Cell(report.computer_name, "nowrap") +
            Cell(report.device_id, "id") + Cell(report.process_name) +
            "<td class=\"dump\"><a class=\"download\" href=\"" +
            EscapeHtml(DumpUrl(report.dump_id)) + "\" download=\"" + EscapeHtml(report.dump_file) +
            "\">Download</a><br><span class=\"size\">" + ByteSizeText(report.dump_bytes) +
            "</span></td></tr>\n";
  }
  return page + "</tbody>\n</table>\n</body>\n</html>\n";
}

std::string RenderReportsJson(const std::vector<StoredReport>& reports) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const StoredReport& report : reports) {
    list.push_back({{"dump_id", report.dump_id},
                    {"received_utc", report.received_utc},
                    {"app_version", report.app_version},
                    {"os_version", report.os_version},
                    {"computer_name", report.computer_name},
                    {"device_id", report.device_id},
                    {"process_name", report.process_name},
                    {"dump_file", report.dump_file},
                    {"dump_bytes", report.dump_bytes},
                    {"dump_url", DumpUrl(report.dump_id)}});
  }
  return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string DumpUrl(std::string_view dump_id) {
  return "/reports/" + PercentEncoded(ReportFolderName(dump_id)) + "/dump";
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

}  // namespace fennick_ingest
