#include <gtest/gtest.h>

#include <regex>

#include "host/device_id.h"
#include "host/host_facts.h"
#include "support/environment.h"
#include "support/temp_folder.h"

namespace {

TEST(HostFactsTest, AppVersionIsThePeTimeStampElseUnknown) {
  TempFolder folder;
  const std::filesystem::path exe = folder / "Ortivo.exe";
  // A PE image cut down to what the version fallback reads: "MZ", at 60 the offset of the PE
  // header (64, little-endian), there "PE\0\0" and 8 bytes on the link time stamp 0x0000ABCD.
  std::string image = "MZ" + std::string(86, 'x');
  image.replace(60, 16, "\x40\0\0\0PE\0\0xxxx\xCD\xAB\0\0", 16);
  EXPECT_EQ(GetAppVersionText(exe), "unknown");
  WriteTestFile(exe, image);
  EXPECT_EQ(GetAppVersionText(exe), "pe-0000ABCD");
  // Text, a cut DOS header, PE header offsets past the end and negative, a wrong signature,
  // a file header cut 10 bytes after "PE\0\0".
  for (const std::string& bytes : {std::string(100, 't'), image.substr(0, 63),
                                   std::string(image).replace(60, 4, "\0\0\1\0", 4),
                                   std::string(image).replace(60, 4, "\xF0\xFF\xFF\xFF", 4),
                                   std::string(image).replace(64, 2, "PX"), image.substr(0, 78)}) {
    WriteTestFile(exe, bytes);
    EXPECT_EQ(GetAppVersionText(exe), "unknown") << testing::PrintToString(bytes);
  }
  // A real image without a version resource, linked with the time stamp 0x6553F100.
  EXPECT_EQ(GetAppVersionText(FENNICK_FIXTURES_DIR "/plain/Ortivo.exe"), "pe-6553F100");
}

TEST(DeviceIdTest, KeepsAUsableFirstLineAndReplacesAnythingElseWithANewGuid) {
  const std::regex guid_form("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}");
  EXPECT_TRUE(std::regex_match(NewGuidText(), guid_form));
  TempFolder data;
  const ScopedEnvironment environment(FolderEnvironment(data.path()));
  const std::filesystem::path id_file = data / "Ortivo" / "Fennick" / "device_id.txt";
  const std::string first = GetOrCreateDeviceId();
  EXPECT_TRUE(std::regex_match(first, guid_form)) << first;
  EXPECT_EQ(ReadTestFile(id_file), first);
  EXPECT_EQ(GetOrCreateDeviceId(), first);
  // File content, then the first line kept as it stands (empty: replaced by a new GUID).
  const std::string id36(36, 'a'), id64(64, '7');
  const std::pair<std::string, std::string> cases[] = {{"abc", "abc"}, {id36 + "\r\n", id36 + "\r"},
                                                       {id64, id64},   {id64 + "7", ""},
                                                       {"", ""},       {"\nabc", ""}};
  for (const auto& [content, kept] : cases) {
    WriteTestFile(id_file, content);
    const std::string id = GetOrCreateDeviceId();
    EXPECT_TRUE(kept.empty() ? std::regex_match(id, guid_form) : id == kept) << id;
    EXPECT_EQ(ReadTestFile(id_file), kept.empty() ? id : content);
  }
}

TEST(DeviceIdTest, NoUserDataFolderMeansNoIdAndNothingCreated) {
  TempFolder folder;
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  {
    const ScopedEnvironment environment(NoUserDataEnvironment());
    EXPECT_EQ(DeviceIdFilePath(), std::filesystem::path());
    EXPECT_EQ(GetOrCreateDeviceId(), "");
  }
  std::filesystem::current_path(saved);
  EXPECT_TRUE(std::filesystem::is_empty(folder.path()));
}

}  // namespace
