#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "group_page.h"
#include "inbox_parts.h"
#include "ingest_test_server.h"
#include "store_layout.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr size_t kFiftyMiB = 50 * 1024 * 1024;

struct IngestServerTest : ::testing::Test {
  void Post(const httplib::MultipartFormDataItems& form, int status,
            const char* key = kIngestApiKey, httplib::Headers headers = {}) {
    PostReport(server_, form, status, key, std::move(headers));
  }
  httplib::Result Get(const std::string& path) { return server_.Client().Get(path); }
  json ReportList() { return json::parse(Get("/api/reports")->body, nullptr, false); }

  TempFolder temp_;
  fs::path store_ = temp_ / "store";
  IngestProcess server_{store_};
};

TEST_F(IngestServerTest, StoresDumpsAndReportsInsideTheirFolders) {
  // Every 4-byte group holds its own offset, so a lost, doubled or misplaced chunk shows.
  std::string dump(kFiftyMiB, '\0');
  for (size_t i = 0; i < kFiftyMiB; ++i) dump[i] = static_cast<char>(i >> (i % 4 * 8));
  Post(ReportForm("D-1", dump, "crash.dmp"), 200, kIngestApiKey, {{"Expect", "100-continue"}});
  EXPECT_TRUE(ReadTestFile(store_ / "D-1" / "crash.dmp") == dump);
  json report = json::parse(ReadTestFile(store_ / "D-1" / "report.json"), nullptr, false);
  EXPECT_EQ(report["fields"], json({{"dump_id", "D-1"}, {"uin", "42"}}));
  EXPECT_EQ(report["dump_bytes"], kFiftyMiB);

  Post(ReportForm("D-2", "MDMP", "../../evil.dmp"), 200);
  EXPECT_EQ(ReadTestFile(store_ / "D-2" / "evil.dmp"), "MDMP");
  // The name through which report.json is rewritten is not the dump's to take.
  Post(ReportForm("D-3", "MDMP", "report.json.tmp"), 200);
  EXPECT_EQ(ReadTestFile(store_ / "D-3" / "dump.dmp"), "MDMP");
}

TEST_F(IngestServerTest, RefusesBadRequestsAndStoresNothing) {
  httplib::MultipartFormDataItems twice = ReportForm("T");
  twice.push_back({"dump_id", "T", "", ""});
  httplib::MultipartFormDataItems wordy = ReportForm("W");
  wordy.push_back({"client_ts", std::string(2 * 1024 * 1024, '1'), "", ""});
  const std::tuple<const char*, const char*, httplib::MultipartFormDataItems, int> cases[] = {
      {"missing key", nullptr, ReportForm("K"), 401},
      {"wrong key", "WRONG", ReportForm("K"), 401},
      {"no file part", kIngestApiKey, {{"dump_id", "A", "", ""}}, 400},
      {"no dump_id", kIngestApiKey, {{"file", "MDMP", "a.dmp", ""}}, 400},
      {"empty dump_id", kIngestApiKey, ReportForm(""), 400},
      {"65-byte dump_id", kIngestApiKey, ReportForm(std::string(65, 'a')), 400},
      {"dump_id twice", kIngestApiKey, twice, 400},
      {"dump over 50 MiB", kIngestApiKey, ReportForm("BIG", std::string(kFiftyMiB + 1, 'x')), 413},
      {"text parts over 2 MiB", kIngestApiKey, wordy, 413},
  };
  for (const auto& [label, key, form, status] : cases) {
    SCOPED_TRACE(label);
    Post(form, status, key);
  }
  EXPECT_TRUE(StoreEntries(store_).empty());
}

TEST_F(IngestServerTest, AcceptsEveryReportTheClientCanSend) {
  httplib::MultipartFormDataItems wide;
  for (char c : std::string("12345"))
    wide.push_back({std::string("extra") + c, std::string(60000, c), "", ""});
  const std::tuple<const char*, std::string, httplib::MultipartFormDataItems, std::string> cases[] =
      {{"braces", "{0B5C9E2A-6D41-4F7E-A3C8-19D2E7F60B45}", {}, "a.dmp"},
       {"space", "crash 17", {}, "a.dmp"},
       {"Cyrillic", "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82-17", {}, "a.dmp"},
       {"slash", "a/b", {}, "a.dmp"},
       {"dot", ".", {}, "a.dmp"},
       {"dot dot", "..", {}, "a.dmp"},
       {"the symbol store's folder", "symbols", {}, "a.dmp"},
       {"percent sign", "%41", {}, "a.dmp"},
       {"what %41 would decode to", "A", {}, "a.dmp"},
       {"64 bytes", std::string(64, '~'), {}, "a.dmp"},
       {"70,000-byte client_ts",
        "TS-LONG",
        {{"client_ts", std::string(70000, '7'), "", ""}},
        "a.dmp"},
       // Every byte of it escaped in report.json: the longest record a client can cause.
       {"1 MiB client_ts of control characters",
        "TS-CONTROL",
        {{"client_ts", std::string(1024 * 1024, '\x01'), "", ""}},
        "a.dmp"},
       {"five extra 60 KB fields", "WIDE", wide, "a.dmp"},
       {"file name not UTF-8", "LATIN-1", {}, "caf\xE9.dmp"}};
  for (const auto& [label, dump_id, extra, file_name] : cases) {
    SCOPED_TRACE(label);
    httplib::MultipartFormDataItems form =
        ReportForm(dump_id, std::string("MDMP ") + label, file_name);
    form.insert(form.end(), extra.begin(), extra.end());
    Post(form, 200);
  }
  const json list = ReportList();
  ASSERT_EQ(list.size(), std::size(cases));
  for (const auto& [label, dump_id, extra, file_name] : cases) {
    SCOPED_TRACE(label);
    auto entry = std::find_if(list.begin(), list.end(),
                              [&](const json& e) { return e["dump_id"] == dump_id; });
    ASSERT_NE(entry, list.end());
    const httplib::Result dump = Get((*entry)["dump_url"].get<std::string>());
    ASSERT_TRUE(dump);
    EXPECT_EQ(dump->body, std::string("MDMP ") + label);
    const json record = json::parse(
        ReadTestFile(store_ / fennick_ingest::ReportFolderName(dump_id) / "report.json"), nullptr,
        false);
    for (const httplib::MultipartFormData& field : extra) {
      EXPECT_EQ(record["fields"][field.name], field.content) << field.name;
    }
  }
}

TEST_F(IngestServerTest, InboxListsReportsNewestFirstAndServesOnlyStoredDumps) {
  Post(ReportForm("OLD", "MDMP-old", "old.dmp"), 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Post(ReportForm("NEW", "MDMP-new"), 200);
  const json list = ReportList();
  ASSERT_EQ(list.size(), 2u) << list;
  EXPECT_EQ(list[0]["dump_id"], "NEW");
  EXPECT_EQ(list[1]["dump_id"], "OLD");
  EXPECT_EQ(list[1]["dump_file"], "old.dmp");
  EXPECT_EQ(list[1]["dump_bytes"], 8);
  EXPECT_EQ(Get(list[1]["dump_url"].get<std::string>())->body, "MDMP-old");
  const std::string page = Get("/")->body;
  EXPECT_LT(page.find(">NEW<"), page.find(">OLD<"));

  // A report.json that names a file outside its folder, names that leave the store or are
  // no folder name the store gives, and a report that was never stored are all not found.
  WriteTestFile(store_ / "EVIL" / "report.json", R"({"dump_file":"../OLD/old.dmp"})");
  for (const char* path :
       {"/reports/EVIL/dump", "/reports/%2e%2e/dump", "/reports/..%2fOLD/dump",
        "/reports/OLD%2f..%2fOLD/dump", "/reports/%254F%254C%2544/dump", "/reports/MISSING/dump"}) {
    EXPECT_EQ(Get(path)->status, 404) << path;
  }
}

TEST(IngestServerLinks, ServesAndAnalysesNothingThroughAPlantedLinkOrForeignName) {
  TempFolder temp;
  const fs::path store = temp / "store";
  const std::string record = R"({"dump_file":"x.dmp","dump_bytes":6,"received_ms":1})";
  const fs::path elsewhere = temp / "elsewhere";
  WriteTestFile(elsewhere / "x.dmp", "SECRET");
  WriteTestFile(elsewhere / "report.json", record);
  // A report folder as an earlier version of the store wrote it, as the control.
  WriteTestFile(store / "PLANTED" / "x.dmp", "MDMP-p");
  WriteTestFile(store / "PLANTED" / "report.json", record);
  WriteTestFile(store / "LINKED-DUMP" / "report.json", record);
  fs::create_symlink(elsewhere / "x.dmp", store / "LINKED-DUMP" / "x.dmp");
  WriteTestFile(store / "LINKED-RECORD" / "x.dmp", "MDMP-r");
  fs::create_symlink(elsewhere / "report.json", store / "LINKED-RECORD" / "report.json");
  fs::create_directory_symlink(elsewhere, store / "LINKED-FOLDER");
  // A name the store never gives: it writes A as A, so this folder is no report of A.
  WriteTestFile(store / "%41" / "x.dmp", "MDMP-a");
  WriteTestFile(store / "%41" / "report.json", record);
  IngestProcess server(store);
  AwaitAnalyses(server);

  const json list = json::parse(server.Client().Get("/api/reports")->body, nullptr, false);
  ASSERT_EQ(list.size(), 2u) << list;  // a linked dump is found only when it is read
  EXPECT_EQ(std::set<std::string>({list[0]["dump_id"], list[1]["dump_id"]}),
            std::set<std::string>({"PLANTED", "LINKED-DUMP"}));
  // Analysed at start as a dump that cannot be opened, and the record behind the link
  // left as it was.
  for (const json& report : list) {
    EXPECT_EQ(report["analysis_error"], report["dump_id"] == "PLANTED"
                                            ? "unreadable: shorter than a minidump header"
                                            : "unreadable: cannot open the file");
  }
  EXPECT_EQ(ReadTestFile(elsewhere / "report.json"), record);
  EXPECT_EQ(server.Client().Get("/reports/PLANTED/dump")->body, "MDMP-p");
  for (const auto& [path, status] :
       std::vector<std::pair<std::string, int>>{{"/reports/LINKED-DUMP/dump", 404},
                                                {"/reports/LINKED-RECORD/dump", 404},
                                                {"/reports/LINKED-FOLDER/dump", 404},
                                                {"/reports/LINKED-DUMP", 200},
                                                {"/reports/LINKED-RECORD", 404},
                                                {"/reports/LINKED-FOLDER", 404}}) {
    const httplib::Result res = server.Client().Get(path);
    EXPECT_EQ(res->status, status) << path;
    EXPECT_EQ(res->body.find("SECRET"), std::string::npos) << path;
  }
}

TEST_F(IngestServerTest, ReplacingAReportNeverHidesIt) {
  Post(ReportForm("SAME", "MDMP-0"), 200);
  std::atomic<bool> done = false;
  std::thread uploader([&] {
    for (int i = 1; i <= 40; ++i) Post(ReportForm("SAME", "MDMP-" + std::to_string(i)), 200);
    done = true;
  });
  int reads = 0;
  int misses = 0;
  httplib::Client client = server_.Client();
  while (!done) {
    const httplib::Result list = client.Get("/api/reports");
    const httplib::Result dump = client.Get("/reports/SAME/dump");
    ++reads;
    if (!list || list->body.find("\"SAME\"") == std::string::npos || !dump || dump->status != 200 ||
        !dump->body.starts_with("MDMP-")) {
      ++misses;
    }
  }
  uploader.join();
  EXPECT_EQ(misses, 0) << "of " << reads << " reads";
}

TEST(IngestServerDurability, AnswersOnlyOnceTheReportIsOnTheDiskAndPrivate) {
  TempFolder temp;
  const fs::path store = temp / "store";
  const fs::path trace = temp / "strace.log";
  // With no umask the modes below are the server's own choice.
  const mode_t umask_before = umask(0);
  IngestProcess server(
      store, {},
      {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f", "-o", trace.string(),
       "-e", "trace=mkdir,openat,fsync,renameat2,sendto,chmod,fchmod,fchmodat"});
  umask(umask_before);
  PostReport(server, ReportForm("D", "MDMP", "a.dmp"), 200);
  // strace holds off signals while it runs a program; the program, whose process id opens
  // every line of the trace, is stopped instead, and strace ends with it.
  kill(std::stoi(ReadTestFile(trace)), SIGTERM);
  server.Stop();

  for (const auto& [path, mode] :
       std::vector<std::pair<fs::path, unsigned>>{{store, 0700},
                                                  {store / "D", 0700},
                                                  {store / "D" / "a.dmp", 0600},
                                                  {store / "D" / "report.json", 0600},
                                                  {store / "~index.sqlite", 0600}}) {
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0) << path;
    EXPECT_EQ(status.st_mode & 07777, mode) << path;
  }
  const std::string calls = ReadTestFile(trace);
  EXPECT_EQ(calls.find("chmod("), std::string::npos) << calls;
  std::smatch staged;
  ASSERT_TRUE(std::regex_search(
      calls, staged,
      std::regex("mkdir\\(\"(" + store.string() + "/~incoming-[0-9a-f]+)\", 0700\\)")))
      << calls;
  const std::string staging = staged[1];
  EXPECT_NE(
      calls.find("\"" + staging + "/a.dmp\", O_WRONLY|O_CREAT|O_EXCL|O_NOFOLLOW|O_CLOEXEC, 0600"),
      std::string::npos)
      << calls;
  const size_t moved = calls.find("renameat2(AT_FDCWD, \"" + staging + "\", AT_FDCWD, \"" +
                                  (store / "D").string() + "\", RENAME_NOREPLACE) = 0");
  const size_t store_flushed = FlushOfOpen(calls, store.string(), moved);
  const size_t answered = calls.find("\"HTTP/1.1 200 OK", moved);
  // The dump, report.json and the staging folder's entries reach the disk before the
  // folder takes its name; the store's entry for that name before the answer.
  for (const std::string& flushed : {staging + "/a.dmp", staging + "/report.json", staging}) {
    EXPECT_LT(FlushOfOpen(calls, flushed), moved) << flushed << "\n" << calls;
  }
  ASSERT_NE(moved, std::string::npos) << calls;
  EXPECT_LT(store_flushed, answered) << calls;
  EXPECT_NE(answered, std::string::npos) << calls;
  // The store made at start: its own entry reaches the disk too, or none of its reports would.
  const size_t store_made = calls.find("mkdir(\"" + store.string() + "\", 0700) = 0");
  ASSERT_NE(store_made, std::string::npos) << calls;
  EXPECT_LT(FlushOfOpen(calls, temp.path().string(), store_made), moved) << calls;
}

TEST_F(IngestServerTest, InboxRendersInARealBrowser) {
  httplib::MultipartFormDataItems plain = ReportForm("PLAIN-1");
  plain.push_back({"client_ts", "soon", "", ""});
  Post(plain, 200);
  const std::string hostile = "<script>alert(1)</script><b>bold</b>";
  const std::string escaped = "&lt;script&gt;alert(1)&lt;/script&gt;&lt;b&gt;bold&lt;/b&gt;";
  Post({{"file", ReadTestFile(FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.dmp"),
         "a\"b<c>&'.dmp", ""},
        {"dump_id", "HTML-2", "", ""},
        {"computer_name", hostile, "", ""},
        {"client_ts", "1796119200000", "", ""}},
       200);
  const httplib::Result page = Get("/");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("download=\"a&quot;b&lt;c&gt;&amp;&#39;.dmp\""), std::string::npos);
  // Should text from a report ever slip past escaping, the browser still runs no script.
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"),
            std::string::npos);
  ProcessOutput browser = DumpDomInChromium(
      "http://127.0.0.1:" + std::to_string(server_.port()) + "/", temp_ / "chromium");
  ASSERT_EQ(browser.exit_code, 0) << browser.standard_error;
  const std::string& dom = browser.standard_output;
  for (const std::string& shown : std::vector<std::string>{
           "<a href=\"/reports/PLAIN-1\">PLAIN-1</a>", "<a href=\"/reports/HTML-2\">HTML-2</a>",
           // The crash of HTML-2, in its row and as a group.
           "EXCEPTION_ACCESS_VIOLATION_WRITE</a></span>", "Ortivo.exe+0x156B</span>",
           "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x156B</a>",
           // The computer name is text in its cell, not markup that ran or rendered.
           "\">" + escaped + "</td>"}) {
    EXPECT_NE(dom.find(shown), std::string::npos) << shown << "\n" << dom;
  }
  EXPECT_EQ(dom.find("<script>alert"), std::string::npos) << dom;
  EXPECT_EQ(dom.find("<b>bold"), std::string::npos) << dom;

  // The reports' own pages: labelled facts, the dump's numbers named, the crash time read, the
  // faulting module marked (and no other), escaped the same way, the dump and the crash's
  // group linked.
  const std::string cell = "</th><td class=\"code\">";
  const std::string group_url = fennick_ingest::EscapeHtml(
      fennick_ingest::GroupUrl("EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x156B"));
  const std::pair<std::string, std::vector<std::string>> report_pages[] = {
      {"/reports/HTML-2",
       {"<tr class=\"faulting\"><td class=\"code\">Ortivo.exe <span class=\"badge\">crashed "
        "here</span></td>",
        ">ntdll.dll</td>", ">kernel32.dll</td>", ">Modules (8)</h2>",
        "<th>Processor architecture" + cell + "x64 (9)</td>",
        "<th>Product type" + cell + "workstation (1)</td>",
        "<th>Platform" + cell + "Windows NT (2)</td>",
        "<th>Exception" + cell + "EXCEPTION_ACCESS_VIOLATION_WRITE (0xC0000005)</td>",
        "<th>Crash time (UTC)" + cell + "2026-12-01 10:00:00 UTC</td>",
        "<th>Computer" + cell + escaped + "</td>", "href=\"/reports/HTML-2/dump\"",
        "href=\"" + group_url + "\""}},
      // A crash time that is no count of milliseconds is shown as it came.
      {"/reports/PLAIN-1", {"<th>Crash time (UTC)" + cell + "soon</td>"}},
  };
  const std::string faulting = "<tr class=\"faulting\">";
  for (const auto& [path, shown] : report_pages) {
    const httplib::Result report = Get(path);
    ASSERT_TRUE(report);
    for (const std::string& text : shown)
      EXPECT_NE(report->body.find(text), std::string::npos) << path << " " << text;
    EXPECT_EQ(report->body.find(faulting), report->body.rfind(faulting)) << path;
    EXPECT_EQ(report->body.find(hostile), std::string::npos) << path;
  }
}

TEST_F(IngestServerTest, ExitsWithZeroOnSigterm) { EXPECT_EQ(server_.Stop(), 0); }

TEST(IngestServerCommandLine, HelpNamesEveryOption) {
  ProcessOutput help = RunProcess(FENNICK_INGEST_EXE, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char* option :
       {"--address", "--port", "--store", "--open-inbox", "--allow-host", "--symbols",
        "--add-symbols", "--tls-cert", "--tls-key", "--analysis-workers", "--analysis-cpu-seconds",
        "--analysis-seconds", "--analysis-worker", "--help"})
    EXPECT_NE(help.standard_output.find(option), std::string::npos) << option;
}

TEST(IngestServerCommandLine, RefusesAnalysisLimitsOutOfRangeAndAWorkerWithoutItsSymbols) {
  const std::vector<std::vector<std::filesystem::path>> lines = {
      {"--analysis-workers", "0"},
      {"--analysis-workers", "65"},
      {"--analysis-cpu-seconds", "0"},
      {"--analysis-cpu-seconds", "3601"},
      {"--analysis-seconds", "0"},
      {"--analysis-seconds", "3601"},
      {"--analysis-worker"},
      {"--analysis-worker", "--symbols", "/proc/none/symbols", "--add-symbols", "x.pdb"},
  };
  for (std::vector<std::filesystem::path> line : lines) {
    // A store that cannot be made: a line taken for good ends at once all the same.
    line.insert(line.begin(), {"--store", "/proc/none/store"});
    EXPECT_EQ(RunProcess(FENNICK_INGEST_EXE, line).exit_code, 2) << line[2] << " " << line.back();
  }
}

}  // namespace
