#include <gtest/gtest.h>
#include <llvm/Object/COFF.h>
#include <llvm/Support/MemoryBuffer.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_folder.h"
#include "symbol_key.h"
#include "symbol_store.h"

namespace {

namespace fs = std::filesystem;
using fennick_symbols::SymbolFileKind;
using fennick_symbols::SymbolStore;

const fs::path kOrtivo = FENNICK_FIXTURES_DIR "/plain/Ortivo.exe";
const fs::path kTinyExe = FENNICK_PDB_FIXTURE_DIR "/tiny.exe";
const fs::path kTinyPdb = FENNICK_PDB_FIXTURE_DIR "/tiny.pdb";

uint32_t ReadU32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// SizeOfImage straight from the optional header's bytes (at 56 in PE32 and PE32+ alike).
uint32_t SizeOfImage(const fs::path& image) {
  const std::string bytes = ReadTestFile(image);
  return ReadU32(bytes, ReadU32(bytes, 0x3C) + 24 + 56);
}

// The PDB key as a dump's module record gives it: the CodeView record the linker wrote into
// the executable, its bytes as they stand.
std::string CodeViewKey(const fs::path& image) {
  auto buffer = llvm::MemoryBuffer::getFile(image.string());
  EXPECT_TRUE(buffer);
  auto object = llvm::object::COFFObjectFile::create((*buffer)->getMemBufferRef());
  EXPECT_TRUE(static_cast<bool>(object));
  const llvm::codeview::DebugInfo* info = nullptr;
  llvm::StringRef pdb_name;
  EXPECT_FALSE(static_cast<bool>((*object)->getDebugPDBInfo(info, pdb_name)));
  std::array<uint8_t, 16> guid;
  std::copy(std::begin(info->PDB70.Signature), std::end(info->PDB70.Signature), guid.begin());
  return fennick_symbols::PdbKey(guid, info->PDB70.Age);
}

TEST(SymbolKey, FormatsAsSymbolServersDo) {
  const std::array<uint8_t, 16> guid = {0xCC, 0xAC, 0x5F, 0xD2, 0x31, 0xA7, 0xBD, 0x3F,
                                        0x4C, 0x4C, 0x44, 0x20, 0x50, 0x44, 0x42, 0x2E};
  const std::array<uint8_t, 16> small = {0x01, 0,    0, 0, 0x02, 0, 0x03, 0,
                                         0,    0x0A, 0, 0, 0,    0, 0,    0};
  const std::pair<std::string, std::string> cases[] = {
      {fennick_symbols::ExecutableKey(0x6553F100, 0x13000), "6553F10013000"},
      {fennick_symbols::ExecutableKey(0x1, 0x1000), "000000011000"},
      {fennick_symbols::ExecutableKey(0xABCDEF01, 0), "ABCDEF010"},
      {fennick_symbols::PdbKey(guid, 1), "D25FACCCA7313FBD4C4C44205044422E1"},
      {fennick_symbols::PdbKey(small, 0x2A), "0000000100020003000A0000000000002A"},
  };
  for (const auto& [key, expected] : cases) EXPECT_EQ(key, expected);
}

TEST(SymbolKey, IdentifiesFilesByTheirContent) {
  TempFolder temp;
  const std::string ortivo = ReadTestFile(kOrtivo);
  const std::string pdb = ReadTestFile(kTinyPdb);
  WriteTestFile(temp / "notes.txt", "symbols, honest\n");
  WriteTestFile(temp / "cut.exe", ortivo.substr(0, ortivo.size() / 2));
  WriteTestFile(temp / "short.exe", ortivo.substr(0, ortivo.size() - 1));
  WriteTestFile(temp / "headers.exe", ortivo.substr(0, 0x200));
  WriteTestFile(temp / "mz.exe", "MZ");
  WriteTestFile(temp / "cut.pdb", pdb.substr(0, pdb.size() / 2));
  WriteTestFile(temp / "short.pdb", pdb.substr(0, pdb.size() - 1));
  WriteTestFile(temp / "magic.pdb", pdb.substr(0, 40));
  char size_hex[16];
  std::snprintf(size_hex, sizeof size_hex, "%X", SizeOfImage(kOrtivo));
  const struct {
    fs::path file;
    SymbolFileKind kind;
    std::string key;
    std::string error;
  } cases[] = {
      {kOrtivo, SymbolFileKind::kExecutable, std::string("6553F100") + size_hex, ""},
      {kTinyPdb, SymbolFileKind::kPdb, CodeViewKey(kTinyExe), ""},
      {temp / "notes.txt", SymbolFileKind::kExecutable, "", "not a PE image or PDB"},
      {temp / "cut.exe", SymbolFileKind::kExecutable, "", "cut PE image"},
      {temp / "short.exe", SymbolFileKind::kExecutable, "", "cut PE image"},
      {temp / "headers.exe", SymbolFileKind::kExecutable, "", "cut PE image"},
      {temp / "mz.exe", SymbolFileKind::kExecutable, "", "cut PE image"},
      {temp / "cut.pdb", SymbolFileKind::kExecutable, "", "cut PDB"},
      {temp / "short.pdb", SymbolFileKind::kExecutable, "", "cut PDB"},
      {temp / "magic.pdb", SymbolFileKind::kExecutable, "", "cut PDB"},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.file);
    const fennick_symbols::SymbolFileIdentity identity =
        fennick_symbols::IdentifySymbolFile(row.file);
    EXPECT_EQ(identity.key, row.key);
    EXPECT_EQ(identity.error, row.error);
    EXPECT_EQ(identity.kind, row.kind);
  }
  EXPECT_NE(fennick_symbols::IdentifySymbolFile(temp / "missing").error, "");
}

TEST(SymbolStore, FindsFilesIgnoringCase) {
  TempFolder temp;
  WriteTestFile(temp / "ORTIVO.PDB" / "ab12CD1" / "ortivo.Pdb", "pdb");
  WriteTestFile(temp / "Other.dll" / "AB12CD1" / "Other.dll", "dll");
  WriteTestFile(temp / "tiny.pdb" / "CD34EF1" / "TINY.PDB", "upper");
  WriteTestFile(temp / "tiny.pdb" / "CD34EF1" / "tiny.pdb", "lower");
  const SymbolStore store(temp.path());
  const struct {
    std::string name;
    std::string key;
    fs::path found;
  } cases[] = {
      {"Ortivo.pdb", "AB12CD1", temp / "ORTIVO.PDB" / "ab12CD1" / "ortivo.Pdb"},
      {"ortivo.pdb", "ab12cd1", temp / "ORTIVO.PDB" / "ab12CD1" / "ortivo.Pdb"},
      {"Ortivo.pdb", "AB12CD2", ""},
      {"Ortivo.exe", "AB12CD1", ""},
      {"Other.dll", "AB12CD1", temp / "Other.dll" / "AB12CD1" / "Other.dll"},
      {"other.DLL", "ab12cd1", temp / "Other.dll" / "AB12CD1" / "Other.dll"},
      // Among names equal but for case, the exact spelling.
      {"TINY.PDB", "CD34EF1", temp / "tiny.pdb" / "CD34EF1" / "TINY.PDB"},
      {"tiny.pdb", "CD34EF1", temp / "tiny.pdb" / "CD34EF1" / "tiny.pdb"},
      {"../Other.dll", "AB12CD1", ""},
      {"Other.dll", "..", ""},
      {"", "AB12CD1", ""},
  };
  for (const auto& row : cases) {
    SCOPED_TRACE(row.name + " " + row.key);
    EXPECT_EQ(store.Find(row.name, row.key).value_or(fs::path()), row.found);
  }
}

TEST(SymbolStore, AddsFilesUnderTheirOwnKeys) {
  TempFolder temp;
  const SymbolStore store(temp / "a" / "symbols");
  const SymbolStore::Added exe = store.Add(kOrtivo, "Ortivo.exe");
  const SymbolStore::Added pdb = store.Add(kTinyPdb, "tiny.pdb");
  ASSERT_EQ(exe.error, "");
  ASSERT_EQ(pdb.error, "");
  EXPECT_EQ(exe.kind, SymbolFileKind::kExecutable);
  EXPECT_EQ(pdb.kind, SymbolFileKind::kPdb);
  EXPECT_EQ(exe.key, fennick_symbols::IdentifySymbolFile(kOrtivo).key);
  EXPECT_EQ(pdb.key, CodeViewKey(kTinyExe));
  const fs::path stored = temp / "a" / "symbols" / "tiny.pdb" / pdb.key / "tiny.pdb";
  EXPECT_EQ(store.Find("TINY.PDB", pdb.key).value_or(fs::path()), stored);
  EXPECT_TRUE(ReadTestFile(stored) == ReadTestFile(kTinyPdb));

  // Another spelling replaces the copy already there rather than adding a second.
  EXPECT_EQ(store.Add(kTinyPdb, "TINY.pdb").error, "");
  EXPECT_EQ(std::distance(fs::directory_iterator(stored.parent_path()), fs::directory_iterator()),
            1);
  EXPECT_TRUE(fs::exists(stored));

  // The longest name a file system takes; a byte more is refused (below).
  const std::string longest = std::string(251, 't') + ".pdb";
  EXPECT_EQ(store.Add(kTinyPdb, longest).error, "");
  EXPECT_EQ(store.Find(longest, pdb.key).value_or(fs::path()),
            temp / "a" / "symbols" / longest / pdb.key / longest);
}

TEST(SymbolStore, RefusesWhatIsNoSymbolFileAndStoresNothing) {
  TempFolder temp;
  WriteTestFile(temp / "notes.txt", "text");
  const SymbolStore store(temp / "symbols");
  const std::pair<fs::path, std::string> cases[] = {
      {temp / "notes.txt", "notes.txt"},
      {kTinyPdb, ""},
      {kTinyPdb, "."},
      {kTinyPdb, ".."},
      {kTinyPdb, "a/b.pdb"},
      {kTinyPdb, "a\\b.pdb"},
      {kTinyPdb, "tab\t.pdb"},
      {kTinyPdb, std::string(256, 'p')},
  };
  for (const auto& [source, name] : cases) {
    SCOPED_TRACE(name);
    const SymbolStore::Added added = store.Add(source, name);
    EXPECT_NE(added.error, "");
    EXPECT_EQ(added.key, "");
  }
  EXPECT_FALSE(fs::exists(temp / "symbols"));
}

}  // namespace
