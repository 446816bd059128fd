#ifndef FENNICK_TOOLS_INGEST_INDEX_GROUP_QUERIES_H_
#define FENNICK_TOOLS_INGEST_INDEX_GROUP_QUERIES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "crash_groups.h"
#include "report_filter.h"
#include "report_index.h"
#include "sqlite_db.h"

// The index's answers, read from its tables: ReportIndex's Reports, Groups and Group.
namespace fennick_ingest {

ReportSlice QueryReports(const SqliteDb& db, const ReportFilter& filter, size_t first,
                         size_t count);

GroupSlice QueryGroups(const SqliteDb& db, const ListQuery& query, size_t first, size_t count,
                       int64_t now_ms);

std::optional<GroupDetail> QueryGroup(const SqliteDb& db, const std::string& signature,
                                      const ReportFilter& filter, int64_t now_ms);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_GROUP_QUERIES_H_
