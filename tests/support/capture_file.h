#ifndef FENNICK_TESTS_SUPPORT_CAPTURE_FILE_H_
#define FENNICK_TESTS_SUPPORT_CAPTURE_FILE_H_

#include <string>

#include "platform/file_io.h"

// A temporary file that collects what a stream writes (this process's standard error, a
// child's output); deleted when destroyed. On Windows its handle is inheritable.
class CaptureFile {
 public:
  CaptureFile();
  ~CaptureFile();
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;

  FileHandle handle() const { return handle_; }
  // Everything written so far; later writes through a shared file offset still append.
  std::string Text() const;

 private:
  FileHandle handle_ = kInvalidFileHandle;
};

#endif  // FENNICK_TESTS_SUPPORT_CAPTURE_FILE_H_
