#ifndef FENNICK_TOOLS_INGEST_INBOX_INBOX_FILTERS_H_
#define FENNICK_TOOLS_INGEST_INBOX_INBOX_FILTERS_H_

#include <string>

#include "report_filter.h"

namespace fennick_ingest {

// The inbox's filter form, filled in with `query`: it asks the inbox ("/") again with the
// parameters ParseListQuery reads, from the first page.
std::string FilterForm(const ListQuery& query);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_INBOX_FILTERS_H_
