#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "platform/output.h"

void WriteDebuggerOutput(const WideString&) {
  // Linux has no debugger output channel; standard error carries the line alone.
}

void WriteStandardError(const WideString& text) {
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t written = write(STDERR_FILENO, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
}
