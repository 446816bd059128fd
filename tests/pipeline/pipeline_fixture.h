#ifndef FENNICK_TESTS_PIPELINE_PIPELINE_FIXTURE_H_
#define FENNICK_TESTS_PIPELINE_PIPELINE_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "support/temp_folder.h"
#include "support/test_ingest_server.h"

// A dump folder, a device-id folder of its own, and an ingest server on the built-in
// address 127.0.0.1:5001.
class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("XDG_DATA_HOME");
    if (old != nullptr) saved_data_home_ = old;
    setenv("XDG_DATA_HOME", data_home_.path().c_str(), 1);
  }
  void TearDown() override {
    if (saved_data_home_) {
      setenv("XDG_DATA_HOME", saved_data_home_->c_str(), 1);
    } else {
      unsetenv("XDG_DATA_HOME");
    }
  }

  TempFolder folder_;
  TestIngestServer server_{5001};

 private:
  TempFolder data_home_;
  std::optional<std::string> saved_data_home_;
};

#endif  // FENNICK_TESTS_PIPELINE_PIPELINE_FIXTURE_H_
