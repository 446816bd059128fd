#ifndef FENNICK_TOOLS_INGEST_SERVER_LOG_H_
#define FENNICK_TOOLS_INGEST_SERVER_LOG_H_

#include <string>
#include <string_view>

namespace fennick_ingest {

// Writes "fennick-ingest: " + `text` as one line on standard error, whole even when several
// threads log at once.
void LogLine(const std::string& text);

// `text` with control characters replaced by '?', so that request text can neither forge
// nor break log lines.
std::string Printable(std::string_view text);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_SERVER_LOG_H_
