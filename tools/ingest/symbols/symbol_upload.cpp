#include "symbol_upload.h"

#include <algorithm>
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

// The files named, a folder's executables and PDBs in place of the folder, in name order.
std::vector<fs::path> FilesToAdd(const std::vector<fs::path>& named) {
  std::vector<fs::path> files;
  for (const fs::path& path : named) {
    std::error_code error;
    if (!fs::is_directory(path, error)) {
      files.push_back(path);
      continue;
    }
    std::vector<fs::path> found;
    for (fs::recursive_directory_iterator it(path, error), end; !error && it != end;
         it.increment(error)) {
      std::error_code ignored;
      if (it->is_regular_file(ignored) &&
          fennick_symbols::IdentifySymbolFile(it->path()).error.empty()) {
        found.push_back(it->path());
      }
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  return files;
}

std::string Joined(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
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
      nlohmann::ordered_json file = {{"file", added.file_name},
                                     {"key", added.key},
                                     {"kind", KindName(added.kind)},
                                     {"good_for", GoodFor(added)}};
      if (!added.debug_key.empty()) file["debug_key"] = added.debug_key;
      if (const std::string warning = SymbolsWarning(added); !warning.empty()) {
        file["warning"] = warning;
      }
      reply["stored"].push_back(std::move(file));
    }
  } else {
    reply["code"] = outcome.status;
    if (!outcome.error.empty()) reply["error"] = outcome.error;
  }
  // File names arrive as any bytes; those that are no UTF-8 are shown replaced.
  return reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::vector<std::string> GoodFor(const SymbolStore::Added& added) {
  std::vector<std::string> uses;
  if (added.uses.unwind) uses.push_back("unwind");
  if (added.uses.names) uses.push_back("names");
  if (added.uses.lines) uses.push_back("lines");
  return uses;
}

std::string SymbolsWarning(const SymbolStore::Added& added) {
  // MinGW's linker writes no debug identifier unless asked; MSVC's and lld's always do.
  if (added.kind != SymbolFileKind::kExecutable || added.has_debug_identifier) return "";
  return "link with -Wl,--build-id so stripped releases can be named";
}

int AddSymbolFiles(const SymbolStore& store, const std::vector<fs::path>& named,
                   const SymbolsAdded& on_added) {
  const std::vector<fs::path> files = FilesToAdd(named);
  std::vector<SymbolStore::Added> stored;
  for (const fs::path& file : files) {
    SymbolStore::Added added = store.Add(file, file.filename().string());
    if (added.error.empty()) {
      const std::string debug = added.debug_key.empty() ? "" : " debug " + added.debug_key;
      const std::vector<std::string> uses = GoodFor(added);
      std::printf("%s %s%s good for %s\n", added.file_name.c_str(), added.key.c_str(),
                  debug.c_str(), uses.empty() ? "nothing" : Joined(uses, ", ").c_str());
      if (const std::string warning = SymbolsWarning(added); !warning.empty()) {
        std::printf("%s: warning: %s\n", added.file_name.c_str(), warning.c_str());
      }
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
