#include "minidump_analysis.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "crash_summary.h"

namespace fennick_minidump {
namespace {

using Json = nlohmann::ordered_json;

// "2023-11-14T22:13:20Z" for seconds since 1970; null for 0, which writers leave unset.
Json UtcText(uint32_t seconds) {
  if (seconds == 0) return nullptr;
  using namespace std::chrono;
  const sys_seconds time{std::chrono::seconds(seconds)};
  const sys_days day = floor<days>(time);
  const year_month_day date(day);
  const hh_mm_ss clock(time - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

Json ExceptionJson(const ExceptionInfo& exception) {
  Json parameters = Json::array();
  for (uint64_t parameter : exception.parameters) parameters.push_back(HexText(parameter));
  return {{"code", CodeText(exception.code)},   {"name", ExceptionName(exception.code)},
          {"flags", CodeText(exception.flags)}, {"address", HexText(exception.address)},
          {"thread_id", exception.thread_id},   {"parameters", parameters}};
}

Json SystemJson(const SystemInfoFacts& system) {
  return {{"os", OsText(system)},
          {"cpu", ArchitectureName(system.processor_architecture)},
          {"processor_architecture", system.processor_architecture},
          {"processor_level", system.processor_level},
          {"processor_revision", system.processor_revision},
          {"processors", system.number_of_processors},
          {"product_type", system.product_type},
          {"platform_id", system.platform_id},
          {"service_pack", system.service_pack}};
}

Json ThreadsJson(const Minidump& dump) {
  if (!dump.thread_count) return nullptr;
  Json crashing = nullptr;
  if (dump.crashing_thread) {
    crashing = {{"id", dump.crashing_thread->id},
                {"stack_start", HexText(dump.crashing_thread->stack_start)},
                {"stack_size", HexText(dump.crashing_thread->stack_size)}};
  }
  return {{"count", *dump.thread_count}, {"crashing_thread", crashing}};
}

Json ProcessJson(const MiscInfoFacts& misc) {
  Json json;
  json["process_id"] = misc.process_id ? Json(*misc.process_id) : Json(nullptr);
  json["create_time_utc"] = misc.process_create_time ? UtcText(*misc.process_create_time) : nullptr;
  return json;
}

// Takes the module's name rather than copy it: names may hold megabytes together.
Json ModuleJson(ModuleInfo& module) {
  const std::optional<std::string> version = FileVersionText(module);
  std::string file_name = FileNameOf(module.name);
  return {{"base", HexText(module.base)},
          {"size", HexText(module.size)},
          {"time_stamp", CodeText(module.time_stamp)},
          {"file_version", version ? Json(*version) : Json(nullptr)},
          {"path", std::move(module.name)},
          {"file_name", std::move(file_name)}};
}

}  // namespace

Json MinidumpJson(Minidump dump) {
  Json json;
  json["dump"] = {{"file_size", dump.file_size},
                  {"streams", dump.stream_count},
                  {"written_utc", UtcText(dump.time_stamp)},
                  {"flags", HexText(dump.flags)},
                  {"memory_ranges", dump.memory_ranges}};
  json["exception"] = dump.exception ? ExceptionJson(*dump.exception) : nullptr;
  json["system"] = dump.system_info ? SystemJson(*dump.system_info) : nullptr;
  json["threads"] = ThreadsJson(dump);
  json["process"] = dump.misc_info ? ProcessJson(*dump.misc_info) : nullptr;
  Json modules = Json::array();
  for (ModuleInfo& module : dump.modules) modules.push_back(ModuleJson(module));
  json["modules"] = std::move(modules);
  return json;
}

Json AnalysisJson(MinidumpResult read) {
  Json json;
  json["analysis_version"] = kAnalysisVersion;
  if (!read.minidump) {
    json["crash"] = nullptr;
    json["analysis_error"] = read.error;
    return json;
  }
  const CrashSummaryResult summary = SummarizeCrash(*read.minidump);
  json["crash"] = summary.crash ? CrashSummaryJson(*summary.crash) : nullptr;
  if (!summary.crash) json["analysis_error"] = summary.error;
  json["minidump"] = MinidumpJson(std::move(*read.minidump));
  return json;
}

Json AnalyzeMinidump(std::span<const uint8_t> bytes) { return AnalysisJson(ReadMinidump(bytes)); }

Json AnalyzeMinidumpFile(const std::filesystem::path& path) {
  return AnalysisJson(ReadMinidumpFile(path));
}

Json AnalyzeOpenMinidumpFile(FileHandle file) { return AnalysisJson(ReadOpenMinidumpFile(file)); }

}  // namespace fennick_minidump
