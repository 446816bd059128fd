// The turns of reports the server refused, kept in a real per-user data folder.
#include "pipeline/upload_attempts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/environment.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

class UploadAttemptsTest : public ::testing::Test {
 protected:
  // One pass over the dump folder that records these outcomes.
  void Pass(const Paths& refused, const Paths& finished = {}) {
    UploadAttempts attempts = UploadAttempts::Load(dumps_.path());
    for (const fs::path& path : refused) attempts.Record(path, /*finished=*/false);
    for (const fs::path& path : finished) attempts.Record(path, /*finished=*/true);
    attempts.Save();
  }
  Paths Order(Paths paths) const {
    UploadAttempts::Load(dumps_.path()).Order(&paths);
    return paths;
  }
  fs::path Report(const std::string& stem) const {
    const fs::path path = dumps_ / (stem + ".crash.json");
    WriteTestFile(path, "{}");
    return path;
  }
  // A state file's text: the last pass, and each path with the pass it failed in.
  static std::string StateText(bool with_format, size_t last_pass,
                               const std::vector<std::pair<fs::path, size_t>>& failed) {
    std::string text = with_format ? R"({"format":"fennick-upload-attempts/1",)" : "{";
    text += R"("last_pass":)" + std::to_string(last_pass) + R"(,"failed":{)";
    for (size_t i = 0; i < failed.size(); ++i) {
      std::string key = Utf8(failed[i].first);
      for (size_t at = key.find('\\'); at != std::string::npos; at = key.find('\\', at + 2))
        key.insert(at, 1, '\\');
      text += (i > 0 ? ",\"" : "\"") + key + "\":" + std::to_string(failed[i].second);
    }
    return text + "}}";
  }
  fs::path StateFile() const { return data_home_ / "Ortivo" / "Fennick" / "upload_attempts.json"; }

  TempFolder dumps_, data_home_;
  const ScopedEnvironment environment_{FolderEnvironment(data_home_.path())};
};

TEST_F(UploadAttemptsTest, AFinishedReportIsForgottenSoANewOneUnderItsNameGoesFirst) {
  const fs::path a = Report("a"), b = Report("b");
  Pass({b});
  Pass({a});
  Pass({}, {a});
  EXPECT_EQ(Order({b, a}), (Paths{a, b}));
  // A report whose metadata file is gone leaves no trace in the file.
  fs::remove(b);
  Pass({});
  EXPECT_EQ(ReadTestFile(StateFile()).find("b.crash.json"), std::string::npos);
}

TEST_F(UploadAttemptsTest, OnlyAFileOfThisProgramsOwnFormatIsRead) {
  const fs::path a = Report("a"), b = Report("b");
  for (const bool ours : {false, true}) {
    WriteTestFile(StateFile(), StateText(ours, 5, {{a, 3}}));
    EXPECT_EQ(Order({a, b}), ours ? (Paths{b, a}) : (Paths{a, b})) << ours;
  }
}

TEST_F(UploadAttemptsTest, BeyondTheCapTheReportsThatFailedLongestAgoGiveWay) {
  // Links to one file: creating ten thousand files is slow on some file systems.
  const fs::path first = Report("r0");
  std::vector<std::pair<fs::path, size_t>> failed = {{first, 0}};
  for (size_t pass = 1; pass < kMaxUploadAttempts + 1; ++pass) {
    failed.emplace_back(dumps_ / ("r" + std::to_string(pass) + ".crash.json"), pass);
    fs::create_hard_link(first, failed.back().first);
  }
  WriteTestFile(StateFile(), StateText(true, kMaxUploadAttempts, failed));
  const fs::path oldest = failed.front().first, newest = Report("new");
  Pass({newest});
  EXPECT_EQ(Order({newest, oldest}), (Paths{oldest, newest}));
}

}  // namespace
