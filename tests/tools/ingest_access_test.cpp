#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "inbox_access.h"
#include "ingest_test_server.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

namespace {

TEST(InboxAccessTest, OnlyLoopbackClientsNamingThisServerMayRead) {
  const fennick_ingest::InboxAccess closed(false, "10.1.2.3", {"fennick.test", "::2"});
  const fennick_ingest::InboxAccess open(true, "10.1.2.3", {});
  const std::tuple<const fennick_ingest::InboxAccess&, const char*, const char*, bool> cases[] = {
      {closed, "127.0.0.1", "127.0.0.1:5001", true},
      {closed, "127.8.9.10", "localhost", true},
      {closed, "::1", "[::1]:5001", true},
      {closed, "::ffff:127.0.0.1", "LocalHost:5001", true},
      {closed, "127.0.0.1", "10.1.2.3:5001", true},  // the listening address
      {closed, "127.0.0.1", "Fennick.Test:8080", true},
      {closed, "127.0.0.1", "[::2]", true},
      {closed, "127.0.0.1", "attacker.example:5001", false},
      {closed, "127.0.0.1", "localhost.attacker.example", false},
      {closed, "127.0.0.1", "127.0.0.1.attacker.example:5001", false},
      {closed, "127.0.0.1", "", false},
      {closed, "127.0.0.1", "localhost:", false},
      {closed, "127.0.0.1", "localhost:x", false},
      {closed, "127.0.0.1", "[::1", false},
      {closed, "10.0.0.7", "127.0.0.1:5001", false},
      {closed, "::ffff:10.0.0.7", "localhost", false},
      {closed, "fe80::1", "localhost", false},
      {closed, "", "localhost", false},
      {open, "10.0.0.7", "attacker.example", true},
  };
  for (const auto& [access, peer, host, allowed] : cases) {
    EXPECT_EQ(access.Allows(peer, host), allowed) << peer << " " << host;
  }
}

TEST(IngestInboxAccess, RefusesInboxRequestsUnderAForeignName) {
  TempFolder temp;
  IngestProcess server(temp / "store", {"--allow-host", "fennick.test", "--allow-host", "inbox"});
  // Uploads carry the key and are not held to the name.
  PostReport(server, ReportForm("R"), 200, kIngestApiKey, {{"Host", "attacker.example:5001"}});
  const std::string port = ":" + std::to_string(server.port());
  for (const auto& [host, status] :
       std::vector<std::pair<std::string, int>>{{"attacker.example" + port, 403},
                                                {"127.0.0.1" + port, 200},
                                                {"fennick.test", 200},
                                                {"INBOX" + port, 200}}) {
    for (const char* path : {"/", "/api/reports", "/api/groups", "/reports/R", "/reports/R/dump"}) {
      const httplib::Result res = server.Client().Get(path, {{"Host", host}});
      ASSERT_TRUE(res) << host << path;
      EXPECT_EQ(res->status, status) << host << path;
      if (status == 403) {
        EXPECT_EQ(res->body, "{\"code\":403}") << host << path;
      }
    }
  }
}

// A client off loopback needs an address outside 127.0.0.0/8 and ::1 that reaches the
// server. The test makes a network namespace of its own and gives its loopback device
// 192.0.2.1 (an address for documentation), so it runs alike inside any namespace or none.
// Every request names the server 127.0.0.1, so only the client's address decides.
constexpr char kOffLoopbackScript[] = R"sh(
set -eu
ingest=$1 store=$2
ip link set lo up
off_loopback=192.0.2.1
ip addr add "$off_loopback/32" dev lo
status() {  # status <source address>
  curl --noproxy '*' -s -o /dev/null -w '%{http_code}' --interface "$1" \
       -H 'Host: 127.0.0.1:5001' "http://$off_loopback:5001/api/reports"
}
for options in "" --open-inbox; do
  "$ingest" --address 0.0.0.0 --port 5001 --store "$store" $options 2>/dev/null &
  until curl --noproxy '*' -s -o /dev/null http://127.0.0.1:5001/; do sleep 0.05; done
  echo "${options:-closed} from 127.0.0.1: $(status 127.0.0.1)"
  echo "${options:-closed} from $off_loopback: $(status "$off_loopback")"
  kill $! && wait $! || true
done
)sh";

TEST(IngestInboxAccess, RefusesAClientOffLoopbackUnlessTheInboxIsOpen) {
  TempFolder temp;
  // root makes the namespace itself; anyone else through a user namespace.
  const ProcessOutput run = RunProcess(
      "/usr/bin/unshare", {geteuid() == 0 ? "-n" : "-rn", "/bin/bash", "-c", kOffLoopbackScript,
                           "off-loopback", FENNICK_INGEST_EXE, (temp / "store").string()});
  ASSERT_EQ(run.exit_code, 0) << "cannot make a network namespace to test in:\n"
                              << run.standard_error;
  EXPECT_EQ(run.standard_output,
            "closed from 127.0.0.1: 200\n"
            "closed from 192.0.2.1: 403\n"
            "--open-inbox from 127.0.0.1: 200\n"
            "--open-inbox from 192.0.2.1: 200\n");
}

}  // namespace
