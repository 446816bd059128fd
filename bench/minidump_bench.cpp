// Times the analysis the ingest server runs on each dump, on two 50 MiB dumps made from a
// real one:
//   minidump_bench <real dump> <work folder> [runs]
// "memory": the real dump with 50 MiB of memory appended in 12,800 ranges of 4 KiB, as a
// dump with full memory has it. "ranges": the real dump with 3.3 million empty memory
// ranges, 50 MiB of range records, the most checking a 50 MiB dump can ask of the reader.
// Prints one line per dump: "<name> <median seconds> <file bytes> <analysis error or ok>".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "minidump_analysis.h"
#include "minidump_format.h"

namespace {

using namespace fennick_minidump;

constexpr uint64_t kFiftyMiB = 50 * 1024 * 1024;

template <typename T>
void Append(std::string* bytes, const T& record) {
  bytes->append(reinterpret_cast<const char*>(&record), sizeof record);
}

// The real dump with a memory64 list stream of `ranges` ranges of `range_size` bytes each
// (their bytes appended too) and a new stream directory that names it.
std::string WithMemory64List(std::string dump, uint64_t ranges, uint64_t range_size) {
  Header header;
  std::memcpy(&header, dump.data(), sizeof header);
  const std::string old_directory =
      dump.substr(header.stream_directory_rva, header.number_of_streams * sizeof(Directory));
  const uint64_t memory = dump.size();
  dump.append(ranges * range_size, '\xCC');
  const auto list = static_cast<uint32_t>(dump.size());
  Append(&dump, Memory64ListHeader{ranges, memory});
  for (uint64_t i = 0; i < ranges; ++i) {
    Append(&dump, MemoryDescriptor64{0x10000000 + i * range_size, range_size});
  }
  const auto list_size = static_cast<uint32_t>(dump.size() - list);
  header.stream_directory_rva = static_cast<uint32_t>(dump.size());
  dump += old_directory;
  Append(&dump, Directory{kMemory64ListStream, {list_size, list}});
  header.number_of_streams += 1;
  std::memcpy(dump.data(), &header, sizeof header);
  return dump;
}

void Time(const char* name, const std::filesystem::path& path, const std::string& bytes, int runs) {
  std::ofstream(path, std::ios::binary) << bytes;
  std::vector<double> seconds;
  nlohmann::ordered_json analysis;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    analysis = AnalyzeMinidumpFile(path);
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  const std::string outcome =
      analysis.contains("analysis_error") ? analysis["analysis_error"].get<std::string>() : "ok";
  std::printf("%s %.6f %zu %s\n", name, seconds[seconds.size() / 2], bytes.size(), outcome.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: minidump_bench <real dump> <work folder> [runs]\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string real((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::filesystem::path work = argv[2];
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
  Time("memory", work / "memory.dmp", WithMemory64List(real, kFiftyMiB / 4096, 4096), runs);
  Time("ranges", work / "ranges.dmp",
       WithMemory64List(real, kFiftyMiB / sizeof(MemoryDescriptor64), 0), runs);
  return 0;
}
