#ifndef FENNICK_TESTS_TOOLS_ANALYSIS_UNWIND_UNWIND_TEST_IMAGE_H_
#define FENNICK_TESTS_TOOLS_ANALYSIS_UNWIND_UNWIND_TEST_IMAGE_H_

// Unwind data and stacks made in memory, byte by byte as the x64 format lays them out.

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "stack_walk.h"

namespace fennick_unwind {

// An image of `bytes` from RVA 0 on, with the function table `functions`.
class TestImage : public ModuleImage {
 public:
  TestImage(std::vector<RuntimeFunction> functions, std::string bytes)
      : functions_(std::move(functions)), bytes_(std::move(bytes)) {}
  std::optional<RuntimeFunction> FindFunction(uint32_t rva) const override {
    for (const RuntimeFunction& function : functions_) {
      if (rva >= function.begin && rva < function.end) return function;
    }
    return std::nullopt;
  }
  bool Read(uint32_t rva, size_t length, void* out) const override {
    if (rva > bytes_.size() || length > bytes_.size() - rva) return false;
    if (length != 0) std::memcpy(out, bytes_.data() + rva, length);
    return true;
  }

 private:
  std::vector<RuntimeFunction> functions_;
  std::string bytes_;
};

// Memory of `bytes` from `start` on.
class TestMemory : public StackMemory {
 public:
  TestMemory(uint64_t start, std::string bytes) : start_(start), bytes_(std::move(bytes)) {}
  bool Read(uint64_t address, size_t length, void* out) const override {
    if (address < start_ || address - start_ > bytes_.size() ||
        length > bytes_.size() - (address - start_)) {
      return false;
    }
    if (length != 0) std::memcpy(out, bytes_.data() + (address - start_), length);
    return true;
  }

 private:
  uint64_t start_;
  std::string bytes_;
};

// An unwind code slot: the prolog offset, the operation and its info.
constexpr uint16_t Op(uint8_t offset, uint8_t operation, uint8_t info = 0) {
  return static_cast<uint16_t>(offset | (operation | info << 4) << 8);
}

// UNWIND_INFO: version and flags, prolog size, the codes (padded to an even count), and
// the chained function entry when `chained` is given.
inline std::string UnwindInfo(uint8_t prolog, std::vector<uint16_t> codes, uint8_t flags = 0,
                              uint8_t frame_register = 0, uint8_t frame_offset = 0,
                              uint8_t version = 1, const RuntimeFunction* chained = nullptr) {
  std::string bytes = {static_cast<char>(version | flags << 3), static_cast<char>(prolog),
                       static_cast<char>(codes.size()),
                       static_cast<char>(frame_register | frame_offset << 4)};
  if (codes.size() % 2 != 0) codes.push_back(0);
  bytes.append(reinterpret_cast<const char*>(codes.data()), codes.size() * 2);
  if (chained != nullptr) {
    const uint32_t entry[] = {chained->begin, chained->end, chained->unwind_info};
    bytes.append(reinterpret_cast<const char*>(entry), sizeof entry);
  }
  return bytes;
}

}  // namespace fennick_unwind

#endif  // FENNICK_TESTS_TOOLS_ANALYSIS_UNWIND_UNWIND_TEST_IMAGE_H_
