// Writes the dump that costs the ingest server most to analyse, for the benchmark of many
// uploads of it at once: as many modules as the reader takes, their names all pointing at
// one name of the longest length, so that the names kept reach the reader's limit and the
// record written still fits what the store reads back.
//   hostile_dump <file>
#include <cstdio>
#include <fstream>
#include <string>

#include "minidump_builder.h"
#include "minidump_reader.h"

int main(int argc, char** argv) {
  using namespace fennick_minidump;
  if (argc != 2) {
    std::fputs("usage: hostile_dump <file>\n", stderr);
    return 2;
  }
  // As many whole names as the limit takes; the service pack text fits beside them.
  const std::string bytes = SharedLongNames(kMaxTextBytes / kMaxStringUnits);
  std::ofstream(argv[1], std::ios::binary) << bytes;
  return ReadMinidump({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}).minidump
             ? 0
             : 1;
}
