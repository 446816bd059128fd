#ifndef FENNICK_PIPELINE_UPLOAD_ATTEMPTS_H_
#define FENNICK_PIPELINE_UPLOAD_ATTEMPTS_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>

#include "platform/native_text.h"

// Far more than ever fail at once; beyond it the reports that failed longest ago give way.
inline constexpr size_t kMaxUploadAttempts = 10000;

// The reports whose upload failed, and in which pass, kept across runs in
// "upload_attempts.json" beside the device id, or, where that file cannot be written (no
// per-user data folder, or a read-only one), in ".fennick-upload-attempts.json" in the dump
// folder. A pass takes the reports never tried first, then the others from the least
// recently tried on, so that reports the server keeps refusing cannot keep a newer one
// waiting for good.
class UploadAttempts {
 public:
  // Reads both files for a pass over `dump_folder`; a missing, foreign or corrupt file reads
  // as no attempts at all, which leaves every list in its own order.
  static UploadAttempts Load(const std::filesystem::path& dump_folder);

  // Reorders `metadata_paths`: reports never tried first, in their order, then the rest,
  // least recently tried first (ties in their order).
  void Order(std::vector<std::filesystem::path>* metadata_paths) const;

  // Notes one report's upload: a failed one as tried in this pass, a finished one forgotten.
  void Record(const std::filesystem::path& metadata_path, bool finished);

  // Forgets reports whose metadata file is gone, and writes the file whole when anything
  // changed: the per-user one when it can be written (the dump folder's copy, merged into
  // it, then goes), else the dump folder's.
  void Save();

 private:
  std::filesystem::path path_;           // the per-user file, or empty when there is none
  std::filesystem::path fallback_path_;  // the dump folder's file
  int64_t pass_ = 0;  // this pass's number: one more than the last one saved
  std::map<WideString, int64_t> last_failed_;  // normalised metadata path -> pass number
  bool changed_ = false;
  bool fallback_loaded_ = false;
};

// True for the name of a temporary that the dump folder's file is written through
// (".fennick-upload-attempts.json.<pid>.tmp"), which a run killed while writing it leaves.
bool IsUploadAttemptsTemporaryName(const WideString& name);

#endif  // FENNICK_PIPELINE_UPLOAD_ATTEMPTS_H_
