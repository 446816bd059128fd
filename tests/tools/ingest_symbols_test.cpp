#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "ingest_test_server.h"
#include "support/child_process.h"
#include "support/temp_folder.h"
#include "symbol_key.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path kOrtivo = FENNICK_FIXTURES_DIR "/plain/Ortivo.exe";
const fs::path kTinyPdb = FENNICK_PDB_FIXTURE_DIR "/tiny.pdb";

constexpr char kNoBuildId[] = "link with -Wl,--build-id so stripped releases can be named";

std::string KeyOf(const fs::path& file) { return fennick_symbols::IdentifySymbolFile(file).key; }

httplib::Result PostSymbols(const IngestProcess& server,
                            const httplib::MultipartFormDataItems& form,
                            httplib::Headers headers = {{"X-Api-Key", kIngestApiKey}}) {
  return server.Client().Post("/api/symbols", headers, form);
}

// Every regular file below `folder`.
std::vector<fs::path> FilesBelow(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file() && !IsIndexFile(it->path())) files.push_back(it->path());
  }
  return files;
}

unsigned ModeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

TEST(IngestSymbols, StoresUploadedFilesPrivatelyUnderTheirKeys) {
  TempFolder temp;
  const fs::path symbols = temp / "store" / "symbols";
  const mode_t umask_before = umask(0);
  IngestProcess server(temp / "store");
  umask(umask_before);
  // The file name of a part is its last component, whatever path a client sends.
  const httplib::Result res = PostSymbols(
      server, {{"pdb", ReadTestFile(kTinyPdb), "C:\\build\\tiny.pdb", ""},
               {"exe", ReadTestFile(kOrtivo), "out/Ortivo.exe", "application/octet-stream"}});
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
  const std::string pdb_key = KeyOf(kTinyPdb);
  const std::string exe_key = KeyOf(kOrtivo);
  // A stripped MinGW executable serves for unwinding alone, and has no debug identifier.
  EXPECT_EQ(json::parse(res->body, nullptr, false),
            json::parse(R"({"code":0,"stored":[{"file":"tiny.pdb","key":")" + pdb_key +
                        R"(","kind":"pdb","good_for":["names","lines"]},)"
                        R"({"file":"Ortivo.exe","key":")" + exe_key +
                        R"(","kind":"executable","good_for":["unwind"],)"
                        R"("warning":")" + kNoBuildId + R"("}]})"));
  const fs::path pdb = symbols / "tiny.pdb" / pdb_key / "tiny.pdb";
  const fs::path exe = symbols / "Ortivo.exe" / exe_key / "Ortivo.exe";
  EXPECT_EQ(FilesBelow(symbols).size(), 2u);
  EXPECT_TRUE(ReadTestFile(pdb) == ReadTestFile(kTinyPdb));
  EXPECT_TRUE(ReadTestFile(exe) == ReadTestFile(kOrtivo));
  for (const fs::path& file : {pdb, exe}) {
    EXPECT_EQ(ModeOf(file), 0600u) << file;
    for (fs::path folder = file.parent_path(); folder != temp.path();
         folder = folder.parent_path()) {
      EXPECT_EQ(ModeOf(folder), 0700u) << folder;
    }
  }
}

TEST(IngestSymbols, RefusesUploadsAndStoresNothingOfThem) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  const std::string pdb = ReadTestFile(kTinyPdb);
  const httplib::MultipartFormDataItems good = {{"pdb", pdb, "tiny.pdb", ""}};
  const httplib::Headers keyed = {{"X-Api-Key", kIngestApiKey}};
  const std::tuple<const char*, httplib::MultipartFormDataItems, httplib::Headers, int, std::string>
      cases[] = {
          {"a text file beside a PDB",
           {{"pdb", pdb, "tiny.pdb", ""}, {"notes", "symbols, honest", "notes.txt", ""}},
           keyed,
           400,
           "notes.txt: not a PE image or PDB"},
          {"a cut PDB",
           {{"pdb", pdb.substr(0, pdb.size() / 2), "tiny.pdb", ""}},
           keyed,
           400,
           "tiny.pdb: cut PDB"},
          {"a part without a file name",
           {{"pdb", pdb, "tiny.pdb", ""}, {"note", "x", "", ""}},
           keyed,
           400,
           "part note is no file"},
          {"an unsafe file name", {{"pdb", pdb, "a/..", ""}}, keyed, 400, "..: unsafe file name"},
          {"no key", good, {}, 401, ""},
          {"a wrong key", good, {{"X-Api-Key", "WRONG"}}, 401, ""},
          {"a name of another site",
           good,
           {{"X-Api-Key", kIngestApiKey}, {"Host", "symbols.example"}},
           403,
           ""},
      };
  for (const auto& [label, form, headers, status, error] : cases) {
    SCOPED_TRACE(label);
    const httplib::Result res = PostSymbols(server, form, headers);
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, status);
    json expected = {{"code", status}};
    if (!error.empty()) expected["error"] = error;
    EXPECT_EQ(json::parse(res->body, nullptr, false), expected);
  }
  EXPECT_EQ(FilesBelow(temp / "store").size(), 0u);
}

// The reply to a request that announces `content_length` bytes and sends none of them.
std::string ReplyBeforeBody(int port, const std::string& path, const std::string& content_length) {
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Api-Key: " + kIngestApiKey +
        "\r\nContent-Type: multipart/form-data; boundary=b\r\nContent-Length: " + content_length +
        "\r\n\r\n";
    send(sock, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[4096];
    for (ssize_t count; (count = recv(sock, buffer, sizeof buffer, 0)) > 0;) {
      reply.append(buffer, static_cast<size_t>(count));
    }
  }
  close(sock);
  return reply;
}

TEST(IngestSymbols, RefusesBodiesOverEachRoutesLimitBeforeReadingThem) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  const std::tuple<std::string, std::string, int> cases[] = {
      {"/api/symbols", std::to_string((uint64_t{1} << 30) + 1), 413},
      {"/api/report/crash", std::to_string(64 * 1024 * 1024 + 1), 413},
      {"/groups/G/state", std::to_string(8 * 1024 + 1), 413},
      {"/api/reports", "1", 405},
      {"/api/anything", "1", 404},
  };
  for (const auto& [path, length, status] : cases) {
    SCOPED_TRACE(path);
    const std::string reply = ReplyBeforeBody(server.port(), path, length);
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 " + std::to_string(status) + " ")) << reply;
    EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
    EXPECT_TRUE(reply.ends_with("{\"code\":" + std::to_string(status) + "}")) << reply;
  }
}

TEST(IngestSymbols, ServesWhenTheSymbolStoreCannotBeMade) {
  TempFolder temp;
  WriteTestFile(temp / "file", "a file, no folder");
  IngestProcess server(temp / "store", {"--symbols", (temp / "file" / "symbols").string()});
  const httplib::Result res =
      PostSymbols(server, {{"pdb", ReadTestFile(kTinyPdb), "tiny.pdb", ""}});
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 500) << res->body;
  EXPECT_TRUE(server.Client().Get("/api/reports"));
}

TEST(IngestSymbols, AddSymbolsStoresFilesWithoutServing) {
  TempFolder temp;
  WriteTestFile(temp / "notes.txt", "symbols, honest");
  const fs::path symbols = temp / "elsewhere";
  const ProcessOutput run =
      RunProcess(FENNICK_INGEST_EXE, {"--store", temp / "store", "--add-symbols", kTinyPdb,
                                      temp / "notes.txt", kOrtivo, "--symbols", symbols});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.standard_output, "tiny.pdb " + KeyOf(kTinyPdb) +
                                    " good for names, lines\nOrtivo.exe " + KeyOf(kOrtivo) +
                                    " good for unwind\nOrtivo.exe: warning: " + kNoBuildId +
                                    "\n");
  EXPECT_EQ(run.standard_error, (temp / "notes.txt").string() + ": not a PE image or PDB\n");
  EXPECT_TRUE(fs::exists(symbols / "tiny.pdb" / KeyOf(kTinyPdb) / "tiny.pdb"));
  EXPECT_TRUE(fs::exists(symbols / "Ortivo.exe" / KeyOf(kOrtivo) / "Ortivo.exe"));
  EXPECT_FALSE(fs::exists(temp / "store"));

  // The store's own symbol folder by default; all stored exits 0.
  const ProcessOutput all =
      RunProcess(FENNICK_INGEST_EXE, {"--store", temp / "store", "--add-symbols", kTinyPdb});
  EXPECT_EQ(all.exit_code, 0) << all.standard_error;
  EXPECT_TRUE(fs::exists(temp / "store" / "symbols" / "tiny.pdb" / KeyOf(kTinyPdb) / "tiny.pdb"));
  EXPECT_EQ(RunProcess(FENNICK_INGEST_EXE, {"--add-symbols"}).exit_code, 2);
}

// A folder gives its executables and PDBs, however deep; the build output holding DWARF is
// stored under its debug identifier too, for its stripped release.
TEST(IngestSymbols, AddSymbolsTakesFoldersAndSaysWhatEachFileIsGoodFor) {
  const fs::path unstripped = FENNICK_FIXTURES_DIR "/crasher-buildid/Ortivo.exe";
  const fs::path stripped = FENNICK_FIXTURES_DIR "/crasher-buildid/stripped/Ortivo.exe";
  TempFolder temp;
  const fs::path build = temp / "build";
  fs::create_directories(build / "a");
  fs::create_directories(build / "b" / "deep");
  fs::copy_file(unstripped, build / "a" / "Ortivo.exe");
  fs::copy_file(stripped, build / "b" / "deep" / "Ortivo.exe");
  fs::copy_file(kTinyPdb, build / "tiny.pdb");
  WriteTestFile(build / "b" / "notes.txt", "not symbols");
  const fs::path symbols = temp / "symbols";
  const ProcessOutput run =
      RunProcess(FENNICK_INGEST_EXE, {"--symbols", symbols, "--add-symbols", build});
  EXPECT_EQ(run.exit_code, 0) << run.standard_error;
  const std::string debug_key = fennick_symbols::DebugIdentifierOf(unstripped)->key;
  EXPECT_EQ(run.standard_output,
            "Ortivo.exe " + KeyOf(unstripped) + " debug " + debug_key +
                " good for unwind, names, lines\nOrtivo.exe " + KeyOf(stripped) +
                " good for unwind\ntiny.pdb " + KeyOf(kTinyPdb) + " good for names, lines\n");
  EXPECT_EQ(run.standard_error, "");
  EXPECT_EQ(FilesBelow(symbols).size(), 4u);
  EXPECT_TRUE(ReadTestFile(symbols / "Ortivo.exe" / debug_key / "Ortivo.exe") ==
              ReadTestFile(unstripped));
}

TEST(IngestSymbols, AddSymbolsFlushesFileAndFoldersBeforeItSaysSo) {
  TempFolder temp;
  const fs::path symbols = temp / "symbols";
  const fs::path trace = temp / "strace.log";
  const ProcessOutput run = RunProcess(
      "/usr/bin/env", {"ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-o", trace, "-e",
                       "trace=mkdir,openat,fsync,rename,renameat,renameat2,write",
                       FENNICK_INGEST_EXE, "--symbols", symbols, "--add-symbols", kTinyPdb});
  ASSERT_EQ(run.exit_code, 0) << run.standard_error;
  const std::string calls = ReadTestFile(trace);
  const fs::path key_folder = symbols / "tiny.pdb" / KeyOf(kTinyPdb);
  // Every folder made reaches the disk in its parent.
  for (const fs::path& folder : {symbols, symbols / "tiny.pdb", key_folder}) {
    const size_t made = calls.find("mkdir(\"" + folder.string() + "\", 0700) = 0");
    ASSERT_NE(made, std::string::npos) << folder << "\n" << calls;
    EXPECT_NE(FlushOfOpen(calls, folder.parent_path().string(), made), std::string::npos)
        << folder << "\n"
        << calls;
  }
  // The copy is flushed before it takes the file's name, and that name before the report.
  std::smatch renamed;
  ASSERT_TRUE(std::regex_search(
      calls, renamed,
      std::regex("rename\\(\"(" + key_folder.string() + "/~incoming-[0-9a-f]+)\", \"" +
                 (key_folder / "tiny.pdb").string() + "\"\\) = 0")))
      << calls;
  const size_t moved = static_cast<size_t>(renamed.position(0));
  EXPECT_LT(FlushOfOpen(calls, renamed[1]), moved) << calls;
  const size_t folder_flushed = FlushOfOpen(calls, key_folder.string(), moved);
  EXPECT_NE(folder_flushed, std::string::npos) << calls;
  EXPECT_LT(folder_flushed, calls.find("write(1, \"tiny.pdb ", moved)) << calls;
}

}  // namespace
