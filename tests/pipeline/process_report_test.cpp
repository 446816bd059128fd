#include "pipeline/process_report.h"

#include <filesystem>

#include "pipeline_fixture.h"
#include "support/crash_reports.h"
#include "support/stderr_capture.h"
#include "upload/dump_stream.h"

namespace {

namespace fs = std::filesystem;

class ProcessReportTest : public PipelineTest {
 protected:
  void SetUp() override {
    PipelineTest::SetUp();
    WriteCrashReport(folder_.path(), "a");
  }

  // Runs one report and returns what it logged.
  std::string Run(bool validate_only, ReportResult expected) {
    StderrCapture capture;
    EXPECT_EQ(ProcessReport(metadata_, validate_only), expected);
    return capture.Text();
  }

  fs::path dump_ = folder_ / "a.dmp";
  fs::path metadata_ = folder_ / "a.crash.json";
};

TEST_F(ProcessReportTest, MissingMetadataIsInvalid) {
  fs::remove(metadata_);
  EXPECT_EQ(Run(false, kReportInvalid), "[Fennick] invalid metadata: " + metadata_.string() + "\n");
  EXPECT_TRUE(fs::exists(dump_));
}

TEST_F(ProcessReportTest, ValidateSendsAndRemovesNothing) {
  EXPECT_EQ(Run(true, kReportDone), "[Fennick] validation succeeded: " + dump_.string() + "\n");
  EXPECT_TRUE(fs::exists(dump_));
  EXPECT_TRUE(fs::exists(metadata_));
  EXPECT_TRUE(server_.Uploads().empty());
}

TEST_F(ProcessReportTest, OversizedDumpIsInvalidInBothModes) {
  fs::resize_file(dump_, kMaxDumpBytes + 1);
  const std::string line = "[Fennick] invalid or oversized dump: " + dump_.string() + "\n";
  EXPECT_EQ(Run(true, kReportInvalid), line);
  EXPECT_EQ(Run(false, kReportInvalid), line);
  EXPECT_TRUE(server_.Uploads().empty());
  EXPECT_TRUE(fs::exists(metadata_));
}

TEST_F(ProcessReportTest, AcceptedUploadRemovesReadOnlyFiles) {
  fs::permissions(dump_, fs::perms::owner_read);
  fs::permissions(metadata_, fs::perms::owner_read);
  EXPECT_EQ(Run(false, kReportDone), "[Fennick] upload succeeded: " + dump_.string() + "\n");
  EXPECT_FALSE(fs::exists(dump_));
  EXPECT_FALSE(fs::exists(metadata_));
  ASSERT_EQ(server_.Uploads().size(), 1u);
  ASSERT_NE(server_.Uploads()[0].Find("dump_id"), nullptr);
  EXPECT_EQ(server_.Uploads()[0].Find("dump_id")->content, "a-id");
}

TEST_F(ProcessReportTest, DumpGoneAfterUploadKeepsMetadataForRetry) {
  server_.SetOnUpload([&](const ReceivedUpload&) { fs::remove(dump_); });
  EXPECT_EQ(Run(false, kReportIncomplete),
            "[Fennick] uploaded but failed to remove dump, will retry idempotently: " +
                dump_.string() + "\n");
  EXPECT_TRUE(fs::exists(metadata_));
}

TEST_F(ProcessReportTest, MetadataGoneAfterUploadIsReported) {
  server_.SetOnUpload([&](const ReceivedUpload&) { fs::remove(metadata_); });
  EXPECT_EQ(Run(false, kReportIncomplete),
            "[Fennick] uploaded but failed to remove metadata, will retry idempotently: " +
                metadata_.string() + "\n");
  EXPECT_FALSE(fs::exists(dump_));
}

TEST_F(ProcessReportTest, RefusedUploadKeepsBothFiles) {
  server_.SetReply(200, "{\"code\":3}");
  EXPECT_EQ(Run(false, kReportIncomplete),
            "[Fennick] server returned invalid response for: " + dump_.string() + "\n");
  EXPECT_TRUE(fs::exists(dump_));
  EXPECT_TRUE(fs::exists(metadata_));
}

}  // namespace
