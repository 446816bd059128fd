#include "crash_groups.h"

#include <iterator>

namespace fennick_ingest {
namespace {

// Adds `delta` (1 or -1) to the count of `key`, forgetting keys that drop to none. Empty
// keys (a report without that field) are not counted.
void Count(std::map<std::string, size_t>& counts, const std::string& key, int delta) {
  if (key.empty()) return;
  if (delta > 0) {
    ++counts[key];
  } else if (const auto it = counts.find(key); it != counts.end() && --it->second == 0) {
    counts.erase(it);
  }
}

}  // namespace

bool NewestFirst::operator()(const StoredReport* a, const StoredReport* b) const {
  return a->received_ms != b->received_ms ? a->received_ms > b->received_ms
                                          : a->dump_id < b->dump_id;
}

bool CrashGroups::MostFrequentFirst::operator()(const Entry* a, const Entry* b) const {
  const ReportsNewestFirst& a_reports = a->second.reports;
  const ReportsNewestFirst& b_reports = b->second.reports;
  if (a_reports.size() != b_reports.size()) return a_reports.size() > b_reports.size();
  const int64_t a_last = (*a_reports.begin())->received_ms;
  const int64_t b_last = (*b_reports.begin())->received_ms;
  return a_last != b_last ? a_last > b_last : a->first < b->first;
}

void CrashGroups::Add(const StoredReport* report) {
  if (report->signature.empty()) return;
  auto& entry = *groups_.try_emplace(report->signature).first;
  // Its place in the ranking depends on what changes here; a new group has none yet.
  if (!entry.second.reports.empty()) ranking_.erase(&entry);
  entry.second.reports.insert(report);
  Count(entry.second.app_versions, report->app_version, 1);
  Count(entry.second.devices, report->device_id, 1);
  ranking_.insert(&entry);
}

void CrashGroups::Remove(const StoredReport* report) {
  const auto it = groups_.find(report->signature);
  if (it == groups_.end()) return;
  ranking_.erase(&*it);
  Group& group = it->second;
  group.reports.erase(report);
  Count(group.app_versions, report->app_version, -1);
  Count(group.devices, report->device_id, -1);
  if (group.reports.empty()) {
    groups_.erase(it);
  } else {
    ranking_.insert(&*it);
  }
}

std::vector<CrashGroup> CrashGroups::Slice(size_t first, size_t count) const {
  std::vector<CrashGroup> slice;
  if (first >= ranking_.size()) return slice;
  for (auto it = std::next(ranking_.begin(), static_cast<std::ptrdiff_t>(first));
       it != ranking_.end() && slice.size() < count; ++it) {
    const auto& [signature, group] = **it;
    CrashGroup& shown = slice.emplace_back();
    shown.signature = signature;
    shown.top_function = (*group.reports.begin())->top_function;
    shown.count = group.reports.size();
    shown.first_received_utc = (*group.reports.rbegin())->received_utc;
    shown.last_received_utc = (*group.reports.begin())->received_utc;
    for (const auto& [version, reports] : group.app_versions) shown.app_versions.push_back(version);
    shown.devices = group.devices.size();
    for (auto report = group.reports.begin();
         report != group.reports.end() && shown.dump_ids.size() < kGroupDumpIdsShown; ++report) {
      shown.dump_ids.push_back((*report)->dump_id);
    }
  }
  return slice;
}

const ReportsNewestFirst* CrashGroups::ReportsOf(const std::string& signature) const {
  const auto it = groups_.find(signature);
  return it == groups_.end() ? nullptr : &it->second.reports;
}

}  // namespace fennick_ingest
