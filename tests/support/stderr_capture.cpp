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
  std::string text;
  std::rewind(file_);
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
  return text;
}
