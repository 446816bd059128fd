#include <windows.h>

#include "support/stderr_capture.h"

// Fennick writes standard error through the process's standard handle, so swapping that
// handle captures every line.
StderrCapture::StderrCapture() {
  saved_ = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, file_.handle());
}

StderrCapture::~StderrCapture() { SetStdHandle(STD_ERROR_HANDLE, saved_); }

std::string StderrCapture::Text() const { return file_.Text(); }
