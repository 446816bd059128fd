#ifndef FENNICK_TOOLS_INGEST_REPORT_STORE_H_
#define FENNICK_TOOLS_INGEST_REPORT_STORE_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>

namespace fennick_ingest {

// The file in each report's folder that records the report (form fields, sizes, times).
inline constexpr char kReportFileName[] = "report.json";

// True when `dump_id` can name a folder of the store: 1 to 64 characters of
// [A-Za-z0-9._-], and neither "." nor "..".
bool IsSafeDumpId(std::string_view dump_id);

// The uploaded file name reduced to one harmless component: the text after the last '/' or
// '\', control characters replaced by '_'; "dump.dmp" when that leaves nothing usable.
std::string SafeDumpFileName(std::string_view uploaded_name);

// Removes staging folders that a killed earlier run left in `store`.
void RemoveStaleStaging(const std::filesystem::path& store);

// Facts about the request that the report records besides its form.
struct RequestFacts {
  std::string peer;
  std::string user_agent;
};

// One report as its form arrives. The dump is written into a staging folder inside the store
// as it streams in, and the folder becomes <store>/<dump_id> only on Commit; the destructor
// removes whatever was staged but not committed.
class IncomingReport {
 public:
  // With `keep` false every part is read and checked but nothing is written (a refused key).
  IncomingReport(std::filesystem::path store, bool keep);
  ~IncomingReport();
  IncomingReport(const IncomingReport&) = delete;
  IncomingReport& operator=(const IncomingReport&) = delete;

  // Starts the next form part. A bad part marks the report; reading goes on so that the
  // connection stays in step with the client.
  void BeginPart(const std::string& name, const std::string& file_name);
  void AppendData(const char* data, size_t size);

  // The HTTP status the whole form deserves: 200, 400 for a bad form, 413 for a dump over
  // 50 MiB, 500 when the dump could not be written.
  int Verdict();
  // Writes report.json and moves the staged folder over <store>/<dump_id>, replacing an
  // earlier report of that id; false when the store cannot be written.
  bool Commit(const RequestFacts& facts);

  // The "dump_id" field as received (possibly unsafe or empty).
  std::string dump_id() const;
  uint64_t dump_bytes() const { return dump_bytes_; }

 private:
  enum class Part { kNone, kDump, kField };

  void BeginDump(const std::string& file_name);
  bool FinishDump();
  bool WriteReportFile(const RequestFacts& facts) const;

  std::filesystem::path store_;
  bool keep_;
  std::filesystem::path staging_;
  bool committed_ = false;
  bool bad_form_ = false;
  bool store_failed_ = false;
  bool dump_seen_ = false;
  Part part_ = Part::kNone;
  std::string field_name_;
  std::map<std::string, std::string> fields_;
  std::string dump_name_;
  std::ofstream dump_;
  uint64_t dump_bytes_ = 0;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_REPORT_STORE_H_
