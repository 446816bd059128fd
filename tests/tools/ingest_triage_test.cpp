#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ingest_test_server.h"
#include "minidump_analysis.h"
#include "report_filter.h"
#include "report_index.h"
#include "store_layout.h"
#include "support/temp_folder.h"

// Triage on a planted store whose answers are known: five crashes that rise, stay flat,
// flood from one machine, were fixed in a version and are new in the newest version.
namespace {

namespace fs = std::filesystem;
using fennick_ingest::kDayMs;
using nlohmann::json;

// The signature the real dump fixture's crash gets, so that an upload joins that group.
const std::string kFixed = "EXCEPTION_ACCESS_VIOLATION_WRITE Ortivo.exe+0x156B";
const fs::path kRealDump = FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_write.dmp";
// The other real dump, another crash.
const std::string kRead = "EXCEPTION_ACCESS_VIOLATION_READ Ortivo.exe+0x1565";
const fs::path kReadDump = FENNICK_SOURCE_DIR "/tests/fixtures/dumps/null_read.dmp";

// One planted crash: its reports per day (days ago, count), cycling through `versions`
// and `devices` machines.
struct PlantedCrash {
  std::string signature;
  std::vector<std::pair<int, int>> days;
  std::vector<std::string> versions;
  int devices;
  std::string os;
};

const std::vector<PlantedCrash> kCrashes = {
    {"FLOOD Ortivo.exe!Flood",
     {{25, 50}, {24, 50}, {23, 50}, {22, 50}},
     {"3.3.0.7"},
     1,
     "Windows 10"},
    {"FLAT Ortivo.exe!Flat", {}, {"10.0.0.1", "3.10.0.1", "3.3.0.7"}, 40, "Windows 11"},
    {"RISING Ortivo.exe!RisingFunc",
     {{4, 7}, {3, 11}, {2, 33}, {1, 39}, {0, 36}},
     {"3.10.0.1"},
     60,
     "Windows 11"},
    {kFixed,
     {{26, 4}, {25, 4}, {24, 4}, {23, 4}, {22, 4}, {21, 4}, {20, 4}},
     {"3.3.0.7"},
     10,
     "Windows 10"},
    {"NEWVER Ortivo.exe!NewInTen", {}, {"10.0.0.1"}, 21, "Windows 11"},
};

int64_t TodayStart() {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  return now - now % kDayMs;
}

void Plant(const fs::path& store, const std::string& dump_id, int64_t crash_ms, int64_t received_ms,
           const json& fields, const json& analysis) {
  json record = {{"fields", fields},
                 {"dump_file", "d.dmp"},
                 {"dump_bytes", 4},
                 {"received_utc", fennick_ingest::UtcText(received_ms)},
                 {"received_ms", received_ms},
                 {"analysis", analysis}};
  record["fields"]["dump_id"] = dump_id;
  record["fields"]["client_ts"] = std::to_string(crash_ms);
  const fs::path folder = store / fennick_ingest::ReportFolderName(dump_id);
  WriteTestFile(folder / "d.dmp", "MDMP");
  WriteTestFile(folder / "report.json", record.dump());
}

// Plants every crash of kCrashes and three dumps that name none; returns the reports
// planted per (signature, version).
std::map<std::pair<std::string, std::string>, int> PlantStore(const fs::path& store) {
  std::vector<PlantedCrash> crashes = kCrashes;
  for (int day = 27; day >= 0; --day) crashes[1].days.push_back({day, 5});
  for (int day = 20; day >= 0; --day) crashes[4].days.push_back({day, 1});
  std::map<std::pair<std::string, std::string>, int> planted;
  const int64_t today = TodayStart();
  int serial = 0;
  for (const PlantedCrash& crash : crashes) {
    for (const auto& [days_ago, count] : crash.days) {
      for (int i = 0; i < count; ++i, ++serial) {
        const std::string version = crash.versions[serial % crash.versions.size()];
        const std::string device =
            crash.signature.substr(0, 4) + "-" + std::to_string(serial % crash.devices);
        const int64_t crash_ms = today - days_ago * kDayMs + serial * 10;
        // The oldest report of NEWVER arrived two days after its crash (a machine that was
        // off); its crash time still counts.
        const int64_t received_ms =
            crash_ms + (crash.signature.starts_with("NEWVER") && days_ago == 20 ? 2 * kDayMs : 500);
        Plant(store, "R" + std::to_string(serial), crash_ms, received_ms,
              {{"app_version", version},
               {"device_id", device},
               {"computer_name", device},
               {"os_version", crash.os}},
              {{"analysis_version", fennick_minidump::kAnalysisVersion},
               {"crash",
                {{"signature", crash.signature},
                 {"exception_name", "EXCEPTION_ACCESS_VIOLATION"},
                 {"access", "write"},
                 {"top_function", crash.signature.substr(crash.signature.find('!') + 1)}}}});
        ++planted[{crash.signature, version}];
      }
    }
  }
  for (int i = 0; i < 3; ++i) {
    Plant(store, "BAD" + std::to_string(i), today - kDayMs, today - kDayMs + 1,
          {{"app_version", "3.3.0.7"}},
          {{"analysis_version", fennick_minidump::kAnalysisVersion},
           {"analysis_error", "not a minidump"}});
  }
  return planted;
}

// A crash report as the client uploads it: the dump, and those of `fields` that have a value.
// Every report these tests read back is posted through here.
void PostCrash(const IngestProcess& server, const std::string& dump,
               const std::vector<std::pair<std::string, std::string>>& fields) {
  httplib::MultipartFormDataItems form = {{"file", dump, "d.dmp", ""}};
  for (const auto& [name, value] : fields) {
    if (!value.empty()) form.push_back({name, value, "", ""});
  }
  PostReport(server, form, 200);
}

// The answer to GET `path` once the analyses of every report posted so far are in.
json JsonAt(const IngestProcess& server, const std::string& path) {
  AwaitAnalyses(server);
  const httplib::Result res = server.Client().Get(path);
  return res ? json::parse(res->body, nullptr, false) : json();
}

class IngestTriageTest : public ::testing::Test {
 protected:
  IngestTriageTest() : planted_(PlantStore(temp_ / "store")) { Start(); }

  void Start() { server_ = std::make_unique<IngestProcess>(temp_ / "store"); }

  httplib::Result Get(const std::string& path) { return server_->Client().Get(path); }
  json GetJson(const std::string& path) { return JsonAt(*server_, path); }
  std::string Total(const std::string& path) {
    const httplib::Result res = Get(path);
    return res ? res->get_header_value("X-Total-Count") : "no answer";
  }
  std::vector<std::string> Signatures(const std::string& path) {
    std::vector<std::string> signatures;
    for (const json& group : GetJson(path)) signatures.push_back(group["signature"]);
    return signatures;
  }
  std::string Origin() const { return "http://127.0.0.1:" + std::to_string(server_->port()); }
  std::string GroupPath(const std::string& signature) const {
    return "/groups/" + fennick_ingest::PercentEncoded(signature);
  }
  // The token of the state form on the group's page.
  std::string FormToken(const std::string& signature) {
    std::smatch found;
    const std::string page = Get(GroupPath(signature))->body;
    return std::regex_search(page, found, std::regex("name=\"token\" value=\"([0-9a-f]+)\""))
               ? found[1].str()
               : std::string("no token on the page");
  }
  int PostState(const std::string& signature, const httplib::Params& form,
                const httplib::Headers& headers) {
    const httplib::Result res =
        server_->Client().Post(GroupPath(signature) + "/state", headers, form);
    return res ? res->status : 0;
  }
  json State(const std::string& signature) {
    const json group = GetJson("/api" + GroupPath(signature));
    return {group["state"], group["fixed_version"]};
  }

  TempFolder temp_;
  std::map<std::pair<std::string, std::string>, int> planted_;
  std::unique_ptr<IngestProcess> server_;
};

TEST_F(IngestTriageTest, RanksMarksAndCountsEachCrash) {
  const std::vector<std::string> by_reports = {kCrashes[0].signature, kCrashes[1].signature,
                                               kCrashes[2].signature, kCrashes[3].signature,
                                               kCrashes[4].signature};
  EXPECT_EQ(Signatures("/api/groups"), by_reports);
  EXPECT_EQ(Signatures("/api/groups?sort=machines"),
            (std::vector<std::string>{by_reports[2], by_reports[1], by_reports[4], by_reports[3],
                                      by_reports[0]}));
  EXPECT_EQ(Signatures("/api/groups?sort=first_seen"),
            (std::vector<std::string>{by_reports[2], by_reports[4], by_reports[0], by_reports[3],
                                      by_reports[1]}));
  for (const char* path : {"/api/groups", "/api/groups?app_version=3.3.0.7"}) {
    EXPECT_EQ(Get(path)->get_header_value("X-Undecodable-Count"), "3") << path;
  }

  // signature: reports, machines, new, rising
  const std::map<std::string, std::tuple<int, int, bool, bool>> expected = {
      {by_reports[0], {200, 1, false, false}},
      {by_reports[1], {140, 40, false, false}},
      {by_reports[2], {126, 60, true, true}},  // new by days, and rising
      {by_reports[3], {28, 10, false, false}},
      {by_reports[4], {21, 21, true, false}}};  // new in the newest version
  for (const json& group : GetJson("/api/groups")) {
    EXPECT_EQ(std::make_tuple(group["count"].get<int>(), group["devices"].get<int>(),
                              group["new"].get<bool>(), group["rising"].get<bool>()),
              expected.at(group["signature"]))
        << group["signature"];
  }

  // A filter that keeps every report of some groups counts them from the reports
  // themselves, and must come to what the whole list says of them.
  std::map<std::string, json> unfiltered;
  for (const json& group : GetJson("/api/groups")) unfiltered[group["signature"]] = group;
  const json windows_11 = GetJson("/api/groups?os=Windows%2011");
  ASSERT_EQ(windows_11.size(), 3u) << windows_11;
  for (const json& group : windows_11) EXPECT_EQ(group, unfiltered[group["signature"]]);
  EXPECT_EQ(GetJson("/api" + GroupPath(by_reports[2]) + "?os=Windows%2011"),
            GetJson("/api" + GroupPath(by_reports[2])));

  const json rising = GetJson("/api" + GroupPath(by_reports[2]));
  ASSERT_EQ(rising["per_day"].size(), 30u) << rising;
  std::vector<int> last_week;
  for (size_t day = 23; day < 30; ++day) last_week.push_back(rising["per_day"][day]["count"]);
  EXPECT_EQ(last_week, (std::vector<int>{0, 0, 7, 11, 33, 39, 36}));
  EXPECT_EQ(rising["per_day"][29]["date"], fennick_ingest::UtcText(TodayStart()).substr(0, 10));
  EXPECT_EQ(rising["per_day"][0]["date"],
            fennick_ingest::UtcText(TodayStart() - 29 * kDayMs).substr(0, 10));

  // Versions in numeric order, with their counts.
  const json flat = GetJson("/api" + GroupPath(by_reports[1]));
  json versions = json::array();
  for (const char* version : {"3.3.0.7", "3.10.0.1", "10.0.0.1"}) {
    versions.push_back({{"version", version}, {"count", planted_[{by_reports[1], version}]}});
  }
  EXPECT_EQ(flat["versions"], versions);
  EXPECT_EQ(flat["first_version"], "3.3.0.7");
  EXPECT_EQ(flat["last_version"], "10.0.0.1");

  // First seen by crash time: the report that arrived two days late still counts from its
  // crash.
  const json newver = GetJson("/api" + GroupPath(by_reports[4]));
  EXPECT_EQ(newver["first_crash_utc"].get<std::string>().substr(0, 10),
            fennick_ingest::UtcText(TodayStart() - 20 * kDayMs).substr(0, 10));
}

TEST_F(IngestTriageTest, FiltersTheSameInTheInboxAndTheApiAndRefusesWhatItDoesNotKnow) {
  const int old_version = 200 + 28 + planted_[{kCrashes[1].signature, "3.3.0.7"}] + 3;
  const std::string three_days_ago = fennick_ingest::UtcText(TodayStart() - 3 * kDayMs);
  const std::vector<std::pair<std::string, int>> totals = {
      {"", 518},
      {"app_version=3.3.0.7", old_version},
      {"computer_name=FLOO-0", 200},
      {"device_id=RISI-7", 2},
      {"os=Windows%2010", 228},
      {"since=" + three_days_ago.substr(0, 10), 4 * 5 + 11 + 33 + 39 + 36 + 4 + 3},
      {"until=" + fennick_ingest::UtcText(TodayStart() - 26 * kDayMs).substr(0, 10), 4 + 5 * 2},
      {"q=risingFUNC", 126},  // ignoring case
      {"undecodable=1", 3},
      {"signature=" + fennick_ingest::PercentEncoded(kFixed) + "&app_version=3.3.0.7", 28}};
  for (const auto& [query, total] : totals) {
    EXPECT_EQ(Total("/api/reports?" + query), std::to_string(total)) << query;
  }
  // The inbox lists the groups of the filtered reports alone.
  const std::string inbox = Get("/?app_version=10.0.0.1")->body;
  EXPECT_NE(inbox.find(GroupPath(kCrashes[4].signature)), std::string::npos);
  EXPECT_EQ(inbox.find(GroupPath(kCrashes[0].signature)), std::string::npos);

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"/api/reports?bogus=1", "unknown parameter: bogus"},
      {"/api/groups?since=yesterday", "since: not an ISO 8601 date or UTC time"},
      {"/api/reports?until=2026-02-30", "until: not an ISO 8601 date or UTC time"},
      {"/api/groups?state=closed", "state: not one of open, resolved, ignored, regressed"},
      {"/api/groups?sort=size", "sort: not one of reports, machines, last_seen, first_seen"},
      {"/?page=0", "page: not a whole number from 1 on"},
      {"/api/reports?q=ab%00cd", "q: holds a NUL character"}};
  for (const auto& [path, error] : refused) {
    const httplib::Result res = Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 400) << path;
    EXPECT_EQ(json::parse(res->body, nullptr, false), (json{{"code", 400}, {"error", error}}))
        << path;
  }
  for (const auto& [method, path, allowed] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"POST", "/api/reports", "GET"},
           {"DELETE", GroupPath(kFixed), "GET"},
           {"GET", GroupPath(kFixed) + "/state", "POST"},
           {"GET", "/api/report/crash", "POST"}}) {
    const httplib::Result res = server_->Client().send([&] {
      httplib::Request req;
      req.method = method;
      req.path = path;
      return req;
    }());
    ASSERT_TRUE(res) << method << " " << path;
    EXPECT_EQ(res->status, 405) << method << " " << path;
    EXPECT_EQ(res->get_header_value("Allow"), allowed) << method << " " << path;
  }
}

TEST_F(IngestTriageTest, AResolvedCrashThatComesBackInALaterVersionIsRegressedForGood) {
  const std::string token = FormToken(kFixed);
  const httplib::Params resolve = {
      {"state", "resolved"}, {"fixed_version", "3.10.0.1"}, {"token", token}};
  // Another site's page, even one that somehow had the token, and a form without it.
  EXPECT_EQ(PostState(kFixed, resolve, {{"Origin", Origin() + "1"}}), 403);
  EXPECT_EQ(PostState(kFixed, resolve, {{"Sec-Fetch-Site", "same-site"}}), 403);
  EXPECT_EQ(PostState(kFixed, {{"state", "resolved"}}, {{"Origin", Origin()}}), 403);
  EXPECT_EQ(State(kFixed), (json{"open", nullptr}));
  EXPECT_EQ(PostState(kFixed, resolve, {{"Origin", Origin()}, {"Sec-Fetch-Site", "same-origin"}}),
            303);
  EXPECT_EQ(State(kFixed), (json{"resolved", "3.10.0.1"}));
  EXPECT_EQ(Total("/api/reports?state=resolved"), "28");

  // A crash from before the fix leaves it resolved, across a restart.
  const std::string dump = ReadTestFile(kRealDump);
  const auto upload = [&](const std::string& dump_id, const std::string& version) {
    PostCrash(*server_, dump, {{"dump_id", dump_id}, {"app_version", version}});
  };
  upload("OLD-BUILD", "3.3.0.7");
  EXPECT_EQ(State(kFixed), (json{"resolved", "3.10.0.1"}));
  server_->Stop();
  // A folder removed while the server was down leaves the index too.
  fs::remove_all(temp_ / "store" / "R0");
  Start();
  EXPECT_NE(server_->Log().find(", 0 of them indexed now"), std::string::npos) << server_->Log();
  EXPECT_EQ(Total("/api/reports"), "518");
  EXPECT_EQ(State(kFixed), (json{"resolved", "3.10.0.1"}));
  upload("NEW-BUILD", "10.0.0.1");
  EXPECT_EQ(State(kFixed), (json{"regressed", "3.10.0.1"}));
  EXPECT_NE(Get(GroupPath(kFixed))->body.find("egressed"), std::string::npos);

  // Still regressed after a restart that rebuilds the index from the folders.
  server_->Stop();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((temp_ / "store" / fennick_ingest::kIndexFileName).c_str(), &db),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE meta SET value = 'old' WHERE key = 'layout'", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  Start();
  EXPECT_NE(server_->Log().find("519 of them indexed now"), std::string::npos) << server_->Log();
  EXPECT_EQ(State(kFixed), (json{"regressed", "3.10.0.1"}));
}

TEST_F(IngestTriageTest, PagesRenderInABrowserAndAnotherSitesFormChangesNothing) {
  const std::string token = FormToken(kFixed);
  // A page of another site that posts the state form as soon as it loads, token and all.
  httplib::Server other_site;
  other_site.Get("/", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content("<form method=\"post\" action=\"" + Origin() + GroupPath(kFixed) +
                        "/state\"><input name=\"state\" value=\"ignored\"><input "
                        "name=\"token\" value=\"" +
                        token + "\"></form><script>document.forms[0].submit()</script>",
                    "text/html");
  });
  const int other_port = other_site.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { other_site.listen_after_bind(); });
  const ProcessOutput attack = DumpDomInChromium(
      "http://127.0.0.1:" + std::to_string(other_port) + "/", temp_ / "chromium-attack");
  other_site.stop();
  serving.join();
  EXPECT_EQ(attack.exit_code, 0) << attack.standard_error;
  // The browser did post, and was refused: its request is logged, whatever the answer.
  const auto give_up = std::chrono::steady_clock::now() + kIngestPatience;
  while (server_->Log().find("/state ") == std::string::npos &&
         std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(server_->Log().find("/state 403"), std::string::npos) << server_->Log();
  EXPECT_EQ(State(kFixed), (json{"open", nullptr}));

  const ProcessOutput inbox = DumpDomInChromium(Origin() + "/", temp_ / "chromium");
  ASSERT_EQ(inbox.exit_code, 0) << inbox.standard_error;
  for (const std::string& shown :
       {std::string("class=\"marker rising\""), std::string("class=\"marker new\""),
        std::string("<svg"), std::string("href=\"/?undecodable=1")}) {
    EXPECT_NE(inbox.standard_output.find(shown), std::string::npos) << shown;
  }
  const ProcessOutput group =
      DumpDomInChromium(Origin() + GroupPath(kCrashes[2].signature), temp_ / "chromium");
  ASSERT_EQ(group.exit_code, 0) << group.standard_error;
  for (const std::string& shown : {std::string("<svg"), std::string("<title>"),
                                   std::string("name=\"token\""), std::string("3.10.0.1")}) {
    EXPECT_NE(group.standard_output.find(shown), std::string::npos) << shown;
  }
}

// Two crashes, neither in the last week: one in a single numbered version, the other in
// "unknown" or none.
TEST(IngestVersionsTest, TwoOldCrashesAreNotNewSortByLastSeenAndListNoEmptyVersionOrOs) {
  TempFolder temp;
  IngestProcess server(temp / "store");
  const std::string os = "Windows 10.0.19045";
  const auto post = [&](const fs::path& dump, const std::string& dump_id,
                        const std::string& version, const std::string& os_version, int days_ago) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    PostCrash(server, ReadTestFile(dump),
              {{"dump_id", dump_id},
               {"app_version", version},
               {"os_version", os_version},
               {"client_ts", std::to_string(now - days_ago * kDayMs)}});
  };
  const auto marked_new = [&](const std::string& path) {
    std::map<std::string, bool> marked;
    for (const json& group : JsonAt(server, path)) marked[group["signature"]] = group["new"];
    return marked;
  };
  // The whole groups, and groups counted from the reports a filter keeps.
  const std::string kLists[] = {"/api/groups?sort=last_seen",
                                "/api/groups?sort=last_seen&since=2000-01-01"};

  post(kRealDump, "W-1", "3.2.1.45", os, 30);
  post(kRealDump, "W-2", "3.2.1.45", os, 1);
  // The one version is the newest, but no crash came first in it after an older one.
  for (const std::string& list : kLists) {
    EXPECT_EQ(marked_new(list), (std::map<std::string, bool>{{kFixed, false}})) << list;
  }

  post(kReadDump, "R-1", "unknown", os, 12);
  post(kReadDump, "R-2", "unknown", os, 11);
  post(kReadDump, "R-3", "", "", 10);
  for (const std::string& list : kLists) {
    // "unknown" is no newer version than 3.2.1.45.
    EXPECT_EQ(marked_new(list), (std::map<std::string, bool>{{kFixed, false}, {kRead, false}}))
        << list;
    // The crash of a day ago first, though the other has more reports, first crashed later
    // and arrived last.
    std::vector<std::string> signatures;
    for (const json& group : JsonAt(server, list)) signatures.push_back(group["signature"]);
    EXPECT_EQ(signatures, (std::vector<std::string>{kFixed, kRead})) << list;
  }
  // The report without a version or an OS is in no group's list of them, filtered or not.
  for (const char* filter : {"", "?since=2000-01-01"}) {
    const json group =
        JsonAt(server, "/api/groups/" + fennick_ingest::PercentEncoded(kRead) + filter);
    EXPECT_EQ(group["app_versions"], json::array({"unknown"})) << filter;
    EXPECT_EQ(group["versions"], json::array({{{"version", "unknown"}, {"count", 2}}})) << filter;
    EXPECT_EQ(group["operating_systems"], json::array({{{"os", os}, {"count", 2}}})) << filter;
  }
}

TEST(ReportIndexTest, AnIndexThatFailsAnswersNothingRatherThanAnEmptyList) {
  TempFolder temp;
  fs::create_directory(temp / "store");
  fennick_ingest::ReportIndex index(temp / "store");
  ASSERT_TRUE(index.ok()) << index.error();
  ASSERT_TRUE(index.Synchronize());
  ASSERT_TRUE(index.Reports({}, 0, 10));
  // Another program takes the table away under the server.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((temp / "store" / fennick_ingest::kIndexFileName).c_str(), &db),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "DROP TABLE reports", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_FALSE(index.Reports({}, 0, 10));
  EXPECT_FALSE(index.Groups({}, 0, 10, 0));
  EXPECT_FALSE(index.Group("A", {}, 0));
}

}  // namespace
