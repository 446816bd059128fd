// Times the server's analysis with symbols and the symbol cache's cost:
//   symbols_bench <dump> <symbol store> <large executable> [runs]
// The dump is the crash fixture's, whose executable the store holds. Prints:
//   first <seconds>              the first analysis, which loads the symbol files
//   cached <median seconds>      later analyses, the symbols cached
//   large <seconds> <bytes>      the first name from a large executable's DWARF
//   held <KiB>                   the resident memory that loaded executable holds
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "crash_analysis.h"
#include "symbolizer.h"

namespace {

constexpr size_t kCacheBytes = size_t{256} << 20;
constexpr uint64_t kFirstCodeRva = 0x1010;

double SecondsOf(const auto& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: symbols_bench <dump> <symbol store> <large executable> [runs]\n");
    return 2;
  }
  const std::filesystem::path dump = argv[1];
  const int runs = argc > 4 ? std::atoi(argv[4]) : 20;
  const fennick_analysis::CrashAnalyzer analyzer(fennick_symbols::SymbolStore(argv[2]),
                                                 kCacheBytes);
  nlohmann::ordered_json analysis;
  const double first = SecondsOf([&] { analysis = analyzer.AnalyzeFile(dump); });
  if (!analysis["crash"].value("symbolicated", false)) {
    std::fprintf(stderr, "the dump's stack was not named: %s\n", analysis["crash"].dump().c_str());
    return 1;
  }
  std::vector<double> cached;
  for (int i = 0; i < runs; ++i) {
    cached.push_back(SecondsOf([&] { analysis = analyzer.AnalyzeFile(dump); }));
  }
  std::sort(cached.begin(), cached.end());
  std::printf("first %.6f\ncached %.6f\n", first, cached[cached.size() / 2]);

  fennick_symbols::Symbolizer symbolizer(kCacheBytes);
  const long before = ResidentKiB();
  std::vector<fennick_symbols::SourceFrame> frames;
  const double large = SecondsOf([&] { frames = symbolizer.Symbolize({argv[3], {}}, kFirstCodeRva); });
  if (frames.empty()) {
    std::fprintf(stderr, "the large executable named nothing\n");
    return 1;
  }
  std::printf("large %.6f %llu\nheld %ld\n", large,
              static_cast<unsigned long long>(std::filesystem::file_size(argv[3])),
              ResidentKiB() - before);
  return 0;
}
