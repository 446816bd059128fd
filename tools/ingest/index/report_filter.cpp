#include "report_filter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>

namespace fennick_ingest {
namespace {

constexpr std::array<std::string_view, 4> kStateNames = {"open", "resolved", "ignored",
                                                         "regressed"};
constexpr std::array<std::string_view, 4> kSortNames = {"reports", "machines", "last_seen",
                                                        "first_seen"};

// "2026-12-01"
constexpr size_t kDateLength = 10;

// Reads `digits` decimal digits at `text`'s start into `value`, consuming them.
bool ReadDigits(std::string_view& text, size_t digits, int* value) {
  if (text.size() < digits) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + digits, *value);
  if (error != std::errc() || end != text.data() + digits) return false;
  text.remove_prefix(digits);
  return true;
}

bool Consume(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

// "HH:MM[:SS[.fff]]" into ms since midnight.
std::optional<int64_t> ReadTimeOfDay(std::string_view& text) {
  int hours = 0, minutes = 0, seconds = 0;
  if (!ReadDigits(text, 2, &hours) || !Consume(text, ':') || !ReadDigits(text, 2, &minutes) ||
      hours > 23 || minutes > 59) {
    return std::nullopt;
  }
  int64_t ms = 0;
  if (Consume(text, ':')) {
    if (!ReadDigits(text, 2, &seconds) || seconds > 59) return std::nullopt;
    if (Consume(text, '.')) {
      int64_t scale = 100;
      if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
      while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        ms += (text.front() - '0') * scale;
        scale /= 10;
        text.remove_prefix(1);
      }
    }
  }
  return ((hours * 60 + minutes) * 60 + seconds) * int64_t{1000} + ms;
}

// "Z" or "+HH:MM"/"-HH:MM" into the ms to subtract for UTC.
std::optional<int64_t> ReadOffset(std::string_view& text) {
  if (Consume(text, 'Z')) return 0;
  const bool ahead = !text.empty() && text.front() == '+';
  if (!Consume(text, '+') && !Consume(text, '-')) return std::nullopt;
  int hours = 0, minutes = 0;
  if (!ReadDigits(text, 2, &hours) || !Consume(text, ':') || !ReadDigits(text, 2, &minutes) ||
      hours > 23 || minutes > 59) {
    return std::nullopt;
  }
  const int64_t offset = (hours * 60 + minutes) * int64_t{60000};
  return ahead ? offset : -offset;
}

}  // namespace

std::string_view GroupStateName(GroupState state) {
  return kStateNames[static_cast<size_t>(state)];
}

std::optional<GroupState> ParseGroupState(std::string_view name) {
  for (size_t i = 0; i < kStateNames.size(); ++i) {
    if (kStateNames[i] == name) return static_cast<GroupState>(i);
  }
  return std::nullopt;
}

std::string_view GroupSortName(GroupSort sort) { return kSortNames[static_cast<size_t>(sort)]; }

std::optional<int64_t> ParseIsoTime(std::string_view text) {
  int year = 0, month = 0, day = 0;
  if (!ReadDigits(text, 4, &year) || !Consume(text, '-') || !ReadDigits(text, 2, &month) ||
      !Consume(text, '-') || !ReadDigits(text, 2, &day)) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::sys_days(date).time_since_epoch())
                   .count();
  if (text.empty()) return ms;
  if (!Consume(text, 'T')) return std::nullopt;
  const std::optional<int64_t> time_of_day = ReadTimeOfDay(text);
  const std::optional<int64_t> offset = time_of_day ? ReadOffset(text) : std::nullopt;
  if (!offset || !text.empty()) return std::nullopt;
  return ms + *time_of_day - *offset;
}

std::string UtcText(int64_t ms) {
  const std::chrono::sys_time<std::chrono::milliseconds> time{std::chrono::milliseconds(ms)};
  const auto day = std::chrono::floor<std::chrono::days>(time);
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss clock(time - day);
  char text[64];
  std::snprintf(
      text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ld.%03ldZ", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<long>(clock.hours().count()), static_cast<long>(clock.minutes().count()),
      static_cast<long>(clock.seconds().count()), static_cast<long>(clock.subseconds().count()));
  return text;
}

std::optional<ListQuery> ParseListQuery(
    const std::vector<std::pair<std::string, std::string>>& parameters, std::string* error) {
  ListQuery query;
  ReportFilter& filter = query.filter;
  const auto refuse = [error](const std::string& name, const char* reason) {
    *error = name + ": " + reason;
    return std::nullopt;
  };
  for (const auto& [name, value] : parameters) {
    if (name == "signature") {
      filter.signature = value;
    } else if (name == "app_version") {
      filter.app_version = value;
    } else if (name == "computer_name") {
      filter.computer_name = value;
    } else if (name == "device_id") {
      filter.device_id = value;
    } else if (name == "os") {
      filter.os = value;
    } else if (name == "q") {
      // The text index reads a NUL as the end of the text.
      if (value.find('\0') != std::string::npos) return refuse(name, "holds a NUL character");
      filter.q = value;
    } else if (name == "since" || name == "until") {
      if (value.empty()) continue;
      std::optional<int64_t> ms = ParseIsoTime(value);
      if (!ms) return refuse(name, "not an ISO 8601 date or UTC time");
      // A day alone, as an end, means the whole of it.
      if (name == "until" && value.size() == kDateLength) *ms += kDayMs - 1;
      (name == "since" ? filter.since_ms : filter.until_ms) = *ms;
    } else if (name == "state") {
      if (value.empty()) continue;
      filter.state = ParseGroupState(value);
      if (!filter.state) return refuse(name, "not one of open, resolved, ignored, regressed");
    } else if (name == "sort") {
      if (value.empty()) continue;
      const auto* found = std::find(kSortNames.begin(), kSortNames.end(), value);
      if (found == kSortNames.end()) {
        return refuse(name, "not one of reports, machines, last_seen, first_seen");
      }
      query.sort = static_cast<GroupSort>(found - kSortNames.begin());
    } else if (name == "undecodable") {
      if (value != "1" && value != "0") return refuse(name, "not 1 or 0");
      filter.undecodable = value == "1";
    }
  }
  return query;
}

std::vector<std::pair<std::string, std::string>> ListParameters(const ListQuery& query) {
  const ReportFilter& filter = query.filter;
  const auto time = [](const std::optional<int64_t>& ms) {
    return ms ? UtcText(*ms) : std::string();
  };
  return {{"signature", filter.signature},
          {"app_version", filter.app_version},
          {"computer_name", filter.computer_name},
          {"device_id", filter.device_id},
          {"os", filter.os},
          {"since", time(filter.since_ms)},
          {"until", time(filter.until_ms)},
          {"q", filter.q},
          {"state", filter.state ? std::string(GroupStateName(*filter.state)) : std::string()},
          {"sort", query.sort == GroupSort::kReports ? std::string()
                                                     : std::string(GroupSortName(query.sort))},
          {"undecodable", filter.undecodable ? "1" : ""}};
}

}  // namespace fennick_ingest
