#ifndef FENNICK_TESTS_PIPELINE_SCAN_UPLOADS_H_
#define FENNICK_TESTS_PIPELINE_SCAN_UPLOADS_H_

#include <filesystem>
#include <string>
#include <vector>

// Runs one pass over `folder` against a server on 127.0.0.1:5001, expects
// `expected_failures`, and returns the uploaded file names in arrival order.
std::vector<std::string> ScanAndListUploads(const std::filesystem::path& folder,
                                            unsigned expected_failures);

#endif  // FENNICK_TESTS_PIPELINE_SCAN_UPLOADS_H_
