#include "support/stderr_capture.h"

#include <unistd.h>

#include "support/temp_folder.h"

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
  return ReadFromStart(file_);
}
