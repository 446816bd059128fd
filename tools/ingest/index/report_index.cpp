#include "report_index.h"

#include <iterator>
#include <utility>

namespace fennick_ingest {

void ReportIndex::Load(std::vector<StoredReport> reports) {
  const std::unique_lock lock(mutex_);
  reports_.clear();
  newest_first_.clear();
  groups_.Clear();
  for (StoredReport& report : reports) {
    auto stored = std::make_unique<StoredReport>(std::move(report));
    const StoredReport* kept = stored.get();
    if (reports_.try_emplace(kept->dump_id, std::move(stored)).second) Insert(kept);
  }
}

void ReportIndex::Put(StoredReport report) {
  const std::unique_lock lock(mutex_);
  std::unique_ptr<StoredReport>& slot = reports_[report.dump_id];
  if (slot) {
    // Out of every order before it changes, since the orders read what changes.
    newest_first_.erase(slot.get());
    groups_.Remove(slot.get());
    *slot = std::move(report);
  } else {
    slot = std::make_unique<StoredReport>(std::move(report));
  }
  Insert(slot.get());
}

std::vector<std::string> ReportIndex::ReportsLacking(const std::set<std::string>& ids) const {
  const std::shared_lock lock(mutex_);
  std::vector<std::string> lacking;
  for (const auto& [dump_id, report] : reports_) {
    for (const std::string& id : report->missing_symbols) {
      if (ids.contains(id)) {
        lacking.push_back(dump_id);
        break;
      }
    }
  }
  return lacking;
}

void ReportIndex::Insert(const StoredReport* report) {
  newest_first_.insert(report);
  groups_.Add(report);
}

ReportSlice ReportIndex::Reports(size_t first, size_t count, const std::string& signature) const {
  const std::shared_lock lock(mutex_);
  const ReportsNewestFirst* listed = &newest_first_;
  if (!signature.empty()) listed = groups_.ReportsOf(signature);
  ReportSlice slice;
  if (listed == nullptr) return slice;
  slice.total = listed->size();
  if (first >= listed->size()) return slice;
  for (auto it = std::next(listed->begin(), static_cast<std::ptrdiff_t>(first));
       it != listed->end() && slice.reports.size() < count; ++it) {
    slice.reports.push_back(**it);
  }
  return slice;
}

GroupSlice ReportIndex::Groups(size_t first, size_t count) const {
  const std::shared_lock lock(mutex_);
  return {groups_.Slice(first, count), groups_.size()};
}

}  // namespace fennick_ingest
