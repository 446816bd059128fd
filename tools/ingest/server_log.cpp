#include "server_log.h"

#include <cstdio>
#include <mutex>

namespace fennick_ingest {

void LogLine(const std::string& text) {
  static std::mutex mutex;
  const std::string line = "fennick-ingest: " + text + "\n";
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

std::string Printable(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  return out;
}

}  // namespace fennick_ingest
