#ifndef FENNICK_TOOLS_INGEST_INDEX_DECISION_JOURNAL_H_
#define FENNICK_TOOLS_INGEST_INDEX_DECISION_JOURNAL_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include "report_filter.h"

// The developers' decisions about crash groups, kept in a file of the store apart from the
// index, so that they outlive any index: one JSON object a line, appended and flushed before
// a decision is answered, read again whole at every start.
namespace fennick_ingest {

// The journal's file in the store. '~' never occurs in a report folder's name.
inline constexpr char kDecisionJournalFileName[] = "~decisions.jsonl";

// A decision as the state form made it.
struct Decision {
  std::string signature;
  GroupState state = GroupState::kOpen;  // never kRegressed, which the server finds itself
  std::string fixed_version;             // with kResolved only; may be empty
  std::string by;                        // the client's address, as the request log shows it
  int64_t changed_ms = 0;
};

// Appends `decision` to the journal of `store` and flushes it to the disk (the file's entry
// too when this made the file); false when it is not there for certain.
bool AppendDecision(const std::filesystem::path& store, const Decision& decision);

// The last decision of each signature in the journal of `store` (none when there is no
// journal). A line that holds no decision, such as the last line a power cut tore, is passed
// over; nullopt when the journal is there but cannot be read.
std::optional<std::map<std::string, Decision>> ReadDecisions(const std::filesystem::path& store);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_DECISION_JOURNAL_H_
