#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "host/device_id.h"
#include "host/host_facts.h"
#include "support/environment.h"
#include "support/temp_folder.h"

TEST(HostFactsWinTest, AppVersionIsTheFileVersionOfTheResource) {
  // File version 3.1.2.45, product version 2.0.0.0.
  EXPECT_EQ(GetAppVersionText(FENNICK_FIXTURES_DIR "/versioned/Ortivo.exe"), "3.1.2.45");
}

TEST(HostFactsWinTest, OsVersionIsWhatRtlGetVersionReports) {
  // The test prefix reports Windows 10.
  using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  const auto get_version = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(get_version, nullptr);
  RTL_OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_EQ(get_version(&info), 0);
  EXPECT_EQ(info.dwMajorVersion, 10u);
  EXPECT_EQ(GetOsVersionText(), "Windows 10." + std::to_string(info.dwMinorVersion) + "." +
                                    std::to_string(info.dwBuildNumber));
}

TEST(DeviceIdWinTest, LivesUnderLocalAppDataAndStaysTheSame) {
  TempFolder local;
  const ScopedEnvironment environment(FolderEnvironment(local.path()));
  EXPECT_EQ(DeviceIdFilePath(), local.path().native() + L"\\Ortivo\\Fennick\\device_id.txt");
  const std::string id = GetOrCreateDeviceId();
  EXPECT_EQ(ReadTestFile(local / "Ortivo" / "Fennick" / "device_id.txt"), id);
  EXPECT_EQ(GetOrCreateDeviceId(), id);
}
