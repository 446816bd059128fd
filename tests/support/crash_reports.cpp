#include "support/crash_reports.h"

#include "support/temp_folder.h"

std::string CrashMetadataJson(const std::string& dump_file, const std::string& dump_id) {
  return "{\"schema_version\":1,\"dump_id\":\"" + dump_id + "\",\"dump_file\":\"" + dump_file +
         "\",\"app_version\":\"3.2.1.45\",\"session_id\":\"S-104\",\"uin\":\"20481937\","
         "\"lum_id\":\"7730142\",\"pet_code\":\"P-0193\",\"client_ts\":1765188930123}";
}

void WriteCrashReport(const std::filesystem::path& folder, const std::string& stem,
                      size_t dump_size) {
  WriteTestFile(folder / (stem + ".dmp"), MinidumpBytes(dump_size));
  WriteTestFile(folder / (stem + ".crash.json"), CrashMetadataJson(stem + ".dmp", stem + "-id"));
}
