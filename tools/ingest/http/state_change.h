#ifndef FENNICK_TOOLS_INGEST_HTTP_STATE_CHANGE_H_
#define FENNICK_TOOLS_INGEST_HTTP_STATE_CHANGE_H_

#include <httplib.h>

#include <string>
#include <string_view>

#include "report_index.h"

// A developer's decision about a crash group, posted from the group's page. Any web page
// can make a browser post to 127.0.0.1, so a change must prove it comes from the inbox
// itself: the browser's own word that the request is same-origin (Origin, Sec-Fetch-Site),
// and the server's token, which only its own pages carry.
namespace fennick_ingest {

// A token for this run of the server: 128 random bits as hex.
std::string NewFormToken();

// Why `req` may not change state, or empty when it may: a request another site made (its
// Origin other than `scheme`://Host, the server's own), or one without `token` in its form.
std::string CrossSiteRefusal(const httplib::Request& req, std::string_view scheme,
                             const std::string& token);

// Serves POST /groups/<signature>/state: records the form's decision for `signature`, made
// by `peer` (the client's address), and sends the browser back to the group's page (303);
// 400 for a malformed form, 403 for a refused one, 404 for a group no report names.
// `scheme` is the server's ("http", "https").
void ChangeGroupState(ReportIndex& index, std::string_view scheme, const std::string& token,
                      const std::string& signature, const std::string& peer,
                      const httplib::Request& req, httplib::Response& res, int64_t now_ms);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_HTTP_STATE_CHANGE_H_
