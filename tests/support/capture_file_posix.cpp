#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/capture_file.h"

CaptureFile::CaptureFile() {
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr) << "cannot make a capture file";
  // The file is already unlinked; a duplicate descriptor keeps it alive past the FILE.
  handle_ = file != nullptr ? dup(fileno(file)) : -1;
  if (file != nullptr) std::fclose(file);
}

CaptureFile::~CaptureFile() {
  if (handle_ >= 0) close(handle_);
}

std::string CaptureFile::Text() const {
  // pread leaves the offset that writers share where it is.
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = pread(handle_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}
