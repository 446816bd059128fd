#ifndef FENNICK_TESTS_TOOLS_MINIDUMP_CRASHER_FACTS_H_
#define FENNICK_TESTS_TOOLS_MINIDUMP_CRASHER_FACTS_H_

#include <cstdint>
#include <map>
#include <sstream>
#include <string>

// What tests/fixtures/crasher.cpp prints about its own crash: "key=value" lines (exception_code,
// exception_address, module, module_base, module_size, function_offset).
inline std::map<std::string, std::string> ParseCrasherFacts(const std::string& text) {
  std::map<std::string, std::string> facts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals != std::string::npos) facts[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return facts;
}

// A "0x..." fact as a number (0 when missing).
inline uint64_t HexFact(const std::map<std::string, std::string>& facts, const std::string& key) {
  const auto it = facts.find(key);
  return it == facts.end() ? 0 : std::stoull(it->second, nullptr, 16);
}

#endif  // FENNICK_TESTS_TOOLS_MINIDUMP_CRASHER_FACTS_H_
