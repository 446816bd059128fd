#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "pipeline/process_report.h"
#include "pipeline/scan_uploads.h"
#include "pipeline/upload_attempts.h"
#include "support/environment.h"
#include "support/native_files.h"
#include "support/stderr_capture.h"
#include "support/temp_folder.h"
#include "support/test_ingest_server.h"

namespace fs = std::filesystem;

TEST(ScanDumpFolderPosixTest, FollowsLinksToFilesAndADanglingLinkHidesNothing) {
  TempFolder folder, elsewhere;
  WriteDump(elsewhere / "target.bin", 64);
  fs::create_symlink(elsewhere / "gone.dmp", folder / "0-broken.dmp");
  fs::create_symlink(elsewhere / "target.bin", folder / "y.dmp");
  WriteDump(folder / "b.dmp", 64);
  EXPECT_EQ(ScanAndListUploads(folder.path(), 0), (std::vector<std::string>{"b.dmp", "y.dmp"}));
  EXPECT_TRUE(fs::exists(elsewhere / "target.bin")) << "only the link is removed";
}

TEST(ScanDumpFolderPosixTest, AValidSidecarNamingAnotherCaseIsKeptAndItsDumpWaits) {
  // Names are exact here: x.crash.json names X.dmp, which is not there, and x.dmp, an orphan,
  // finds its metadata name held by that valid file. Both are failures; neither is lost.
  TempFolder folder;
  WriteDump(folder / "x.dmp", 64);
  const std::string agent = CrashMetadataJson("X.dmp", "upper-id");
  WriteTestFile(folder / "x.crash.json", agent);
  EXPECT_EQ(ScanAndListUploads(folder.path(), 2), std::vector<std::string>{});
  EXPECT_EQ(ReadTestFile(folder / "x.crash.json"), agent);
}

// Puts `replacement` at `folder`/`name` the moment `name` is opened after `marker` was, as
// a crashing agent renaming its new dump into place might. (The marker orders the events:
// inotify merges repeated identical ones, so opens cannot simply be counted.)
class Racer {
 public:
  Racer(const fs::path& folder, std::string name, std::string marker, fs::path replacement)
      : watch_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    EXPECT_GE(inotify_add_watch(watch_, folder.c_str(), IN_OPEN), 0);
    // It spins rather than sleeps: a woken thread would often come too late to race at all.
    // It stops waiting once the run is over and every event of it has been read.
    thread_ = std::thread([=, this] {
      alignas(inotify_event) char buffer[4096];
      for (const std::string* awaited = &marker; awaited;) {
        const bool run_over = run_over_;
        const ssize_t length = read(watch_, buffer, sizeof buffer);
        if (length <= 0 && run_over) break;
        for (ssize_t at = 0; awaited && at < length;) {
          const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
          if (event->len > 0 && *awaited == event->name) awaited = awaited == &marker ? &name : nullptr;
          at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
      }
      fs::rename(replacement, folder / name);
    });
  }
  ~Racer() {
    run_over_ = true;
    thread_.join();
    close(watch_);
  }

 private:
  int watch_;
  std::atomic<bool> run_over_ = false;
  std::thread thread_;
};

TEST(ProcessReportPosixTest, ADumpRenamedOverTheSentOneIsNeverRemoved) {
  // The server opens a marker before it replies, so the next open of the dump is the
  // removal's: the racer's new dump lands while the sent one is being removed, and must
  // survive. A name as long as a name may be is no exception.
  TempFolder folder, data_home;
  const ScopedEnvironment environment(FolderEnvironment(data_home.path()));
  TestIngestServer server(5001);
  server.SetOnUpload([&](const ReceivedUpload&) { WriteTestFile(folder / "replied", ""); });
  StderrCapture quiet;
  for (const std::string& stem : {std::string("x"), std::string(235, 'L')}) {
    for (int trial = 0; trial < 150; ++trial) {
      const std::string fresh = "MDMP from the next crash " + std::to_string(trial);
      WriteDump(folder / (stem + ".dmp"), 256);
      WriteTestFile(folder / (stem + ".crash.json"), CrashMetadataJson(stem + ".dmp", "id"));
      WriteTestFile(folder / "next.part", fresh);
      {
        const Racer racer(folder.path(), stem + ".dmp", "replied", folder / "next.part");
        ASSERT_NE(ProcessReport(folder / (stem + ".crash.json"), /*validate_only=*/false),
                  kReportInvalid);
      }
      ASSERT_EQ(ReadTestFile(folder / (stem + ".dmp")), fresh) << "trial " << trial;
      fs::remove(folder / (stem + ".crash.json"));
      fs::remove(folder / (stem + ".dmp"));
    }
  }
}

TEST(ScanDumpFolderPosixTest, AFileAKilledRunSetAsideComesBackUnlessItsRemoverLives) {
  TempFolder folder;
  // Set aside as earlier versions did, and as removal folders of their own.
  WriteCrashReport(folder.path(), "k");
  fs::rename(folder / "k.dmp", folder / "k.dmp.fennick-removing-4242-0");
  WriteCrashReport(folder.path(), "l");
  const fs::path held = folder / "l.dmp.fennick-removing-4242-1";
  fs::rename(folder / "l.dmp", held);
  const FileHold remover(held);
  // A delivered report's metadata, set aside after its dump was removed, goes for good.
  const fs::path delivered = folder / ".fennick-removing-4242-2";
  WriteCrashReport(delivered, "m");
  fs::remove(delivered / "m.dmp");
  // An old dump never goes back over the agent's newer one of the same name: it waits.
  const fs::path waiting = folder / ".fennick-removing-4242-3";
  WriteDump(waiting / "n.dmp", 100);
  WriteCrashReport(folder.path(), "n");
  // A link to a dump that is gone cannot be opened, so nothing holds it: it comes back too.
  fs::create_symlink(folder / "gone", folder / "o.dmp.fennick-removing-4242-4");
  // l's metadata names a dump that is away for now: a failure of this pass.
  EXPECT_EQ(ScanAndListUploads(folder.path(), 1), (std::vector<std::string>{"k.dmp", "n.dmp"}));
  EXPECT_TRUE(fs::exists(held));
  EXPECT_TRUE(fs::is_symlink(folder / "o.dmp"));
  EXPECT_FALSE(fs::exists(delivered));
  EXPECT_EQ(ReadTestFile(waiting / "n.dmp"), MinidumpBytes(100));

  // Once the name is free it comes back, and is sent as the orphan it now is.
  EXPECT_EQ(ScanAndListUploads(folder.path(), 1), std::vector<std::string>{"n.dmp"});
  EXPECT_FALSE(fs::exists(waiting));
}

TEST(ScanDumpFolderPosixTest, RefusedReportsAreRememberedWhetherOrNotTheirNamesAreUtf8) {
  TempFolder folder, data;
  const ScopedEnvironment environment(FolderEnvironment(data.path()));
  const fs::path fresh = folder / "new.crash.json";
  for (const fs::path& refused : {folder / "a.crash.json", folder / "b\xff.crash.json"}) {
    WriteTestFile(refused, "{}");
    UploadAttempts attempts = UploadAttempts::Load(folder.path());
    attempts.Record(refused, /*finished=*/false);
    attempts.Save();
    std::vector<fs::path> order = {refused, fresh};
    UploadAttempts::Load(folder.path()).Order(&order);
    EXPECT_EQ(order, (std::vector<fs::path>{fresh, refused})) << refused;
  }
}
