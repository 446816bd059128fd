#include "app/command_line.h"

#include <cstdint>
#include <filesystem>

#include "diag/log_line.h"
#include "pipeline/process_report.h"
#include "pipeline/scan_dump_folder.h"
#include "platform/environment.h"
#include "platform/output.h"
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The program name stays "Fennick.exe" whatever name the program was started under.
constexpr const WideChar* kUsageText = FENNICK_WIDE(
    "Fennick usage:\n"
    "  Fennick.exe --report <metadata.crash.json>\n"
    "  Fennick.exe --validate <metadata.crash.json>\n"
    "  Fennick.exe --scan <dump-directory> [--scan <dump-directory>]\n"
    "  Fennick.exe\n");

int ShowUsage(int exit_code) {
  WriteStandardError(kUsageText);
  return exit_code;
}

int RunOneReport(const WideString& metadata_path, bool validate_only) {
  return ProcessReport(metadata_path, validate_only) == kReportDone ? kExitSuccess : kExitFailure;
}

// The OrtivoDumps folder in the user's temporary folder, or an empty path. Where that
// folder is shared between users (/tmp), another user could plant reports to be sent under
// this user's device id; a folder they could have written to is passed over.
fs::path TemporaryDumpFolder() {
  const fs::path temporary = TemporaryFolder();
  if (temporary.empty()) {
    return fs::path();
  }
  const fs::path folder = temporary / FENNICK_WIDE("OrtivoDumps");
  if (IsForeignFolder(folder)) {
    LogLine(FENNICK_WIDE("skipped dump folder not owned by this user: ") + folder.native());
    return fs::path();
  }
  return folder;
}

// Beside the executable first, then in the user's temporary folder. An entry that cannot
// be worked out stays empty and its scan costs nothing.
std::vector<fs::path> DefaultDumpFolders() {
  return {ExecutableDirectory() / FENNICK_WIDE("dumps"), TemporaryDumpFolder()};
}

// Reads "--scan <folder>" pairs from position 1 on. False at the first position that is
// not such a pair; then nothing may be scanned.
bool ParseScanPairs(const std::vector<WideString>& args, std::vector<fs::path>* folders) {
  for (size_t i = 1; i < args.size(); i += 2) {
    if (args[i] != FENNICK_WIDE("--scan") || i + 1 >= args.size()) {
      return false;
    }
    folders->emplace_back(args[i + 1]);
  }
  return true;
}

int ScanFolders(const std::vector<fs::path>& folders) {
  uint64_t failures = 0;
  for (const fs::path& folder : folders) {
    failures += ScanDumpFolder(folder);
  }
  return failures == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace

int RunFennick(const std::vector<WideString>& args) {
  SuppressErrorDialogs();
  const size_t count = args.size();
  if (count == 3 && args[1] == FENNICK_WIDE("--report")) {
    return RunOneReport(args[2], /*validate_only=*/false);
  }
  if (count == 3 && args[1] == FENNICK_WIDE("--validate")) {
    return RunOneReport(args[2], /*validate_only=*/true);
  }
  if (count == 2 && (args[1] == FENNICK_WIDE("--help") || args[1] == FENNICK_WIDE("-h"))) {
    return ShowUsage(kExitSuccess);
  }
  std::vector<fs::path> folders;
  if (count == 1) {
    folders = DefaultDumpFolders();
  } else if (count >= 2 && !ParseScanPairs(args, &folders)) {
    return ShowUsage(kExitUsage);
  }
  return ScanFolders(folders);
}
