#include "call_check.h"

#include <algorithm>
#include <array>
#include <optional>

namespace fennick_unwind {
namespace {

constexpr uint8_t kCallRelative = 0xE8;
constexpr uint8_t kGroup5 = 0xFF;  // its ModRM reg field 2 is the indirect near call
constexpr uint8_t kIndirectCall = 2;

// Operand and address size, repeat, segment and branch-hint prefixes. A lock prefix makes a
// call invalid, so it is not among them.
bool IsLegacyPrefix(uint8_t byte) {
  switch (byte) {
    case 0x66:
    case 0x67:
    case 0xF2:
    case 0xF3:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x26:
    case 0x64:
    case 0x65:
      return true;
    default:
      return false;
  }
}

bool IsRex(uint8_t byte) { return (byte & 0xF0) == 0x40; }

// The bytes that follow ModRM: a SIB byte and a displacement, by its mod and rm fields (rm 4
// brings a SIB byte, whose base 5 under mod 0 brings a 32-bit displacement; mod 0 with rm 5 is
// RIP-relative with one).
size_t OperandBytesAfterModRm(uint8_t modrm, std::optional<uint8_t> sib) {
  const uint8_t mod = modrm >> 6;
  const uint8_t rm = modrm & 7;
  if (mod == 3) return 0;
  const size_t sib_bytes = rm == 4 ? 1 : 0;
  if (mod == 1) return sib_bytes + 1;
  if (mod == 2) return sib_bytes + 4;
  if (rm == 5) return 4;
  if (rm == 4 && sib && (*sib & 7) == 5) return 1 + 4;
  return sib_bytes;
}

// The length of the call instruction that starts `code`, or 0 when it starts no call.
size_t CallLength(std::span<const uint8_t> code) {
  size_t at = 0;
  while (at < code.size() && IsLegacyPrefix(code[at])) ++at;
  if (at < code.size() && IsRex(code[at])) ++at;
  if (at >= code.size()) return 0;
  if (code[at] == kCallRelative) return at + 1 + 4;
  if (code[at] != kGroup5 || at + 1 >= code.size()) return 0;
  const uint8_t modrm = code[at + 1];
  if (((modrm >> 3) & 7) != kIndirectCall) return 0;
  const std::optional<uint8_t> sib =
      at + 2 < code.size() ? std::optional<uint8_t>(code[at + 2]) : std::nullopt;
  return at + 2 + OperandBytesAfterModRm(modrm, sib);
}

}  // namespace

bool EndsWithCall(std::span<const uint8_t> code) {
  const size_t longest = std::min(code.size(), kMaxInstructionLength);
  for (size_t length = 2; length <= longest; ++length) {
    if (CallLength(code.last(length)) == length) return true;
  }
  return false;
}

bool FollowsCall(const ModuleImage& image, uint32_t rva) {
  std::array<uint8_t, kMaxInstructionLength> code{};
  // Near the start of a section fewer bytes lie before the address within it.
  for (size_t length = std::min<size_t>(rva, code.size()); length >= 2; --length) {
    if (image.Read(rva - static_cast<uint32_t>(length), length, code.data())) {
      return EndsWithCall(std::span<const uint8_t>(code.data(), length));
    }
  }
  return false;
}

}  // namespace fennick_unwind
