#include <unistd.h>

#include <cstdio>

#include "support/stderr_capture.h"

StderrCapture::StderrCapture() {
  std::fflush(stderr);
  saved_ = dup(STDERR_FILENO);
  dup2(file_.handle(), STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
  std::fflush(stderr);
  dup2(saved_, STDERR_FILENO);
  close(saved_);
}

std::string StderrCapture::Text() const {
  std::fflush(stderr);
  return file_.Text();
}
