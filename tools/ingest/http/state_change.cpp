#include "state_change.h"

#include <nlohmann/json.hpp>
#include <random>

#include "group_page.h"

namespace fennick_ingest {
namespace {

// A fix version is an application version; the client sends none longer.
constexpr size_t kMaxFixedVersionBytes = 128;

void Refuse(httplib::Response& res, int status, const std::string& error) {
  res.status = status;
  res.set_content(nlohmann::json{{"code", status}, {"error", error}}.dump(
                      -1, ' ', false, nlohmann::json::error_handler_t::replace),
                  "application/json");
}

}  // namespace

std::string NewFormToken() {
  std::random_device random;
  std::string token;
  constexpr char kHex[] = "0123456789abcdef";
  for (int word = 0; word < 4; ++word) {
    uint32_t bits = random();
    for (int digit = 0; digit < 8; ++digit, bits >>= 4) token += kHex[bits & 0xF];
  }
  return token;
}

std::string CrossSiteRefusal(const httplib::Request& req, std::string_view scheme,
                             const std::string& token) {
  // Browsers say where a request comes from; a page of another site cannot hide it.
  const std::string fetch_site = req.get_header_value("Sec-Fetch-Site");
  if (!fetch_site.empty() && fetch_site != "same-origin") {
    return "refused: the request came from another site (Sec-Fetch-Site: " + fetch_site + ")";
  }
  if (req.has_header("Origin") &&
      req.get_header_value("Origin") !=
          std::string(scheme) + "://" + req.get_header_value("Host")) {
    return "refused: the request came from another origin";
  }
  // Tools and old browsers send neither header; the token stands alone then.
  if (req.get_param_value(kTokenField) != token) {
    return "refused: the form does not carry this server's token; reload the group's page";
  }
  return {};
}

void ChangeGroupState(ReportIndex& index, std::string_view scheme, const std::string& token,
                      const std::string& signature, const std::string& peer,
                      const httplib::Request& req, httplib::Response& res, int64_t now_ms) {
  if (const std::string refusal = CrossSiteRefusal(req, scheme, token); !refusal.empty()) {
    Refuse(res, 403, refusal);
    return;
  }
  const std::optional<GroupState> state = ParseGroupState(req.get_param_value(kStateField));
  // Regressed is what the server finds, never a decision.
  if (!state || *state == GroupState::kRegressed) {
    Refuse(res, 400, std::string(kStateField) + ": not one of open, resolved, ignored");
    return;
  }
  const std::string fixed_version = req.get_param_value(kFixedVersionField);
  if (fixed_version.size() > kMaxFixedVersionBytes) {
    Refuse(res, 400, std::string(kFixedVersionField) + ": longer than 128 bytes");
    return;
  }
  const std::optional<std::optional<GroupDetail>> group = index.Group(signature, {}, now_ms);
  if (!group || !*group) {
    Refuse(res, group ? 404 : 500,
           group ? "no report names this crash" : "the index could not read the group");
    return;
  }
  const std::string fixed = *state == GroupState::kResolved ? fixed_version : std::string();
  if (!index.SetState({signature, *state, fixed, peer, now_ms})) {
    Refuse(res, 500, "the decision could not be recorded");
    return;
  }
  res.status = 303;
  res.set_header("Location", GroupUrl(signature));
}

}  // namespace fennick_ingest
