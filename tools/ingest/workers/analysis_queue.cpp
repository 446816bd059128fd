#include "analysis_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

#include "crash_analysis.h"
#include "frame_signature.h"
#include "server_log.h"
#include "store_layout.h"
#include "stored_analysis.h"
#include "worker_process.h"

namespace fennick_ingest {
namespace {

// Analyses of one report that symbol files may stop, each set aside in turn, before the
// report is kept without its analysis.
constexpr int kMaxAttempts = 4;
// How long the queue waits before it tries again to start a worker that would not start.
constexpr std::chrono::seconds kFirstRetryPause{1};
constexpr std::chrono::seconds kLongestRetryPause{60};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

AnalysisQueue::AnalysisQueue(std::filesystem::path store, ReportIndex& index,
                             SymbolQuarantine& quarantine, AnalysisSettings settings)
    : store_(std::move(store)),
      index_(index),
      quarantine_(quarantine),
      settings_(std::move(settings)),
      symbols_(settings_.symbols),
      stop_(eventfd(0, EFD_CLOEXEC)) {
  for (int i = 0; i < settings_.workers; ++i) threads_.emplace_back([this] { Serve(); });
}

AnalysisQueue::~AnalysisQueue() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  const uint64_t one = 1;
  if (write(stop_.get(), &one, sizeof one) != sizeof one) {
    LogLine("cannot tell the analysis workers to stop");
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void AnalysisQueue::Arrived(const std::string& dump_id) { Queue({dump_id, 0}, true); }

size_t AnalysisQueue::QueueStoredReports() {
  const std::set<std::string> set_aside = quarantine_.Ids();
  std::set<std::string> arrived;
  for (const std::string& id : index_.MissingSymbols()) {
    if (!set_aside.contains(id) && fennick_analysis::HoldsSymbolFile(symbols_, id)) {
      arrived.insert(id);
    }
  }
  std::vector<std::string> dump_ids = index_.ReportsUnanalysed();
  for (std::string& dump_id : index_.ReportsLacking(arrived))
    dump_ids.push_back(std::move(dump_id));
  for (const std::string& dump_id : dump_ids) Queue({dump_id, 0}, false);
  for (std::string& dump_id : index_.ReportsSignedOtherwise(settings_.rules.version())) {
    Queue({std::move(dump_id), 0, true}, false);
  }
  const std::lock_guard lock(mutex_);
  return waiting_.size();
}

void AnalysisQueue::SymbolsAdded(const std::vector<fennick_symbols::SymbolStore::Added>& added) {
  std::vector<std::string> ids;
  for (const fennick_symbols::SymbolStore::Added& file : added) {
    if (!file.error.empty()) continue;
    for (std::string& id : fennick_analysis::StoredSymbolIds(file)) ids.push_back(std::move(id));
  }
  quarantine_.Release(ids);
  // A file stored again under its name and key replaced the one a worker may hold loaded.
  ++symbols_generation_;
  for (const std::string& dump_id : index_.ReportsLacking({ids.begin(), ids.end()})) {
    Queue({dump_id, 0}, false);
  }
}

AnalysisQueue::Status AnalysisQueue::status() const {
  const std::lock_guard lock(mutex_);
  return {jobs_.size(), running_.size()};
}

void AnalysisQueue::Queue(Job job, bool first) {
  {
    const std::lock_guard lock(mutex_);
    if (running_.contains(job.dump_id)) {
      again_.insert(job.dump_id);
      return;
    }
    if (!waiting_.insert(job.dump_id).second) {
      // An analysis signs the report too: it takes the place of a regrouping that waits.
      if (!job.regroup) {
        for (Job& waiting : jobs_) waiting.regroup &= waiting.dump_id != job.dump_id;
      }
      return;
    }
    if (first) {
      jobs_.push_front(std::move(job));
    } else {
      jobs_.push_back(std::move(job));
    }
  }
  changed_.notify_one();
}

std::optional<AnalysisQueue::Job> AnalysisQueue::Take() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) return std::nullopt;
    const auto next = std::find_if(jobs_.begin(), jobs_.end(),
                                   [&](const Job& job) { return !running_.contains(job.dump_id); });
    if (next != jobs_.end()) {
      Job job = std::move(*next);
      jobs_.erase(next);
      waiting_.erase(job.dump_id);
      running_.insert(job.dump_id);
      return job;
    }
    changed_.wait(lock);
  }
}

void AnalysisQueue::Finish(const Job& job, const Done& done) {
  const std::lock_guard lock(mutex_);
  running_.erase(job.dump_id);
  if (done.again && waiting_.insert(job.dump_id).second) jobs_.push_front(*done.again);
  if (again_.erase(job.dump_id) != 0 && waiting_.insert(job.dump_id).second) {
    jobs_.push_back({job.dump_id, 0});
  }
  recorded_ += done.recorded ? 1 : 0;
  stopped_ += done.recorded && done.stopped ? 1 : 0;
  if (jobs_.empty() && running_.empty() && recorded_ > 0) {
    LogLine(std::to_string(recorded_) + " reports analysed, " + std::to_string(stopped_) +
            " of them stopped");
    recorded_ = 0;
    stopped_ = 0;
  }
  changed_.notify_all();
}

bool AnalysisQueue::Pause(std::chrono::seconds pause) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, pause, [this] { return stopping_; });
}

void AnalysisQueue::Serve() {
  WorkerProcess worker(settings_.symbols, stop_.get());
  std::chrono::seconds retry_pause = kFirstRetryPause;
  while (std::optional<Job> job = Take()) {
    const Done done = job->regroup ? Regroup(*job) : Analyse(worker, *job);
    Finish(*job, done);
    if (!done.not_run) {
      retry_pause = kFirstRetryPause;
      continue;
    }
    // No worker would start: the report waits, and so does this thread, ever longer.
    if (!Pause(retry_pause)) return;
    retry_pause = std::min(retry_pause * 2, kLongestRetryPause);
  }
}

AnalysisQueue::Done AnalysisQueue::Analyse(WorkerProcess& worker, const Job& job) {
  std::optional<ReportToAnalyse> report = OpenReportToAnalyse(store_, job.dump_id);
  if (!report) return {};
  const JobSettings settings{symbols_generation_, settings_.cpu_seconds, quarantine_.Ids()};
  WorkerOutcome outcome =
      worker.Analyse(report->dump.get(), settings,
                     std::chrono::seconds(settings_.seconds));
  Done done;
  if (outcome.kind == WorkerOutcome::Kind::kNotRun) {
    done.not_run = true;
    done.again = job;
    return done;
  }
  const std::string folder = Printable(ReportFolderName(job.dump_id));
  done.stopped = outcome.kind == WorkerOutcome::Kind::kStopped;
  if (done.stopped && outcome.reading && job.attempt + 1 < kMaxAttempts) {
    quarantine_.SetAside(
        {outcome.reading->file_name, outcome.reading->key, outcome.reason, job.dump_id, NowMs()});
    LogLine("the analysis of " + folder + " stopped: " + outcome.reason + "; " +
            outcome.reading->file_name + " " + outcome.reading->key +
            " is set aside, and the report analysed again without it");
    done.again = Job{job.dump_id, job.attempt + 1};
    return done;
  }
  if (done.stopped) LogLine("the analysis of " + folder + " stopped: " + outcome.reason);
  nlohmann::ordered_json analysis = done.stopped
                                        ? StoppedAnalysis("analysis stopped: " + outcome.reason)
                                        : std::move(outcome.analysis);
  if (analysis.is_object() && analysis.contains("crash")) {
    fennick_analysis::SignCrash(analysis["crash"], settings_.rules);
  }
  // In commit order, and only while the folder is the one analysed: an upload that replaced
  // the report meanwhile has an analysis of its own coming.
  const auto in_order = index_.HoldCommitOrder();
  if (StillStored(store_, *report)) {
    if (std::optional<StoredReport> updated =
            RecordAnalysis(std::move(*report), std::move(analysis))) {
      done.recorded = index_.Put(*updated);
    }
  }
  return done;
}

AnalysisQueue::Done AnalysisQueue::Regroup(const Job& job) {
  std::optional<ReportToAnalyse> report = OpenReportToAnalyse(store_, job.dump_id);
  if (!report) return {};
  const auto stored = report->record.find("analysis");
  if (stored == report->record.end() || !stored->is_object()) return {};
  nlohmann::ordered_json analysis = *stored;
  const auto crash = analysis.find("crash");
  if (crash == analysis.end() || !fennick_analysis::SignCrash(*crash, settings_.rules)) return {};
  Done done;
  const auto in_order = index_.HoldCommitOrder();
  if (StillStored(store_, *report)) {
    if (std::optional<StoredReport> updated =
            RecordAnalysis(std::move(*report), std::move(analysis))) {
      done.recorded = index_.Put(*updated);
    }
  }
  return done;
}

}  // namespace fennick_ingest
