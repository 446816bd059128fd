#include "worker_channel.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <nlohmann/json.hpp>

namespace fennick_ingest {
namespace {

constexpr size_t kHeaderBytes = 5;
constexpr size_t kReadBytes = 64 * 1024;
// More than one descriptor never comes with a message; room for a few keeps a stray one
// from being cut (and so leaked) by the kernel.
constexpr size_t kMaxDescriptors = 4;

std::array<char, kHeaderBytes> Header(WorkerMessage kind, size_t length) {
  std::array<char, kHeaderBytes> header{static_cast<char>(kind)};
  for (size_t i = 0; i < 4; ++i) header[1 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  return header;
}

size_t PayloadLength(const std::string& buffer) {
  size_t length = 0;
  for (size_t i = 0; i < 4; ++i) {
    length |= size_t{static_cast<unsigned char>(buffer[1 + i])} << (8 * i);
  }
  return length;
}

// Sends `bytes` whole, the descriptor (when valid) with the first of them.
bool SendAll(FileHandle socket, std::string_view bytes, FileHandle descriptor) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  while (!bytes.empty()) {
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (descriptor != kInvalidFileHandle) {
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      cmsghdr* header = CMSG_FIRSTHDR(&message);
      header->cmsg_level = SOL_SOCKET;
      header->cmsg_type = SCM_RIGHTS;
      header->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    }
    const ssize_t sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    descriptor = kInvalidFileHandle;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

}  // namespace

std::string JobSettingsJson(const JobSettings& settings) {
  return nlohmann::json{{"symbols_generation", settings.symbols_generation},
                        {"cpu_seconds", settings.cpu_seconds},
                        {"set_aside", settings.set_aside}}
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<JobSettings> ParseJobSettings(std::string_view text) {
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  const auto generation = json.find("symbols_generation");
  const auto cpu = json.find("cpu_seconds");
  const auto set_aside = json.find("set_aside");
  if (generation == json.end() || !generation->is_number_unsigned() || cpu == json.end() ||
      !cpu->is_number_integer() || set_aside == json.end() || !set_aside->is_array()) {
    return std::nullopt;
  }
  JobSettings settings{generation->get<uint64_t>(), cpu->get<int>(), {}};
  for (const nlohmann::json& id : *set_aside) {
    if (!id.is_string()) return std::nullopt;
    settings.set_aside.insert(id.get<std::string>());
  }
  return settings;
}

bool SendPacket(FileHandle socket, WorkerMessage kind, std::string_view payload,
                FileHandle descriptor) {
  if (payload.size() > UINT32_MAX) return false;
  const std::array<char, kHeaderBytes> header = Header(kind, payload.size());
  return SendAll(socket, std::string_view(header.data(), header.size()), descriptor) &&
         SendAll(socket, payload, kInvalidFileHandle);
}

PacketReader::Read PacketReader::ReadFrom(FileHandle socket) {
  char bytes[kReadBytes];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxDescriptors)];
  iovec data{bytes, sizeof bytes};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t received;
  do {
    received = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
  } while (received < 0 && errno == EINTR);
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); received >= 0 && header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int descriptor;
      std::memcpy(&descriptor, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
      descriptors_.emplace_back(descriptor);
    }
  }
  if (received <= 0) return Read::kEnd;
  buffer_.append(bytes, static_cast<size_t>(received));
  if (buffer_.size() >= kHeaderBytes && PayloadLength(buffer_) > max_payload_) {
    return Read::kTooLong;
  }
  return Read::kSome;
}

std::optional<WorkerPacket> PacketReader::Next() {
  if (buffer_.size() < kHeaderBytes) return std::nullopt;
  const size_t length = PayloadLength(buffer_);
  if (length > max_payload_ || buffer_.size() - kHeaderBytes < length) return std::nullopt;
  WorkerPacket packet;
  packet.kind = static_cast<WorkerMessage>(buffer_[0]);
  packet.payload = buffer_.substr(kHeaderBytes, length);
  buffer_.erase(0, kHeaderBytes + length);
  if (packet.kind == WorkerMessage::kJob && !descriptors_.empty()) {
    packet.descriptor = std::move(descriptors_.front());
    descriptors_.erase(descriptors_.begin());
  }
  return packet;
}

std::optional<WorkerPacket> ReceivePacket(FileHandle socket, PacketReader& reader) {
  for (;;) {
    if (std::optional<WorkerPacket> packet = reader.Next()) return packet;
    if (reader.ReadFrom(socket) != PacketReader::Read::kSome) return std::nullopt;
  }
}

}  // namespace fennick_ingest
