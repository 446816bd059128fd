#include "support/test_ingest_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

const ReceivedPart* ReceivedUpload::Find(const std::string& name) const {
  auto it = std::find_if(parts.begin(), parts.end(),
                         [&](const ReceivedPart& part) { return part.name == name; });
  return it == parts.end() ? nullptr : &*it;
}

TestIngestServer::TestIngestServer(int port) {
  server_.Post("/api/report/crash",
               [this](const httplib::Request& request, httplib::Response& response) {
                 Handle(request, response);
               });
  port_ = port == 0 ? server_.bind_to_any_port("127.0.0.1")
                    : (server_.bind_to_port("127.0.0.1", port) ? port : -1);
  EXPECT_GT(port_, 0) << "cannot bind the test ingest server";
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (port_ > 0 && !server_.is_running())
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestIngestServer::~TestIngestServer() {
  server_.stop();
  thread_.join();
}

std::string TestIngestServer::url() const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/api/report/crash";
}

void TestIngestServer::SetReply(int status, std::string body) {
  std::lock_guard lock(mutex_);
  reply_status_ = status;
  reply_body_ = std::move(body);
}

void TestIngestServer::SetOnUpload(std::function<void(const ReceivedUpload&)> hook) {
  std::lock_guard lock(mutex_);
  on_upload_ = std::move(hook);
}

std::vector<ReceivedUpload> TestIngestServer::Uploads() const {
  std::lock_guard lock(mutex_);
  return uploads_;
}

void TestIngestServer::Handle(const httplib::Request& request, httplib::Response& response) {
  ReceivedUpload upload;
  for (const auto& [name, value] : request.headers) upload.headers[name] = value;
  for (const auto& [name, part] : request.files) {
    upload.parts.push_back({part.name, part.filename, part.content_type, part.content});
  }
  std::lock_guard lock(mutex_);
  if (on_upload_) on_upload_(upload);
  uploads_.push_back(upload);
  response.status = reply_status_;
  response.set_content(reply_body_, "application/json");
}
