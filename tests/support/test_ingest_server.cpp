#include "support/test_ingest_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

const ReceivedPart* ReceivedUpload::Find(const std::string& name) const {
  auto it = std::find_if(parts.begin(), parts.end(),
                         [&](const ReceivedPart& part) { return part.name == name; });
  return it == parts.end() ? nullptr : &*it;
}

std::vector<std::string> ReceivedUpload::PartNames() const {
  std::vector<std::string> names;
  for (const ReceivedPart& part : parts) names.push_back(part.name);
  return names;
}

TestIngestServer::TestIngestServer(int port) {
  server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader& reader) {
    ReceivedUpload upload{request.method, request.path, request.headers, {}};
    reader(
        [&](const httplib::MultipartFormData& header) {
          upload.parts.push_back({header.name, header.filename, header.content_type, ""});
          return true;
        },
        [&](const char* data, size_t size) {
          upload.parts.back().content.append(data, size);
          return true;
        });
    Record(std::move(upload), response);
  });
  server_.Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Record({request.method, request.path, request.headers, {}}, response);
    response.status = 404;
  });
  // Tests bind 5001 one after another; a connection of an earlier server lingering in
  // TIME_WAIT must not make the next bind fail.
  server_.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
  });
  // A client starved on a loaded machine is still heard out; the limits under test are the
  // client's own.
  server_.set_read_timeout(std::chrono::seconds(120));
  server_.set_write_timeout(std::chrono::seconds(120));
  port_ = port == 0 ? server_.bind_to_any_port("127.0.0.1")
                    : (server_.bind_to_port("127.0.0.1", port) ? port : -1);
  EXPECT_GT(port_, 0) << "cannot bind the test ingest server";
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (port_ > 0 && !server_.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TestIngestServer::~TestIngestServer() {
  server_.stop();
  thread_.join();
}

std::string TestIngestServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/api/report/crash";
}

void TestIngestServer::SetReply(int status, std::string body, httplib::Headers headers) {
  std::lock_guard lock(mutex_);
  reply_status_ = status;
  reply_body_ = std::move(body);
  reply_headers_ = std::move(headers);
}

void TestIngestServer::SetOnUpload(std::function<void(const ReceivedUpload&)> hook) {
  std::lock_guard lock(mutex_);
  on_upload_ = std::move(hook);
}

void TestIngestServer::SetRefusal(std::function<bool(const ReceivedUpload&)> refuse) {
  std::lock_guard lock(mutex_);
  refuse_ = std::move(refuse);
}

std::vector<ReceivedUpload> TestIngestServer::Uploads() const {
  std::lock_guard lock(mutex_);
  return uploads_;
}

void TestIngestServer::Record(ReceivedUpload upload, httplib::Response& response) {
  std::lock_guard lock(mutex_);
  if (on_upload_) on_upload_(upload);
  const bool refused = refuse_ && refuse_(upload);
  uploads_.push_back(std::move(upload));
  response.status = refused ? 503 : reply_status_;
  response.headers = reply_headers_;
  response.set_content(reply_body_, "application/json");
}
