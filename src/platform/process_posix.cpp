#include <unistd.h>

#include <string>

#include "platform/process.h"

void SuppressErrorDialogs() {
  // A crash or a critical error on POSIX ends the process with a signal; the system shows
  // no dialog that could hold it up, so there is nothing to switch off.
}

std::filesystem::path ExecutableDirectory() {
  // The link's length is not known in advance: grow the buffer until the whole target fits,
  // up to a bound no real path reaches.
  constexpr size_t kInitialSize = 256;
  constexpr size_t kMaxSize = 65536;
  for (size_t size = kInitialSize; size <= kMaxSize; size *= 2) {
    std::string buffer(size, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0) {
      return std::filesystem::path();
    }
    if (static_cast<size_t>(length) < size) {
      buffer.resize(static_cast<size_t>(length));
      return std::filesystem::path(buffer).parent_path();
    }
  }
  return std::filesystem::path();
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }
