#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/environment.h"
#include "platform/file_io.h"
#include "platform/guid.h"
#include "platform/output.h"
#include "platform/process.h"
#include "platform/text_conversion.h"
#include "support/environment.h"
#include "support/stderr_capture.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

TEST(FileIoWinTest, ReadsOnlyDiskFiles) {
  // A pipe with a server but no writer, and character devices: reading any of them could
  // wait for ever.
  const wchar_t kPipe[] = L"\\\\.\\pipe\\fennick-test-pipe";
  HANDLE server = CreateNamedPipeW(kPipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  for (const wchar_t* path : {kPipe, L"NUL", L"CONIN$"}) {
    EXPECT_FALSE(OpenFileForReading(path).is_valid()) << WideToUtf8(path);
  }
  CloseHandle(server);
}

TEST(FileIoWinTest, ADumpHeldOpenCanBeDeletedAndIsGoneAfterTheLastClose) {
  TempFolder folder;
  WriteTestFile(folder / "held.dmp", "MDMP");
  ScopedFile held = OpenFileForReading(folder / "held.dmp");
  ASSERT_TRUE(held.is_valid());
  // Wine keeps the name visible until the last handle closes (Windows does not), so only
  // what holds after the close is checked.
  EXPECT_TRUE(RemoveFile(folder / "held.dmp"));
  held.reset();
  EXPECT_FALSE(fs::exists(folder / "held.dmp"));
}

TEST(FileIoWinTest, MovesOverAnExistingFileAndWritesNoReparsePoint) {
  TempFolder folder;
  WriteTestFile(folder / "a.crash.json", "old");
  ASSERT_TRUE(WriteWholeFile(folder / "a.crash.json.tmp", "new"));
  EXPECT_TRUE(ReplaceFileDurably(folder / "a.crash.json.tmp", folder / "a.crash.json"));
  EXPECT_EQ(ReadTestFile(folder / "a.crash.json"), "new");
  EXPECT_FALSE(WriteWholeFile(folder / "no-such-folder" / "x", "data"));
}

TEST(TextConversionWinTest, ALoneSurrogateConvertsToNothing) {
  for (const WideString& bad : {WideString(L"a\xD800"
                                           L"b"),
                                WideString(L"\xDC00"), WideString(L"x\xD83D")}) {
    EXPECT_EQ(WideToUtf8(bad), "");
  }
  EXPECT_EQ(WideToUtf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
}

TEST(StandardErrorWinTest, ARedirectedStreamGetsTheLineWholeAsUtf8) {
  StderrCapture capture;
  // "é", U+1F600 and a lone surrogate, which UTF-8 cannot hold and is written as WTF-8.
  WriteStandardError(L"caf\xE9 \xD83D\xDE00 \xDC01.dmp 100%\n");
  EXPECT_EQ(capture.Text(), "caf\xC3\xA9 \xF0\x9F\x98\x80 \xED\xB0\x81.dmp 100%\n");
}

TEST(ProcessEnvironmentWinTest, FoldersComeFromTheSystemCallsAndGuidsHaveBraces) {
  {
    const ScopedEnvironment folders(FolderEnvironment(L"D:\\local", L"D:\\temp"));
    EXPECT_EQ(UserDataFolder(), L"D:\\local");
    // GetTempPathW ends the folder with a backslash.
    EXPECT_EQ(TemporaryFolder(), L"D:\\temp\\");
  }
  {
    const ScopedEnvironment none(NoUserDataEnvironment());
    EXPECT_EQ(UserDataFolder(), fs::path());
  }

  wchar_t module[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, module, MAX_PATH), 0u);
  EXPECT_EQ(ExecutableDirectory(), fs::path(module).parent_path());
  EXPECT_EQ(ExecutableDirectory().native().substr(1, 2), L":\\");
  const std::regex form("\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
  EXPECT_TRUE(std::regex_match(WideToUtf8(NewPlatformGuidText()), form));
}
