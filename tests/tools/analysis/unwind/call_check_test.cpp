#include "call_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unwind_test_image.h"

namespace fennick_unwind {
namespace {

struct Row {
  const char* what;
  std::vector<uint8_t> code;  // ending at the return address
  bool call;
};

TEST(CallCheckTest, KnowsEachFormOfTheNearCall) {
  const Row rows[] = {
      {"call rel32", {0xE8, 0x10, 0x20, 0x00, 0x00}, true},
      {"call rel32 after other code", {0x48, 0x89, 0xC1, 0xE8, 0xF0, 0xFF, 0xFF, 0xFF}, true},
      {"call [rip+disp32]", {0xFF, 0x15, 0x44, 0x33, 0x22, 0x11}, true},
      {"call rax", {0xFF, 0xD0}, true},
      {"call r11", {0x41, 0xFF, 0xD3}, true},
      {"call [rax]", {0xFF, 0x10}, true},
      {"call [rbx+disp8]", {0xFF, 0x53, 0x08}, true},
      {"call [rbx+disp32]", {0xFF, 0x93, 0x00, 0x01, 0x00, 0x00}, true},
      {"call [rsp+disp8]", {0xFF, 0x54, 0x24, 0x08}, true},
      {"call [rsp+disp32]", {0xFF, 0x94, 0x24, 0x00, 0x02, 0x00, 0x00}, true},
      {"call [rax+rcx*8]", {0xFF, 0x14, 0xC8}, true},
      {"call [disp32+rcx*8], no base", {0xFF, 0x14, 0xCD, 0x00, 0x10, 0x00, 0x00}, true},
      {"call [r8+r9*4+disp8], REX.WXB", {0x4B, 0xFF, 0x54, 0x88, 0x10}, true},
      {"notrack call rax", {0x3E, 0xFF, 0xD0}, true},
      {"bnd call rel32 after a REX.W", {0xF2, 0x48, 0xE8, 0x00, 0x00, 0x00, 0x00}, true},
      {"prefixes stacked", {0x2E, 0x67, 0x66, 0x41, 0xFF, 0x52, 0x7F}, true},
      {"jmp rel32", {0xE9, 0x10, 0x20, 0x00, 0x00}, false},
      {"jmp rax, FF /4", {0xFF, 0xE0}, false},
      {"jmp [rip+disp32], FF /4", {0xFF, 0x25, 0x44, 0x33, 0x22, 0x11}, false},
      {"far call, FF /3", {0xFF, 0x1C, 0x24}, false},
      {"push [rax], FF /6", {0xFF, 0x30}, false},
      {"call [rip+disp32] one byte short", {0xFF, 0x15, 0x44, 0x33, 0x22}, false},
      {"call rax then one more byte", {0xFF, 0xD0, 0x90}, false},
      {"nothing", {}, false},
      {"zeros", std::vector<uint8_t>(15, 0), false},
  };
  for (const Row& row : rows) EXPECT_EQ(EndsWithCall(row.code), row.call) << row.what;
}

// Reads stay within the image: a return address near its start has fewer bytes before it.
TEST(CallCheckTest, ReadsTheCodeBeforeAnAddressFromTheImage) {
  const std::string code = std::string("\xFF\xD0", 2) + std::string(0x20, '\x90') + "\xE8" +
                           std::string(4, '\0');
  const TestImage image({}, code);
  EXPECT_TRUE(FollowsCall(image, 2));
  EXPECT_FALSE(FollowsCall(image, 3));
  EXPECT_TRUE(FollowsCall(image, static_cast<uint32_t>(code.size())));
  EXPECT_FALSE(FollowsCall(image, static_cast<uint32_t>(code.size() + 1)));
  EXPECT_FALSE(FollowsCall(image, 0));
}

}  // namespace
}  // namespace fennick_unwind
