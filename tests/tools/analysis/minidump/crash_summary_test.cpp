#include "crash_summary.h"

#include <gtest/gtest.h>

#include "minidump_analysis.h"
#include "minidump_builder.h"

namespace fennick_minidump {
namespace {

using Json = nlohmann::ordered_json;

Json Analyze(const DumpParts& parts) {
  const std::string bytes = BuildDump(parts);
  return AnalyzeMinidump({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

TEST(CrashSummaryTest, NamesTheCrashAndItsModuleInTheSignature) {
  // Ortivo.exe spans 0x140000000 to 0x140013000, ntdll.dll starts at 0x7FF800000000.
  const struct {
    uint32_t code;
    std::vector<uint64_t> parameters;
    uint64_t address;
    std::string signature;
  } cases[] = {
      {0xC0000005, {1, 0x10}, 0x140001643, "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x1643"},
      {0xC0000005, {0, 0}, 0x140001643, "EXCEPTION_ACCESS_VIOLATION_READ Ortivo.exe+0x1643"},
      {0xC0000005, {8, 0}, 0, "EXCEPTION_ACCESS_VIOLATION_EXEC 0x0"},
      {0xC0000005, {3, 0}, 0x140001643, "EXCEPTION_ACCESS_VIOLATION Ortivo.exe+0x1643"},
      {0xC0000005, {1}, 0x140001643, "EXCEPTION_ACCESS_VIOLATION Ortivo.exe+0x1643"},
      {0xC0000094, {}, 0x7FF800001000, "EXCEPTION_INT_DIVIDE_BY_ZERO ntdll.dll+0x1000"},
      {0xC00000FD, {1, 0x21E88}, 0x140012FFF, "EXCEPTION_STACK_OVERFLOW Ortivo.exe+0x12FFF"},
      {0xC00000FD, {}, 0x140013000, "EXCEPTION_STACK_OVERFLOW 0x140013000"},
      {0xC0000409, {}, 0x13FFFFFFF, "STATUS_STACK_BUFFER_OVERRUN 0x13FFFFFFF"},
      {0xC0000409, {7}, 0x140001643, "STATUS_STACK_BUFFER_OVERRUN_FATAL_APP_EXIT Ortivo.exe+0x1643"},
      {0xC0000409, {0}, 0x140001643,
       "STATUS_STACK_BUFFER_OVERRUN_LEGACY_GS_VIOLATION Ortivo.exe+0x1643"},
      {0xC0000409, {44}, 0x140001643, "STATUS_STACK_BUFFER_OVERRUN_GUARD_SS_FAILURE Ortivo.exe+0x1643"},
      {0xC0000409, {15}, 0x140001643, "STATUS_STACK_BUFFER_OVERRUN Ortivo.exe+0x1643"},
      {0xC0000409, {45}, 0x140001643, "STATUS_STACK_BUFFER_OVERRUN Ortivo.exe+0x1643"},
      {0xC0000005, {7, 0}, 0x140001643, "EXCEPTION_ACCESS_VIOLATION Ortivo.exe+0x1643"},
      {0x40000015, {}, 0x140001643, "STATUS_FATAL_APP_EXIT Ortivo.exe+0x1643"},
      {0xC0000374, {}, 0x7FF800001000, "STATUS_HEAP_CORRUPTION ntdll.dll+0x1000"},
      {0xE06D7363, {0x19930520, 0, 0}, 0x140001643, "CPP_EH_EXCEPTION Ortivo.exe+0x1643"},
      {0x20474343, {}, 0x140001643, "STATUS_GCC_THROW Ortivo.exe+0x1643"},
      {0x21474343, {}, 0x140001643, "STATUS_GCC_UNWIND Ortivo.exe+0x1643"},
      {0xE0434352, {}, 0x140001643, "0xE0434352 Ortivo.exe+0x1643"},
  };
  for (const auto& c : cases) {
    DumpParts parts;
    ExceptionRecord& record = parts.exception.exception_record;
    record.exception_code = c.code;
    record.exception_address = c.address;
    record.number_parameters = static_cast<uint32_t>(c.parameters.size());
    std::copy(c.parameters.begin(), c.parameters.end(), record.exception_information);
    const Json crash = Analyze(parts)["crash"];
    EXPECT_EQ(crash["signature"], c.signature);
    EXPECT_EQ(crash["exception_code"], CodeText(c.code));
    EXPECT_TRUE(c.signature.starts_with(crash["exception_name"].get<std::string>()));
    EXPECT_EQ(crash["crash_address"], HexText(c.address));
    const bool in_module = c.signature.find('+') != std::string::npos;
    EXPECT_EQ(crash["module"].is_null(), !in_module) << c.signature;
    EXPECT_EQ(crash["module_offset"].is_null(), !in_module) << c.signature;
  }
}

TEST(CrashSummaryTest, TheAnalysisHoldsTheCrashAndAllTheReaderFound) {
  DumpParts parts;
  // A character outside the BMP, and a lone surrogate, which shows as U+FFFD.
  parts.service_pack = u"SP1 \u00DC \U0001F600 \xD800!";
  parts.module_names[1] = u"C:\\Windows\\\u00FCber.dll";
  const Json analysis = Analyze(parts);
  EXPECT_EQ(analysis["analysis_version"], kAnalysisVersion);
  EXPECT_FALSE(analysis.contains("analysis_error"));
  const std::string os = "Windows 10.0.19045 SP1 \xC3\x9C \xF0\x9F\x98\x80 \xEF\xBF\xBD!";
  const Json expected_crash = {{"exception_code", "0xC0000005"},
                               {"exception_name", "EXCEPTION_ACCESS_VIOLATION"},
                               {"crash_address", "0x140001643"},
                               {"module", "Ortivo.exe"},
                               {"module_offset", "0x1643"},
                               {"signature", "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x1643"},
                               {"os", os},
                               {"cpu", "amd64"},
                               {"access", "write"},
                               {"access_address", "0x10"},
                               {"module_version", "3.1.2.45"},
                               {"thread_id", 7}};
  EXPECT_EQ(analysis["crash"], expected_crash);
  const Json& minidump = analysis["minidump"];
  EXPECT_EQ(minidump["dump"]["streams"], 7);
  EXPECT_EQ(minidump["dump"]["memory_ranges"], 2);
  EXPECT_EQ(minidump["dump"]["written_utc"], "2023-11-14T22:13:20Z");
  EXPECT_EQ(minidump["process"],
            Json({{"process_id", 4242}, {"create_time_utc", "2023-11-14T22:13:20Z"}}));
  EXPECT_EQ(minidump["exception"]["parameters"], Json({"0x1", "0x10"}));
  EXPECT_EQ(minidump["system"]["processors"], 2);
  EXPECT_EQ(minidump["threads"], Json::parse(R"({"count": 2, "crashing_thread":
      {"id": 7, "stack_start": "0x300000", "stack_size": "0x2000"}})"));
  EXPECT_EQ(minidump["modules"][1], Json({{"base", "0x7FF800000000"},
                                          {"size", "0x1F0000"},
                                          {"time_stamp", "0x12345678"},
                                          {"file_version", nullptr},
                                          {"path",
                                           "C:\\Windows\\\xC3\xBC"
                                           "ber.dll"},
                                          {"file_name",
                                           "\xC3\xBC"
                                           "ber.dll"}}));

  // A module without a name cannot name the crash.
  DumpParts unnamed;
  unnamed.module_names[0].clear();
  EXPECT_EQ(Analyze(unnamed)["crash"]["signature"], "EXCEPTION_ACCESS_VIOLATION_WRITE 0x140001643");

  // A dump without an exception stream is read, but names no crash.
  DumpLayout layout;
  std::string bytes = BuildDump({}, &layout);
  Put32(&bytes, layout.directory + sizeof(Directory), kUnusedStream);  // the exception's entry
  const Json no_crash =
      AnalyzeMinidump({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
  EXPECT_EQ(no_crash["crash"], nullptr);
  EXPECT_EQ(no_crash["analysis_error"], "no exception stream: the dump records no crash");
  EXPECT_EQ(no_crash["minidump"]["modules"].size(), 2u);

  const Json unreadable = AnalyzeMinidump({reinterpret_cast<const uint8_t*>(bytes.data()), 10});
  EXPECT_EQ(unreadable, Json({{"analysis_version", kAnalysisVersion},
                              {"crash", nullptr},
                              {"analysis_error", "unreadable: shorter than a minidump header"}}));
}

}  // namespace
}  // namespace fennick_minidump
