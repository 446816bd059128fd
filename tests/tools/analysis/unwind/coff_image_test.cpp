#include "coff_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "crasher_facts.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace fennick_unwind {
namespace {

const std::filesystem::path kCrasher = FENNICK_FIXTURES_DIR "/crasher/Ortivo.exe";

// The crasher, crashed under Wine: its function WriteNull crashed at exception_address,
// function_offset into the program.
TEST(CoffImageTest, FindsTheFunctionsOfTheCrasher) {
  TempFolder folder;
  const ProcessOutput crash = RunProcess(FENNICK_SOURCE_DIR "/cmake/wine-emulator.sh",
                                         {kCrasher, "null-write", folder / "crash.dmp"});
  const auto facts = ParseCrasherFacts(crash.standard_output);
  ASSERT_TRUE(facts.contains("function_offset")) << crash.standard_error;
  const CoffImageResult loaded = LoadCoffImage(kCrasher);
  ASSERT_TRUE(loaded.image) << loaded.error;
  const auto function_rva = static_cast<uint32_t>(HexFact(facts, "function_offset"));
  const auto crash_rva =
      static_cast<uint32_t>(HexFact(facts, "exception_address") - HexFact(facts, "module_base"));
  const std::optional<RuntimeFunction> function = loaded.image->FindFunction(crash_rva);
  ASSERT_TRUE(function);
  EXPECT_EQ(function->begin, function_rva);
  EXPECT_GT(function->end, crash_rva);
  EXPECT_EQ(loaded.image->FindFunction(function->end - 1)->begin, function_rva);
  EXPECT_NE(loaded.image->FindFunction(function->end)->begin, function_rva);
  // Its unwind data: version 1, read from the image's sections.
  uint8_t header[4] = {};
  ASSERT_TRUE(loaded.image->Read(function->unwind_info, sizeof header, header));
  EXPECT_EQ(header[0] & 7, 1);
  EXPECT_FALSE(loaded.image->Read(0xFFFFFFF0, 32, header));
  EXPECT_FALSE(loaded.image->FindFunction(0));  // the headers hold no code
}

TEST(CoffImageTest, AFileThatIsNoX64ImageGivesItsReason) {
  const std::string exe = ReadTestFile(kCrasher);
  // Where the PE header's Machine field lies: behind the "PE\0\0" that e_lfanew points at.
  uint32_t pe_header = 0;
  std::memcpy(&pe_header, exe.data() + 0x3C, sizeof pe_header);
  const struct {
    const char* what;
    std::function<std::string()> make;
    const char* error;  // what the reason holds
  } cases[] = {
      {"text", [] { return std::string("not an executable\n"); }, "not recognized"},
      {"empty file", [] { return std::string(); }, "not recognized"},
      {"cut in its headers", [&] { return exe.substr(0, 0x100); }, "end of the file"},
      {"cut in its sections", [&] { return exe.substr(0, exe.size() / 2); }, "end of the file"},
      {"another machine",
       [&] {
         std::string bytes = exe;
         bytes[pe_header + 4] = '\x4C';  // IMAGE_FILE_MACHINE_I386, 0x14C
         bytes[pe_header + 5] = '\x01';
         return bytes;
       },
       "not an x64 image"},
  };
  TempFolder folder;
  for (const auto& c : cases) {
    WriteTestFile(folder / "image.exe", c.make());
    const CoffImageResult loaded = LoadCoffImage(folder / "image.exe");
    EXPECT_FALSE(loaded.image) << c.what;
    EXPECT_TRUE(loaded.error.starts_with((folder / "image.exe").string() + ": ")) << loaded.error;
    EXPECT_NE(loaded.error.find(c.error), std::string::npos) << c.what << ": " << loaded.error;
  }
  const CoffImageResult missing = LoadCoffImage(folder / "missing.exe");
  EXPECT_FALSE(missing.image);
  EXPECT_NE(missing.error.find("No such file"), std::string::npos) << missing.error;
}

}  // namespace
}  // namespace fennick_unwind
