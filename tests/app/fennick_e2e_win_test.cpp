// The Windows program: its resources, and Windows paths and names end to end.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/fennick_test.h"
#include "support/native_files.h"
#include "support/environment.h"
#include "support/test_ingest_server.h"

namespace {

namespace fs = std::filesystem;

TEST(FennickWinTest, CarriesItsVersionResourceAndManifest) {
  const fs::path program = FENNICK_EXE;
  DWORD unused = 0;
  std::string block(GetFileVersionInfoSizeW(program.c_str(), &unused), '\0');
  ASSERT_FALSE(block.empty());
  ASSERT_TRUE(
      GetFileVersionInfoW(program.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(std::make_pair(fixed->dwFileVersionMS, fixed->dwFileVersionLS),
            std::make_pair(0x10000ul, 0ul));
  EXPECT_EQ(std::make_pair(fixed->dwProductVersionMS, fixed->dwProductVersionLS),
            std::make_pair(0x10000ul, 0ul));
  wchar_t* name = nullptr;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\ProductName",
                             reinterpret_cast<void**>(&name), &length));
  EXPECT_EQ(std::wstring(name), L"Fennick");

  HMODULE image = LoadLibraryExW(program.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  HRSRC resource = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(resource, nullptr) << "no application manifest";
  const std::string manifest(static_cast<const char*>(LockResource(LoadResource(image, resource))),
                             SizeofResource(image, resource));
  FreeLibrary(image);
  for (const char* part : {"level=\"asInvoker\"", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                           "<longPathAware", ">true</longPathAware>"}) {
    EXPECT_NE(manifest.find(part), std::string::npos) << part;
  }
}

TEST_F(FennickTest, AnUnknownAppVersionIsTheFileVersionOfTheAgentBesideTheProgram) {
  EXPECT_EQ(UploadedAppVersions(FENNICK_FIXTURES_DIR "/versioned/Ortivo.exe"),
            (std::vector<std::string>{"3.1.2.45", "3.1.2.45"}));
}

TEST_F(FennickTest, NonAsciiPathsReachTheServerAndTheLogWhole) {
  TestIngestServer server(kIngestPort);
  // On drive Z: (the Linux tree under Wine), a folder named with "é" and a character outside
  // the Basic Multilingual Plane, given with forward slashes after its drive prefix.
  const TempFolder on_z(L"Z:\\tmp");
  const fs::path folder = on_z / L"D\xE9p\xF4t \xD83D\xDE00";
  WriteCrashReport(folder, "a");
  std::wstring forward = folder.native();
  for (wchar_t& c : forward) c = c == L'\\' ? L'/' : c;
  ASSERT_EQ(forward.substr(0, 3), L"Z:/");
  ExpectRun({"--scan", forward}, 0, Line("upload succeeded: ", forward + L"\\a.dmp"));
  ASSERT_EQ(server.Uploads().size(), 1u);
  EXPECT_FALSE(fs::exists(folder / "a.dmp"));
}

std::wstring Quoted(const fs::path& path) { return L"\"" + path.native() + L"\""; }

// What a console shows when `command` runs in it with its standard error there (through
// in_console.exe, in code page 437): text in UTF-8 among terminal control sequences.
std::string ConsoleText(const std::wstring& command) {
  HANDLE input_read, input_write, output_read, output_write;
  if (!CreatePipe(&input_read, &input_write, nullptr, 0)) return "";
  if (!CreatePipe(&output_read, &output_write, nullptr, 0)) return "";
  HPCON console = nullptr;
  const HRESULT made = CreatePseudoConsole(COORD{400, 25}, input_read, output_write, 0, &console);
  CloseHandle(input_read);
  CloseHandle(output_write);
  // The console's output is read while it runs: a full pipe would stop it.
  std::string shown;
  std::thread reader([&shown, output_read] {
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(output_read, buffer, sizeof buffer, &count, nullptr) && count > 0)
      shown.append(buffer, count);
  });
  if (SUCCEEDED(made)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string storage(size, '\0');
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console,
                              sizeof console, nullptr, nullptr);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.lpAttributeList = attributes;
    std::wstring line = Quoted(FENNICK_IN_CONSOLE_EXE) + L" " + command;
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                       EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                       &process)) {
      // A hang fails the test instead of stalling it.
      if (WaitForSingleObject(process.hProcess, 120000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    DeleteProcThreadAttributeList(attributes);
    ClosePseudoConsole(console);
  }
  reader.join();
  CloseHandle(input_write);
  CloseHandle(output_read);
  return shown;
}

TEST_F(FennickTest, ALineOnAConsoleShowsItsCharacters) {
  // Handed to a console in code page 437 as UTF-8 bytes, U+00E9 would show as two other
  // characters (U+251C U+2310).
  const fs::path dump = Dumps() / L"caf\xE9.dmp";
  WriteTestFile(dump, "not a minidump");
  SetLastWriteTime(dump, 1700000000123);
  const ScopedEnvironment folders(FolderEnvironment(data_home_.path(), temp_.path()));
  const std::string shown = ConsoleText(Quoted(FENNICK_EXE) + L" --scan " + Quoted(Dumps()));
  EXPECT_NE(shown.find("invalid or oversized dump: " + Utf8(dump)), std::string::npos) << shown;
}

// The long form of `path`, where no length limit applies and no name means a device.
std::wstring Long(const fs::path& path) {
  return path.native().starts_with(L"\\\\?\\") ? path.native() : L"\\\\?\\" + path.native();
}

// The folder that Win32 makes of `path`; a long form is taken as it stands.
fs::path FullPath(const fs::path& path) {
  if (path.native().starts_with(L"\\\\?\\")) return path;
  std::wstring full(GetFullPathNameW(path.c_str(), 0, nullptr, nullptr), L'\0');
  full.resize(GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
  return full;
}

// The files in `folder`, listed through the long form.
std::vector<std::wstring> Files(const fs::path& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((Long(folder) + L"\\*").c_str(), &entry);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &entry)) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(entry.cFileName);
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
  return names;
}

// Removes the files in `folder` through the long form: the C runtime's folder listing would
// list the working folder instead of a deep one, and would take CON.dmp for a device.
void RemoveFilesIn(const fs::path& folder) {
  for (const std::wstring& name : Files(folder)) DeleteFileW((Long(folder / name)).c_str());
}

// A folder more than 300 characters deep inside `base`, removed again on destruction.
class DeepFolder {
 public:
  explicit DeepFolder(const fs::path& base) {
    path_ = base;
    for (wchar_t letter = L'a'; path_.native().size() <= 300; ++letter) {
      path_ /= std::wstring(40, letter);
      CreateDirectoryW(Long(path_).c_str(), nullptr);
      levels_.push_back(path_);
    }
  }
  ~DeepFolder() {
    RemoveFilesIn(path_);
    for (auto level = levels_.rbegin(); level != levels_.rend(); ++level)
      RemoveDirectoryW(Long(*level).c_str());
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::vector<fs::path> levels_;
};

// Each report goes out once, with the agent's own dump_id, and leaves its folder empty:
// names that Win32 would take for devices, a folder deeper than 260 characters, a drive given
// by its letter alone or with a folder taken from its current one, "..", and sidecars that
// name their dump in a spelling the file system accepts (other letter case, a trailing dot,
// the 8.3 short name).
TEST_F(FennickTest, ReportsWhateverWin32WouldMakeOfTheirPaths) {
  const TempFolder on_z(L"Z:\\tmp");
  const DeepFolder deep(on_z.path());
  // Drive T: is the build tree's t-drive folder, mapped by the emulator. Its current folder,
  // kept (as cmd.exe keeps it) in the variable "=T:" that the program inherits, is one below
  // its root.
  const ScopedEnvironment t_current({{"=T:", fs::path(L"T:\\current")}});
  constexpr wchar_t kShortName[] = L"~";
  // folder, as given to --scan, dump, metadata stem, the sidecar's name for the dump
  const std::vector<std::tuple<fs::path, std::wstring, std::wstring, std::wstring>> cases = {
      {on_z.path(), L"CON.dmp", L"CON", L"CON.dmp"},
      {on_z.path(), L"NUL.dmp", L"NUL", L"NUL.dmp"},
      {on_z.path(), L"AUX.dmp", L"AUX", L"AUX.dmp"},
      {on_z.path(), L"PRN.dmp", L"PRN", L"PRN.dmp"},
      {on_z.path(), L"COM1.dmp", L"COM1", L"COM1.dmp"},
      {on_z.path(), L"LPT1.dmp", L"LPT1", L"LPT1.dmp"},
      {on_z.path(), L"CONIN$.dmp", L"CONIN$", L"CONIN$.dmp"},
      {on_z.path(), L"CONOUT$.dmp", L"CONOUT$", L"CONOUT$.dmp"},
      {on_z.path(), L"con.txt.dmp", L"con.txt", L"con.txt.dmp"},
      {on_z.path(), L"X.dmp", L"X", L"x.DMP"},
      {on_z.path(), L"X.dmp", L"X", L"X.dmp."},
      {on_z.path(), L"LongerName.dmp", L"X", kShortName},
      {deep.path(), L"a.dmp", L"a", L"a.dmp"},
      {Long(deep.path()), L"a.dmp", L"a", L"a.dmp"},
      {on_z / L"sub\\..\\dumps", L"a.dmp", L"a", L"a.dmp"},
      {L"T:", L"a.dmp", L"a", L"a.dmp"},
      {L"T:dumps", L"a.dmp", L"a", L"a.dmp"}};
  for (const auto& [given, dump, stem, named] : cases) {
    const fs::path folder = FullPath(given);
    std::error_code there_already;
    fs::create_directories(folder, there_already);
    RemoveFilesIn(folder);
    WriteDump(Long(folder / dump), 64);
    std::wstring dump_file = named;
    if (named == kShortName) {
      dump_file.resize(MAX_PATH);
      dump_file.resize(GetShortPathNameW(Long(folder / dump).c_str(), dump_file.data(), MAX_PATH));
      dump_file = fs::path(dump_file).filename().native();
    }
    SCOPED_TRACE(Utf8(given / dump_file));
    WriteTestFile(Long(folder / (stem + L".crash.json")),
                  CrashMetadataJson(Utf8(dump_file), "agent-id"));
    TestIngestServer server(kIngestPort);
    ExpectRun({"--scan", given}, 0, Line("upload succeeded: ", given / dump_file));
    ASSERT_EQ(server.Uploads().size(), 1u);
    EXPECT_EQ(server.Uploads()[0].Find("dump_id")->content, "agent-id");
    EXPECT_EQ(Files(folder), std::vector<std::wstring>{});
  }
}

}  // namespace
