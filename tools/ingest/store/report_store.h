#ifndef FENNICK_TOOLS_INGEST_STORE_REPORT_STORE_H_
#define FENNICK_TOOLS_INGEST_STORE_REPORT_STORE_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "report_index.h"

namespace fennick_ingest {

// Fennick never sends a larger dump; one that is larger points at a client fault.
inline constexpr uint64_t kMaxDumpBytes = 50 * 1024 * 1024;
// All text parts of one form together, names and values. The client's text parts hold at
// most 128 bytes each, apart from client_ts, which comes from a metadata file of at most
// 1 MiB; so a real report never comes near this.
inline constexpr size_t kMaxFormTextBytes = 2 * 1024 * 1024;

// Makes `store` ready: creates it (open to this user alone) when it is missing and removes
// the staging folders a stopped earlier run left in it. False when it cannot be made.
bool PrepareStore(const std::filesystem::path& store);

// Facts about the request that the report records besides its form.
struct RequestFacts {
  std::string peer;
  std::string user_agent;
};

// One report as its form arrives. The dump is written into a private staging folder inside
// the store as it streams in; Commit makes the report durable and gives the folder its
// report folder name. The destructor removes whatever was staged but not committed.
class IncomingReport {
 public:
  explicit IncomingReport(std::filesystem::path store);
  ~IncomingReport();
  IncomingReport(const IncomingReport&) = delete;
  IncomingReport& operator=(const IncomingReport&) = delete;

  // Starts the next form part. A bad part marks the report; reading goes on so that the
  // connection stays in step with the client.
  void BeginPart(const std::string& name, const std::string& file_name);
  void AppendData(const char* data, size_t size);

  // The HTTP status the whole form deserves: 200; 400 for a bad form (no dump, a dump_id
  // missing or over 64 bytes, a part sent twice); 413 for a dump over 50 MiB or text over
  // kMaxFormTextBytes; 500 when the dump could not be written.
  int Verdict();

  // Flushes the dump to the disk, flushes report.json, moves the report into place in one
  // step (replacing an earlier report of its dump_id), puts it in `index` and flushes the
  // store, so that a report is whole on the disk when this returns 200; its dump is analysed
  // after. 413 when its record would be too long to read back; 500 when the store cannot be
  // written.
  int Commit(const RequestFacts& facts, ReportIndex& index);

  // The "dump_id" field as received (possibly invalid or empty).
  std::string dump_id() const;
  uint64_t dump_bytes() const { return dump_bytes_; }

 private:
  enum class Part { kNone, kDump, kField };

  void BeginDump(const std::string& file_name);
  nlohmann::ordered_json Record(const RequestFacts& facts) const;

  std::filesystem::path store_;
  std::filesystem::path staging_;
  bool bad_form_ = false;
  bool store_failed_ = false;
  bool dump_seen_ = false;
  Part part_ = Part::kNone;
  std::string field_name_;
  std::map<std::string, std::string> fields_;
  size_t text_bytes_ = 0;
  std::string dump_name_;
  ScopedFile dump_;
  uint64_t dump_bytes_ = 0;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_STORE_REPORT_STORE_H_
