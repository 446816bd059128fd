#ifndef FENNICK_TESTS_SUPPORT_TEST_INGEST_SERVER_H_
#define FENNICK_TESTS_SUPPORT_TEST_INGEST_SERVER_H_

#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One form part as it arrived.
struct ReceivedPart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string content;
};

struct ReceivedUpload {
  std::string method;
  std::string path;
  httplib::Headers headers;
  std::vector<ReceivedPart> parts;  // in body order

  const ReceivedPart* Find(const std::string& name) const;
  std::vector<std::string> PartNames() const;
};

// An in-process ingest server on 127.0.0.1 that answers every POST with a programmable
// reply and records each upload as it arrived. Any GET (a followed redirect) gets 404 and
// is recorded with no parts.
class TestIngestServer {
 public:
  // port 0 picks a free port.
  explicit TestIngestServer(int port = 0);
  ~TestIngestServer();
  TestIngestServer(const TestIngestServer&) = delete;
  TestIngestServer& operator=(const TestIngestServer&) = delete;

  int port() const { return port_; }
  std::string url() const;

  void SetReply(int status, std::string body, httplib::Headers headers = {});
  // Runs inside the request handler, before the reply (for example to delete a file).
  void SetOnUpload(std::function<void(const ReceivedUpload&)> hook);
  // Uploads for which `refuse` returns true are answered 503 instead of the set reply.
  void SetRefusal(std::function<bool(const ReceivedUpload&)> refuse);
  std::vector<ReceivedUpload> Uploads() const;

 private:
  void Record(ReceivedUpload upload, httplib::Response& response);

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  mutable std::mutex mutex_;
  int reply_status_ = 200;
  std::string reply_body_ = "{\"code\":0}";
  httplib::Headers reply_headers_;
  std::function<void(const ReceivedUpload&)> on_upload_;
  std::function<bool(const ReceivedUpload&)> refuse_;
  std::vector<ReceivedUpload> uploads_;
};

#endif  // FENNICK_TESTS_SUPPORT_TEST_INGEST_SERVER_H_
