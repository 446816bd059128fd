#ifndef FENNICK_TESTS_SUPPORT_TEST_INGEST_SERVER_H_
#define FENNICK_TESTS_SUPPORT_TEST_INGEST_SERVER_H_

#include <httplib.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One form part as the server received it.
struct ReceivedPart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string content;
};

struct ReceivedUpload {
  std::map<std::string, std::string> headers;
  std::vector<ReceivedPart> parts;  // ordered by name, not by body position
  const ReceivedPart* Find(const std::string& name) const;
};

// An in-process ingest server on 127.0.0.1 with a programmable reply, recording uploads.
class TestIngestServer {
 public:
  // port 0 picks a free port.
  explicit TestIngestServer(int port = 0);
  ~TestIngestServer();

  int port() const { return port_; }
  std::string url() const;

  void SetReply(int status, std::string body);
  // Runs inside the request handler, before the reply (for example to delete a file).
  void SetOnUpload(std::function<void(const ReceivedUpload&)> hook);
  std::vector<ReceivedUpload> Uploads() const;

 private:
  void Handle(const httplib::Request& request, httplib::Response& response);

  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
  mutable std::mutex mutex_;
  int reply_status_ = 200;
  std::string reply_body_ = "{\"code\":0}";
  std::function<void(const ReceivedUpload&)> on_upload_;
  std::vector<ReceivedUpload> uploads_;
};

#endif  // FENNICK_TESTS_SUPPORT_TEST_INGEST_SERVER_H_
