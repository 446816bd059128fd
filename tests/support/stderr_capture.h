#ifndef FENNICK_TESTS_SUPPORT_STDERR_CAPTURE_H_
#define FENNICK_TESTS_SUPPORT_STDERR_CAPTURE_H_

#include <string>

#include "platform/file_io.h"
#include "support/capture_file.h"

// Sends this process's standard error to a temporary file while alive.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written to standard error since construction.
  std::string Text() const;

 private:
  CaptureFile file_;
  FileHandle saved_ = kInvalidFileHandle;
};

#endif  // FENNICK_TESTS_SUPPORT_STDERR_CAPTURE_H_
