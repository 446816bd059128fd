#ifndef FENNICK_TOOLS_INGEST_WORKERS_WORKER_CHANNEL_H_
#define FENNICK_TOOLS_INGEST_WORKERS_WORKER_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"

// What the server and an analysis worker say to each other over their socket pair. A
// message is one byte naming its kind, its payload's length (4 bytes, little-endian) and the
// payload; a job carries the dump's descriptor along with its first byte.
namespace fennick_ingest {

enum class WorkerMessage : char {
  kJob = 'J',      // to the worker: the job's settings as JSON, the dump's descriptor with it
  kReady = 'Y',    // to the server, once: the worker has started and is held to its limits
  kReading = 'R',  // to the server: the path of the symbol file being read now, or nothing
  kMemory = 'M',   // to the server: an allocation failed, and the worker ends
  kResult = 'A',   // to the server: the analysis as JSON
};

struct WorkerPacket {
  WorkerMessage kind = WorkerMessage::kJob;
  std::string payload;
  ScopedFile descriptor;  // a job's dump; invalid otherwise
};

// What a job asks of the worker besides its dump.
struct JobSettings {
  // Changes whenever a stored symbol file may have changed: the worker then lets go of the
  // symbol files it holds loaded.
  uint64_t symbols_generation = 0;
  int cpu_seconds = 0;
  // The symbol files to take for missing, as fennick_analysis::SymbolFileId names them.
  std::set<std::string> set_aside;
};

std::string JobSettingsJson(const JobSettings& settings);
// Nullopt for text that JobSettingsJson gives for no settings.
std::optional<JobSettings> ParseJobSettings(std::string_view text);

// Sends one message on `socket` (blocking), with `descriptor` when it is valid; false when
// the other end is gone. Never raises SIGPIPE.
bool SendPacket(FileHandle socket, WorkerMessage kind, std::string_view payload,
                FileHandle descriptor = kInvalidFileHandle);

// Bytes as they come from the other end, made into whole messages.
class PacketReader {
 public:
  // Messages whose payload is longer than `max_payload` are refused.
  explicit PacketReader(size_t max_payload) : max_payload_(max_payload) {}

  enum class Read { kSome, kEnd, kTooLong };
  // Reads what `socket` has (waiting for the first byte when it has none yet): kEnd at the
  // other end's close or on an error, kTooLong once a message announces more than the limit.
  Read ReadFrom(FileHandle socket);

  // The next whole message, if one has arrived.
  std::optional<WorkerPacket> Next();

 private:
  size_t max_payload_;
  std::string buffer_;
  std::vector<ScopedFile> descriptors_;  // received, not yet handed out with a job
};

// Reads from `socket` until a whole message has arrived; nullopt at the end, on an error or
// for a message over the reader's limit.
std::optional<WorkerPacket> ReceivePacket(FileHandle socket, PacketReader& reader);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_WORKERS_WORKER_CHANNEL_H_
