#include "inbox_filters.h"

#include <optional>
#include <string_view>

#include "inbox_parts.h"

namespace fennick_ingest {
namespace {

// The sorts as the form offers them.
struct SortChoice {
  GroupSort sort;
  const char* label;
};
constexpr SortChoice kSortChoices[] = {{GroupSort::kReports, "most reports"},
                                       {GroupSort::kMachines, "most machines"},
                                       {GroupSort::kLastSeen, "latest crash"},
                                       {GroupSort::kFirstSeen, "newest crash"}};

constexpr GroupState kStates[] = {GroupState::kOpen, GroupState::kResolved, GroupState::kIgnored,
                                  GroupState::kRegressed};

std::string TextInput(const char* label, const char* name, const std::string& value,
                      const char* placeholder = "") {
  return std::string("<label>") + label + " <input type=\"text\" name=\"" + name + "\" value=\"" +
         EscapeHtml(value) + "\" placeholder=\"" + placeholder + "\"></label>\n";
}

std::string Option(std::string_view value, std::string_view label, bool selected) {
  return "<option value=\"" + EscapeHtml(value) + "\"" + (selected ? " selected" : "") + ">" +
         EscapeHtml(label) + "</option>";
}

std::string StateSelect(const std::optional<GroupState>& current) {
  std::string select = "<label>State <select name=\"state\">" + Option("", "any", !current);
  for (GroupState state : kStates) {
    select += Option(GroupStateName(state), GroupStateName(state), current == state);
  }
  return select + "</select></label>\n";
}

std::string SortSelect(GroupSort current) {
  std::string select = "<label>Crashes by <select name=\"sort\">";
  for (const SortChoice& choice : kSortChoices) {
    select += Option(GroupSortName(choice.sort), choice.label, choice.sort == current);
  }
  return select + "</select></label>\n";
}

// A time as the form shows it back: the text ParseIsoTime reads.
std::string TimeValue(const std::optional<int64_t>& ms) {
  return ms ? UtcText(*ms) : std::string();
}

}  // namespace

std::string FilterForm(const ListQuery& query) {
  const ReportFilter& filter = query.filter;
  std::string form = "<form class=\"filters\" method=\"get\" action=\"/\">\n";
  form += TextInput("Text", "q", filter.q, "signature, function, any field");
  form += TextInput("Version", "app_version", filter.app_version);
  form += TextInput("Computer", "computer_name", filter.computer_name);
  form += TextInput("Device id", "device_id", filter.device_id);
  form += TextInput("OS", "os", filter.os);
  form += TextInput("Crashed since (UTC)", "since", TimeValue(filter.since_ms), "2026-12-01");
  form += TextInput("Crashed until (UTC)", "until", TimeValue(filter.until_ms), "2026-12-31T23:59");
  form += StateSelect(filter.state) + SortSelect(query.sort);
  // The list being filtered stays the undecodable dumps when it was.
  if (filter.undecodable) form += "<input type=\"hidden\" name=\"undecodable\" value=\"1\">\n";
  return form + "<button type=\"submit\">Filter</button> <a href=\"/\">Clear</a>\n</form>\n";
}

}  // namespace fennick_ingest
