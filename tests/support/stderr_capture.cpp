#include "support/stderr_capture.h"

#include <unistd.h>

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  file_ = std::tmpfile();
  saved_fd_ = dup(STDERR_FILENO);
  dup2(fileno(file_), STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  dup2(saved_fd_, STDERR_FILENO);
  close(saved_fd_);
  std::fclose(file_);
}

std::string StderrCapture::Text() const {
  std::fflush(stderr);
  // pread leaves the shared file offset alone, so later writes to fd 2 still append.
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = pread(fileno(file_), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}
