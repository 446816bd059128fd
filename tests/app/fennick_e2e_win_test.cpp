// The Windows program: its resources, and Windows paths and names end to end.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/fennick_test.h"
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

}  // namespace
