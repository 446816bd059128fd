// fennick_generate_store STORE REPORTS [SEED]: writes a store of REPORTS analysed reports,
// as fennick-ingest would have kept them, for measuring the server over a large store.
// The spread (a long tail of crash signatures, a few versions, a few thousand machines,
// crashes over two months) is what a real product's store looks like, so that filters and
// groups select realistic shares. The same seed gives the same reports, their times placed
// relative to now. The dumps are a few bytes: the lists never read them, and the records
// carry analyses by the current reader, so a start does not analyse them again.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "crash_summary.h"
#include "minidump_analysis.h"
#include "store_layout.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int64_t kDayMs = 24 * 60 * 60 * 1000;
constexpr int64_t kSpreadMs = 60 * kDayMs;  // crashes over the last 60 days
constexpr int kMinUploadDelayMs = 200;      // from the crash to its arrival
constexpr int kMaxUploadDelayMs = 5000;
constexpr int kDevices = 2000;
constexpr double kUndecodableShare = 0.02;
constexpr double kSignatureTail = 1.1;  // weight of the n-th signature: 1 / n^kSignatureTail
constexpr char kProcessName[] = "Ortivo.exe";
constexpr uint64_t kImageBase = 0x140000000;     // where a 64-bit Windows executable loads
constexpr std::string_view kDumpBytes = "MDMP";  // a stand-in; lists never read it

constexpr std::array kAppVersions{"3.10.0.1", "3.3.0.7", "10.0.0.1", "3.9.2.4", "2.18.0.12"};
constexpr std::array kVersionWeights{40.0, 25.0, 20.0, 10.0, 5.0};
constexpr std::array kOsVersions{"Windows 10.0.19045", "Windows 10.0.22631", "Windows 10.0.26100",
                                 "Windows 6.1.7601 Service Pack 1"};
constexpr std::array kUndecodableErrors{"no minidump signature", "shorter than a minidump header",
                                        "stream directory past the end of the file"};

// Where a crash happens; the signature is made from it as the reader makes it.
struct CrashSite {
  uint32_t code;
  const char* exception;  // exception_name, with the access kind's suffix in the signature
  const char* access;     // "read", "write", "execute" or nullptr
  const char* module;
  const char* function;  // nullptr when the module has no symbols
};

// The top one crashes in StoreField, as the test fixture's crasher does.
constexpr std::array kCrashSites{
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "write", "Ortivo.exe",
              "(anonymous namespace)::StoreField"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "Ortivo.exe",
              "Ortivo::Document::Layout"},
    CrashSite{0xC00000FD, "EXCEPTION_STACK_OVERFLOW", nullptr, "Ortivo.exe", "Ortivo::Tree::Walk"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "ntdll.dll", nullptr},
    CrashSite{0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO", nullptr, "Ortivo.exe",
              "Ortivo::Chart::Scale"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "OrtivoCore.dll",
              "core::Cache::Lookup"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "write", "OrtivoCore.dll",
              "core::Buffer::Append"},
    CrashSite{0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION", nullptr, "d3d11.dll", nullptr},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "nvwgf2umx.dll", nullptr},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "Ortivo.exe",
              "Ortivo::Plugin::Load"},
    CrashSite{0x80000003, "EXCEPTION_BREAKPOINT", nullptr, "Ortivo.exe", "Ortivo::Assert::Fail"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "execute", "Ortivo.exe",
              "Ortivo::Timer::Fire"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "ucrtbase.dll", nullptr},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "write", "Ortivo.exe",
              "Ortivo::Undo::Push"},
    CrashSite{0xC0000006, "EXCEPTION_IN_PAGE_ERROR", nullptr, "OrtivoCore.dll", "core::File::Map"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "OrtivoNet.dll",
              "net::Socket::Receive"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "Ortivo.exe",
              "Ortivo::Font::Glyph"},
    CrashSite{0xC0000409, "STATUS_STACK_BUFFER_OVERRUN", nullptr, "OrtivoNet.dll",
              "net::Tls::Handshake"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "write", "OrtivoCore.dll",
              "core::Pool::Free"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "KERNELBASE.dll", nullptr},
    CrashSite{0xC0000374, "STATUS_HEAP_CORRUPTION", nullptr, "ntdll.dll", nullptr},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "Ortivo.exe",
              "Ortivo::Print::Spool"},
    CrashSite{0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION", nullptr, "Ortivo.exe",
              "Ortivo::Chart::Axis"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "user32.dll", nullptr},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "write", "Ortivo.exe",
              "Ortivo::Clipboard::Paste"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "OrtivoScript.dll",
              "script::Vm::Call"},
    CrashSite{0xC0000096, "EXCEPTION_PRIV_INSTRUCTION", nullptr, "OrtivoScript.dll",
              "script::Jit::Enter"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "Ortivo.exe",
              "Ortivo::Export::Pdf"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "write", "OrtivoNet.dll",
              "net::Http::Parse"},
    CrashSite{0xC0000005, "EXCEPTION_ACCESS_VIOLATION", "read", "comctl32.dll", nullptr},
};

std::string Hex(uint64_t value, int digits) {
  std::string text(digits, '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 15];
  return text;
}

// A GUID as Windows writes it, the form the client's ids take.
std::string Guid(std::mt19937_64& random) {
  const uint64_t high = random(), low = random();
  return Hex(high >> 32, 8) + "-" + Hex(high >> 16, 4) + "-" + Hex(high, 4) + "-" +
         Hex(low >> 48, 4) + "-" + Hex(low, 12);
}

// As the server writes received_utc: ISO 8601 with milliseconds.
std::string UtcMs(int64_t ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> time{milliseconds(ms)};
  const auto day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(clock.hours().count()),
                int(clock.minutes().count()), int(clock.seconds().count()),
                int(clock.subseconds().count()));
  return text;
}

// As the reader names an access violation's kind in its signature.
std::string AccessSuffix(const char* access) {
  if (access == nullptr) return "";
  if (std::strcmp(access, "execute") == 0) return "_EXEC";
  return std::strcmp(access, "write") == 0 ? "_WRITE" : "_READ";
}

struct Device {
  std::string id;
  std::string computer_name;
  const char* os_version;
};

// The crash summary, with its members in the order the reader writes them.
Json CrashJson(const CrashSite& site, uint64_t module_offset, const Device& device,
               std::mt19937_64& random) {
  const std::string offset = fennick_minidump::HexText(module_offset);
  std::string signature = site.exception + AccessSuffix(site.access);
  signature += site.function != nullptr ? std::string(" ") + site.module + "!" + site.function
                                        : std::string(" ") + site.module + "+" + offset;
  Json crash;
  crash["exception_code"] = fennick_minidump::CodeText(site.code);
  crash["exception_name"] = site.exception;
  crash["crash_address"] = fennick_minidump::HexText(kImageBase + module_offset);
  crash["module"] = site.module;
  crash["module_offset"] = offset;
  crash["signature"] = signature;
  crash["os"] = device.os_version;
  crash["cpu"] = "amd64";
  crash["access"] = site.access != nullptr ? Json(site.access) : Json(nullptr);
  crash["access_address"] =
      site.access != nullptr ? Json(fennick_minidump::HexText(random() % 0x10000)) : Json(nullptr);
  crash["module_version"] = nullptr;
  crash["thread_id"] = 1000 + random() % 20000;
  Json frames = Json::array();
  const int depth = 3 + static_cast<int>(random() % 4);
  for (int i = 0; i < depth; ++i) {
    const bool top = i == 0;
    const uint64_t at = top ? module_offset : 0x1000 + random() % 0x80000;
    const bool named = site.function != nullptr;
    frames.push_back({{"module", top ? site.module : kProcessName},
                      {"module_offset", fennick_minidump::HexText(at)},
                      {"address", fennick_minidump::HexText(kImageBase + at)},
                      {"function", top && named ? Json(site.function) : Json(nullptr)},
                      {"file", nullptr},
                      {"line", nullptr},
                      {"trust", top ? "context" : "scan"},
                      {"inlined", false}});
  }
  crash["frames"] = std::move(frames);
  crash["symbolicated"] = site.function != nullptr;
  crash["stack_end"] = "end of stack";
  Json missing = Json::array();
  // A module without symbols is one the analysis lacked, as the reader records it.
  if (site.function == nullptr) {
    missing.push_back({{"file", site.module},
                       {"key", "5F3A2B1C" + Hex(module_offset, 6)},
                       {"kind", "executable"}});
  }
  crash["missing_symbols"] = std::move(missing);
  crash["top_function"] = site.function != nullptr ? Json(site.function) : Json(nullptr);
  return crash;
}

bool WriteFile(const std::filesystem::path& path, std::string_view bytes) {
  // Plain writes: a generated store need not survive a power cut.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written =
      ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return ::close(fd) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  size_t reports = 0;
  uint64_t seed = 1;
  const auto number = [](const char* text, auto* value) {
    const char* end = text + std::strlen(text);
    const auto [at, error] = std::from_chars(text, end, *value);
    return error == std::errc() && at == end;
  };
  if (argc < 3 || argc > 4 || !number(argv[2], &reports) ||
      (argc == 4 && !number(argv[3], &seed))) {
    std::fprintf(stderr, "usage: %s STORE REPORTS [SEED]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path store = argv[1];
  if (::mkdir(store.c_str(), 0700) != 0) {
    std::fprintf(stderr, "cannot create %s: %s\n", store.c_str(), std::strerror(errno));
    return 1;
  }

  std::mt19937_64 random(seed);
  std::vector<Device> devices;
  for (int i = 0; i < kDevices; ++i) {
    devices.push_back({Guid(random), "WS-" + Hex(random() % 0x100000, 5),
                       kOsVersions[random() % kOsVersions.size()]});
  }
  std::vector<double> site_weights;
  for (size_t i = 0; i < kCrashSites.size(); ++i) {
    site_weights.push_back(1.0 / std::pow(static_cast<double>(i + 1), kSignatureTail));
  }
  std::discrete_distribution<size_t> pick_site(site_weights.begin(), site_weights.end());
  std::discrete_distribution<size_t> pick_version(kVersionWeights.begin(), kVersionWeights.end());
  std::bernoulli_distribution undecodable(kUndecodableShare);
  // One offset per site, so that a site without symbols is one signature too.
  std::vector<uint64_t> site_offsets;
  for (size_t i = 0; i < kCrashSites.size(); ++i)
    site_offsets.push_back(0x1000 + random() % 0x200000);

  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  for (size_t n = 0; n < reports; ++n) {
    const Device& device = devices[random() % devices.size()];
    const size_t version = pick_version(random);
    const int64_t client_ts = now_ms - static_cast<int64_t>(random() % kSpreadMs);
    const int64_t received_ms = std::min(
        now_ms, client_ts + kMinUploadDelayMs +
                    static_cast<int64_t>(random() % (kMaxUploadDelayMs - kMinUploadDelayMs)));
    const std::string dump_id = Guid(random);
    const std::string dump_file = dump_id + ".dmp";

    Json fields;
    fields["dump_id"] = dump_id;
    fields["app_version"] = kAppVersions[version];
    fields["os_version"] = device.os_version;
    fields["computer_name"] = device.computer_name;
    fields["device_id"] = device.id;
    fields["process_name"] = kProcessName;
    fields["client_ts"] = std::to_string(client_ts);
    fields["session_id"] = Guid(random);
    Json record;
    record["fields"] = std::move(fields);
    record["dump_file"] = dump_file;
    record["dump_bytes"] = kDumpBytes.size();
    record["received_utc"] = UtcMs(received_ms);
    record["received_ms"] = received_ms;
    record["peer"] =
        "10.20." + std::to_string(random() % 256) + "." + std::to_string(random() % 256);
    record["user_agent"] = "Fennick/1.0";
    Json analysis;
    analysis["analysis_version"] = fennick_minidump::kAnalysisVersion;
    if (undecodable(random)) {
      analysis["crash"] = nullptr;
      analysis["analysis_error"] = kUndecodableErrors[random() % kUndecodableErrors.size()];
    } else {
      const size_t site = pick_site(random);
      analysis["crash"] = CrashJson(kCrashSites[site], site_offsets[site], device, random);
    }
    record["analysis"] = std::move(analysis);

    const std::filesystem::path folder = store / fennick_ingest::ReportFolderName(dump_id);
    if (::mkdir(folder.c_str(), 0700) != 0 ||
        !WriteFile(folder / fennick_ingest::kReportFileName, record.dump(2) + '\n') ||
        !WriteFile(folder / dump_file, kDumpBytes)) {
      std::fprintf(stderr, "cannot write %s: %s\n", folder.c_str(), std::strerror(errno));
      return 1;
    }
  }
  return 0;
}
