#include "symbol_upload.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>
#include <system_error>
#include <utility>

#include "store_files.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;
using fennick_symbols::SymbolFileKind;
using fennick_symbols::SymbolStore;

// The uploaded name's last component: a client may send a whole path.
std::string BareName(std::string_view uploaded_name) {
  const size_t separator = uploaded_name.find_last_of("/\\");
  return std::string(separator == std::string_view::npos ? uploaded_name
                                                         : uploaded_name.substr(separator + 1));
}

const char* KindName(SymbolFileKind kind) {
  return kind == SymbolFileKind::kPdb ? "pdb" : "executable";
}

}  // namespace

IncomingSymbols::IncomingSymbols(const SymbolStore& store) : store_(store) {}

IncomingSymbols::~IncomingSymbols() {
  current_.reset();
  if (!staging_.empty()) {
    std::error_code ignored;
    fs::remove_all(staging_, ignored);
  }
}

void IncomingSymbols::BeginPart(const std::string& name, const std::string& file_name) {
  current_.reset();
  in_file_ = false;
  if (file_name.empty()) {
    if (bad_form_.empty()) bad_form_ = "part " + name + " is no file";
    return;
  }
  if (staging_.empty() && !store_failed_) {
    const fs::path staging = store_.root() / NewStagingName();
    if (store_.CreateRoot() && CreatePrivateFolder(staging)) {
      staging_ = staging;
    } else {
      store_failed_ = true;
    }
  }
  if (store_failed_) return;
  Part part{BareName(file_name), staging_ / std::to_string(parts_.size())};
  current_ = CreatePrivateFile(part.staged);
  if (!current_.is_valid()) store_failed_ = true;
  parts_.push_back(std::move(part));
  in_file_ = true;
}

void IncomingSymbols::AppendData(const char* data, size_t size) {
  // A chunked body announces no length to be refused by; past the limit nothing more is kept.
  received_bytes_ += size;
  if (received_bytes_ > kMaxSymbolsRequestBytes) {
    current_.reset();
    return;
  }
  if (in_file_ && current_.is_valid() && !WriteAll(current_.get(), std::string_view(data, size))) {
    store_failed_ = true;
  }
}

IncomingSymbols::Outcome IncomingSymbols::Commit() {
  // Staged files need no flush of their own: the store flushes its copies.
  current_.reset();
  if (received_bytes_ > kMaxSymbolsRequestBytes) return {413, "", {}};
  if (!bad_form_.empty()) return {400, bad_form_, {}};
  if (store_failed_) return {500, "cannot write the symbol store", {}};
  if (parts_.empty()) return {400, "no file", {}};
  for (const Part& part : parts_) {
    if (!SymbolStore::IsBareFileName(part.file_name)) {
      return {400, part.file_name + ": unsafe file name", {}};
    }
    const fennick_symbols::SymbolFileIdentity identity =
        fennick_symbols::IdentifySymbolFile(part.staged);
    if (!identity.error.empty()) return {400, part.file_name + ": " + identity.error, {}};
  }
  Outcome outcome{200, "", {}};
  for (const Part& part : parts_) {
    SymbolStore::Added added = store_.Add(part.staged, part.file_name);
    if (!added.error.empty()) {
      outcome.status = 500;
      outcome.error = part.file_name + ": " + added.error;
      break;
    }
    outcome.stored.push_back(std::move(added));
  }
  return outcome;
}

std::string SymbolsReplyJson(const IncomingSymbols::Outcome& outcome) {
  nlohmann::ordered_json reply;
  if (outcome.status == 200) {
    reply["code"] = 0;
    reply["stored"] = nlohmann::ordered_json::array();
    for (const SymbolStore::Added& added : outcome.stored) {
      reply["stored"].push_back(
          {{"file", added.file_name}, {"key", added.key}, {"kind", KindName(added.kind)}});
    }
  } else {
    reply["code"] = outcome.status;
    if (!outcome.error.empty()) reply["error"] = outcome.error;
  }
  // File names arrive as any bytes; those that are no UTF-8 are shown replaced.
  return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

int AddSymbolFiles(const SymbolStore& store, const std::vector<fs::path>& files,
                   const SymbolsAdded& on_added) {
  std::vector<SymbolStore::Added> stored;
  for (const fs::path& file : files) {
    SymbolStore::Added added = store.Add(file, file.filename().string());
    if (added.error.empty()) {
      std::printf("%s %s\n", added.file_name.c_str(), added.key.c_str());
      stored.push_back(std::move(added));
    } else {
      std::fprintf(stderr, "%s: %s\n", file.c_str(), added.error.c_str());
    }
  }
  std::fflush(stdout);
  if (!stored.empty()) on_added(stored);
  return stored.size() == files.size() ? 0 : 1;
}

}  // namespace fennick_ingest
