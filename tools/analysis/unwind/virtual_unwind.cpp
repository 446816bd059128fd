#include "virtual_unwind.h"

#include <llvm/Support/Win64EH.h>

#include <cstdio>
#include <vector>

namespace fennick_unwind {
namespace {

namespace win64 = llvm::Win64EH;
using fennick_minidump::ThreadContext;

constexpr size_t kRsp = 4;               // RSP's number in unwind codes
constexpr uint32_t kInfoHeaderSize = 4;  // UNWIND_INFO before its codes
constexpr uint32_t kCodeSize = sizeof(win64::UnwindCode);
constexpr uint32_t kNoPrologOffset = UINT32_MAX;  // every code of the data applies

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// The RVA `offset` bytes after `rva`, or false when it is past the image's 4 GiB.
bool After(uint32_t rva, uint64_t offset, uint32_t* out) {
  if (offset > UINT32_MAX - rva) return false;
  *out = static_cast<uint32_t>(rva + offset);
  return true;
}

// One function's unwind data: its header and codes.
struct UnwindData {
  win64::UnwindInfo header{};
  std::vector<win64::UnwindCode> codes;
};

// Undoes a frame's prologs, code by code, on a copy of its registers.
class Unwinder {
 public:
  Unwinder(const ThreadContext& frame, const ModuleImage& image, const StackMemory& memory)
      : registers_(frame), image_(image), memory_(memory) {}

  UnwindStep Run(const RuntimeFunction& function, uint32_t offset_in_function) {
    RuntimeFunction entry = function;
    for (size_t depth = 0;; ++depth) {
      UnwindData data;
      if (!ReadData(entry.unwind_info, &data)) return Failed();
      // Only the function RIP is in can be partway through its prolog; the data chained to
      // it describes code that has run.
      if (!Apply(data, depth == 0 ? offset_in_function : kNoPrologOffset)) return Failed();
      if (machine_frame_) return {true, registers_, ""};
      if ((data.header.getFlags() & win64::UNW_ChainInfo) == 0) break;
      if (depth + 1 == kMaxChainDepth) {
        return {
            false, {}, "unwind data chained more than " + std::to_string(kMaxChainDepth) + " deep"};
      }
      const uint32_t previous = entry.unwind_info;
      if (!ReadChained(entry.unwind_info, data.header.NumCodes, &entry)) return Failed();
      if (entry.unwind_info == previous) return {false, {}, "unwind data chained to itself"};
    }
    uint64_t& rsp = registers_.registers[kRsp];
    if (!ReadStack(rsp, &registers_.rip)) return Failed();
    rsp += 8;
    return {true, registers_, ""};
  }

 private:
  bool Fail(std::string error) {
    error_ = std::move(error);
    return false;
  }
  UnwindStep Failed() const { return {false, {}, error_}; }

  bool ReadData(uint32_t rva, UnwindData* data) {
    uint32_t codes_at = 0;
    if (!After(rva, kInfoHeaderSize, &codes_at) ||
        !image_.Read(rva, kInfoHeaderSize, &data->header)) {
      return Fail("unwind info at " + Hex(rva) + " outside its image");
    }
    const uint8_t version = data->header.getVersion();
    if (version != 1 && version != 2) {
      return Fail("unwind info at " + Hex(rva) + " of unknown version " + std::to_string(version));
    }
    data->codes.resize(data->header.NumCodes);
    if (!data->codes.empty() &&
        !image_.Read(codes_at, data->codes.size() * kCodeSize, data->codes.data())) {
      return Fail("unwind codes at " + Hex(rva) + " past the end of its image");
    }
    return true;
  }

  // The function entry that follows the codes (padded to an even count) of chained data.
  bool ReadChained(uint32_t rva, uint8_t code_count, RuntimeFunction* entry) {
    win64::RuntimeFunction chained;
    uint32_t at = 0;
    if (!After(rva, kInfoHeaderSize + uint64_t{(code_count + 1u) & ~1u} * kCodeSize, &at) ||
        !image_.Read(at, sizeof chained, &chained)) {
      return Fail("chained function entry of " + Hex(rva) + " outside its image");
    }
    *entry = {chained.StartAddress, chained.EndAddress, chained.UnwindInfoOffset};
    return true;
  }

  bool ReadStack(uint64_t address, uint64_t* value) {
    if (memory_.Read(address, sizeof *value, value)) return true;
    return Fail(MissingStackMemory(address));
  }

  // The `index`th code taken as a 16-bit value, or with the next one as a 32-bit value.
  uint32_t Slot16(const UnwindData& data, size_t index) const {
    return data.codes[index].FrameOffset;
  }
  uint32_t Slot32(const UnwindData& data, size_t index) const {
    return Slot16(data, index) | Slot16(data, index + 1) << 16;
  }

  // How many slots the code at `index` takes, 0 for a code this format does not have.
  static size_t SlotsOf(const UnwindData& data, size_t index) {
    const win64::UnwindCode& code = data.codes[index];
    switch (code.getUnwindOp()) {
      case win64::UOP_PushNonVol:
      case win64::UOP_AllocSmall:
      case win64::UOP_SetFPReg:
        return 1;
      case win64::UOP_PushMachFrame:
        return code.getOpInfo() <= 1 ? 1 : 0;
      case win64::UOP_AllocLarge:
        return code.getOpInfo() == 0 ? 2 : code.getOpInfo() == 1 ? 3 : 0;
      case win64::UOP_SaveNonVol:
      case win64::UOP_SaveXMM128:
        return 2;
      case win64::UOP_SaveNonVolBig:
      case win64::UOP_SaveXMM128Big:
        return 3;
      case win64::UOP_Epilog:  // version 2 describes its epilogs; they undo nothing here
        return data.header.getVersion() == 2 ? 1 : 0;
      default:
        return 0;
    }
  }

  // Undoes the codes, last prolog instruction first, those at or before `prolog_offset`.
  bool Apply(const UnwindData& data, uint32_t prolog_offset) {
    for (size_t index = 0; index < data.codes.size();) {
      const size_t slots = SlotsOf(data, index);
      const win64::UnwindCode& code = data.codes[index];
      if (slots == 0) {
        return Fail("unknown unwind code " + std::to_string(code.getUnwindOp()) + " (info " +
                    std::to_string(code.getOpInfo()) + ")");
      }
      if (slots > data.codes.size() - index) return Fail("unwind code past the end of its data");
      if (code.u.CodeOffset <= prolog_offset && code.getUnwindOp() != win64::UOP_Epilog &&
          !Undo(data, index)) {
        return false;
      }
      if (machine_frame_) return true;
      index += slots;
    }
    return true;
  }

  bool Undo(const UnwindData& data, size_t index) {
    const win64::UnwindCode& code = data.codes[index];
    const uint8_t info = code.getOpInfo();
    uint64_t& rsp = registers_.registers[kRsp];
    switch (code.getUnwindOp()) {
      case win64::UOP_PushNonVol:
        if (!ReadStack(rsp, &registers_.registers[info])) return false;
        rsp += 8;
        return true;
      case win64::UOP_AllocLarge:
        rsp += info == 0 ? uint64_t{Slot16(data, index + 1)} * 8 : Slot32(data, index + 1);
        return true;
      case win64::UOP_AllocSmall:
        rsp += uint64_t{info} * 8 + 8;
        return true;
      case win64::UOP_SetFPReg: {
        const uint8_t frame_register = data.header.getFrameRegister();
        if (frame_register == 0) return Fail("frame register code without a frame register");
        rsp = registers_.registers[frame_register] - uint64_t{data.header.getFrameOffset()} * 16;
        return true;
      }
      case win64::UOP_SaveNonVol:
        return ReadStack(rsp + uint64_t{Slot16(data, index + 1)} * 8, &registers_.registers[info]);
      case win64::UOP_SaveNonVolBig:
        return ReadStack(rsp + Slot32(data, index + 1), &registers_.registers[info]);
      case win64::UOP_PushMachFrame: {
        // The processor pushed SS, RSP, EFLAGS, CS and RIP, after an error code when info is 1.
        const uint64_t frame = rsp + uint64_t{info} * 8;
        machine_frame_ = true;
        return ReadStack(frame, &registers_.rip) && ReadStack(frame + 24, &rsp);
      }
      default:  // the XMM saves: the integer registers do not need them
        return true;
    }
  }

  ThreadContext registers_;
  const ModuleImage& image_;
  const StackMemory& memory_;
  bool machine_frame_ = false;  // RIP and RSP came from a machine frame: nothing to pop
  std::string error_;
};

}  // namespace

std::string MissingStackMemory(uint64_t address) {
  return "stack memory at " + Hex(address) + " not in the dump";
}

UnwindStep VirtualUnwind(const ThreadContext& frame, uint64_t base, const ModuleImage& image,
                         const RuntimeFunction& function, const StackMemory& memory) {
  const auto offset = static_cast<uint32_t>(frame.rip - base - function.begin);
  return Unwinder(frame, image, memory).Run(function, offset);
}

}  // namespace fennick_unwind
