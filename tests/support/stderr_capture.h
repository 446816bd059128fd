#ifndef FENNICK_TESTS_SUPPORT_STDERR_CAPTURE_H_
#define FENNICK_TESTS_SUPPORT_STDERR_CAPTURE_H_

#include <cstdio>
#include <string>

// Sends this process's standard error (fd 2) to a temporary file while alive.
class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written to fd 2 since construction.
  std::string Text() const;

 private:
  int saved_fd_ = -1;
  std::FILE* file_ = nullptr;
};

#endif  // FENNICK_TESTS_SUPPORT_STDERR_CAPTURE_H_
