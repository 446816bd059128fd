#include "decision_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "json_members.h"
#include "server_log.h"
#include "store_files.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr mode_t kPrivateFileMode = 0600;

std::string DecisionLine(const Decision& decision) {
  const Json line = {{"signature", decision.signature},
                     {"state", GroupStateName(decision.state)},
                     {"fixed_version", decision.fixed_version},
                     {"by", decision.by},
                     {"changed_utc", UtcText(decision.changed_ms)},
                     {"changed_ms", decision.changed_ms}};
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

std::optional<Decision> ParseDecisionLine(std::string_view text) {
  const Json line = Json::parse(text, nullptr, false);
  const std::optional<GroupState> state = ParseGroupState(TextMember(line, "state"));
  const std::string signature = TextMember(line, "signature");
  const auto changed = line.is_object() ? line.find("changed_ms") : line.end();
  if (!state || *state == GroupState::kRegressed || signature.empty() || changed == line.end() ||
      !changed->is_number_integer()) {
    return std::nullopt;
  }
  return Decision{signature, *state, TextMember(line, "fixed_version"), TextMember(line, "by"),
                  changed->get<int64_t>()};
}

}  // namespace

bool AppendDecision(const fs::path& store, const Decision& decision) {
  const fs::path path = store / kDecisionJournalFileName;
  const ScopedFile file(
      open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode));
  struct stat facts {};
  if (!file.is_valid() || fstat(file.get(), &facts) != 0 || !S_ISREG(facts.st_mode)) return false;
  // The line a power cut tore is ended first, so that it cannot take this one with it.
  char last = '\n';
  if (facts.st_size > 0 && pread(file.get(), &last, 1, facts.st_size - 1) != 1) return false;
  const std::string line = (last == '\n' ? "" : "\n") + DecisionLine(decision);
  // A journal this made must keep its name through a power cut too.
  return WriteAll(file.get(), line) && fsync(file.get()) == 0 &&
         (facts.st_size > 0 || SyncFolder(store));
}

std::optional<std::map<std::string, Decision>> ReadDecisions(const fs::path& store) {
  std::map<std::string, Decision> last;
  std::error_code error;
  const fs::file_status journal = fs::symlink_status(store / kDecisionJournalFileName, error);
  if (journal.type() == fs::file_type::not_found) return last;
  if (error) return std::nullopt;
  const ScopedFile folder = OpenFolder(store);
  const ScopedFile file =
      folder.is_valid() ? OpenFileIn(folder.get(), kDecisionJournalFileName) : ScopedFile();
  if (!file.is_valid()) return std::nullopt;
  std::string pending;
  char buffer[64 * 1024];
  for (int64_t count; (count = ReadFromFile(file.get(), buffer, sizeof buffer)) != 0;) {
    if (count < 0) return std::nullopt;
    pending.append(buffer, static_cast<size_t>(count));
    size_t begin = 0;
    for (size_t end; (end = pending.find('\n', begin)) != std::string::npos; begin = end + 1) {
      std::optional<Decision> decision =
          ParseDecisionLine(std::string_view(pending).substr(begin, end - begin));
      if (decision) {
        last[decision->signature] = std::move(*decision);
      } else if (end > begin) {
        LogLine("passed over a line of " + std::string(kDecisionJournalFileName) +
                " that holds no decision");
      }
    }
    pending.erase(0, begin);
  }
  // What follows the last line break is a line the journal never finished.
  return last;
}

}  // namespace fennick_ingest
