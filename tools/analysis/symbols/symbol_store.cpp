#include "symbol_store.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "store_files.h"

namespace fennick_symbols {
namespace {

namespace fs = std::filesystem;
using fennick_ingest::CreatePrivateFile;
using fennick_ingest::CreatePrivateFolder;
using fennick_ingest::SyncAndClose;
using fennick_ingest::SyncFolder;
using fennick_ingest::WriteAll;

// The longest file name the file systems under a store take.
constexpr size_t kMaxFileNameBytes = 255;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

// The entries of `folder` named `name` ignoring case, the exact spelling first.
std::vector<fs::path> EntriesNamed(const fs::path& folder, std::string_view name) {
  std::vector<fs::path> found;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string entry = it->path().filename().string();
    if (entry == name) {
      found.insert(found.begin(), it->path());
    } else if (SameIgnoringCase(entry, name)) {
      found.push_back(it->path());
    }
  }
  return found;
}

// The folder `name` in `parent`, spelt as it is when it exists ignoring case; made (private,
// its entry flushed) when missing. Empty when it cannot be made.
fs::path FolderIn(const fs::path& parent, std::string_view name) {
  for (const fs::path& entry : EntriesNamed(parent, name)) {
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(entry, error))) return entry;
  }
  const fs::path folder = parent / std::string(name);
  if (CreatePrivateFolder(folder) && SyncFolder(parent)) return folder;
  // Made meanwhile by another store of the same name.
  std::error_code error;
  return errno == EEXIST && fs::is_directory(fs::symlink_status(folder, error)) ? folder
                                                                                : fs::path();
}

// Makes `folder` and the folders above it that are missing, each flushed into its parent.
bool MakeFolders(const fs::path& folder) {
  std::error_code error;
  if (fs::is_directory(folder, error)) return true;
  if (folder.parent_path() == folder || !MakeFolders(folder.parent_path())) return false;
  return (CreatePrivateFolder(folder) || errno == EEXIST) && SyncFolder(folder.parent_path()) &&
         fs::is_directory(folder, error);
}

// Copies `source` into the new private file `target`, flushed; false on any failure.
bool CopyFlushed(const fs::path& source, const fs::path& target) {
  const ScopedFile in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  ScopedFile out = CreatePrivateFile(target);
  if (!in.is_valid() || !out.is_valid()) return false;
  std::vector<char> buffer(1024 * 1024);
  for (;;) {
    const ssize_t count = read(in.get(), buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) break;
    if (!WriteAll(out.get(), std::string_view(buffer.data(), static_cast<size_t>(count)))) {
      return false;
    }
  }
  return SyncAndClose(std::move(out));
}

SymbolStore::Added Refused(SymbolStore::Added added, std::string reason) {
  added.error = std::move(reason);
  return added;
}

}  // namespace

// Absolute and without a trailing separator, so that every folder above it can be made.
SymbolStore::SymbolStore(fs::path root) {
  std::error_code error;
  const fs::path absolute = fs::absolute(root, error);
  root_ = (error ? root : absolute).lexically_normal();
  if (!root_.has_filename() && root_.has_relative_path()) root_ = root_.parent_path();
}

bool SymbolStore::IsBareFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= kMaxFileNameBytes &&
         std::none_of(name.begin(), name.end(), [](char c) {
           const auto byte = static_cast<unsigned char>(c);
           return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\';
         });
}

bool SymbolStore::CreateRoot() const { return MakeFolders(root_); }

std::optional<fs::path> SymbolStore::Find(std::string_view file_name, std::string_view key) const {
  if (!IsBareFileName(file_name) || !IsBareFileName(key)) return std::nullopt;
  for (const fs::path& name_folder : EntriesNamed(root_, file_name)) {
    for (const fs::path& key_folder : EntriesNamed(name_folder, key)) {
      for (const fs::path& file : EntriesNamed(key_folder, file_name)) {
        std::error_code error;
        if (fs::is_regular_file(file, error)) return file;
      }
    }
  }
  return std::nullopt;
}

std::vector<std::string> SymbolStore::KeysOf(std::string_view file_name) const {
  std::set<std::string> keys;
  if (!IsBareFileName(file_name)) return {};
  for (const fs::path& name_folder : EntriesNamed(root_, file_name)) {
    std::error_code error;
    for (fs::directory_iterator it(name_folder, error), end; !error && it != end;
         it.increment(error)) {
      const std::string key = it->path().filename().string();
      if (Find(file_name, key)) keys.insert(key);
    }
  }
  return {keys.begin(), keys.end()};
}

std::string SymbolStore::StoreUnder(const fs::path& source, std::string_view file_name,
                                    const std::string& key,
                                    const SymbolFileIdentity& identity) const {
  const fs::path name_folder = FolderIn(root_, file_name);
  const fs::path key_folder = name_folder.empty() ? fs::path() : FolderIn(name_folder, key);
  if (key_folder.empty()) return "cannot create the file's folder";
  // An earlier copy keeps its own spelling, so that it is replaced rather than doubled.
  const std::vector<fs::path> earlier = EntriesNamed(key_folder, file_name);
  const fs::path target = earlier.empty() ? key_folder / std::string(file_name) : earlier.front();
  // Written under a staging name in its final folder, then renamed over the file's name.
  const fs::path temporary = key_folder / fennick_ingest::NewStagingName();
  // The copy is identified again: the key must be that of the bytes stored, even should the
  // source change meanwhile.
  bool stored = CopyFlushed(source, temporary);
  const SymbolFileIdentity copied = stored ? IdentifySymbolFile(temporary) : SymbolFileIdentity{};
  if (stored && (copied.key != identity.key || copied.kind != identity.kind ||
                 copied.debug_key != identity.debug_key)) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return "the file changed while it was stored";
  }
  stored = stored && rename(temporary.c_str(), target.c_str()) == 0;
  if (!stored) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return "cannot write the symbol store";
  }
  return SyncFolder(key_folder) ? "" : "cannot flush the symbol store";
}

SymbolStore::Added SymbolStore::Add(const fs::path& source, std::string_view file_name) const {
  Added added;
  added.file_name = file_name;
  if (!IsBareFileName(file_name)) return Refused(std::move(added), "unsafe file name");
  const SymbolFileIdentity identity = IdentifySymbolFile(source);
  if (!identity.error.empty()) return Refused(std::move(added), identity.error);
  added.kind = identity.kind;
  added.key = identity.key;
  added.has_debug_identifier = !identity.debug_key.empty();
  added.uses = identity.uses;
  if (!CreateRoot()) return Refused(std::move(added), "cannot create the symbol store");
  std::string error = StoreUnder(source, file_name, identity.key, identity);
  if (error.empty() && identity.dwarf && !identity.debug_key.empty()) {
    error = StoreUnder(source, file_name, identity.debug_key, identity);
    if (error.empty()) added.debug_key = identity.debug_key;
  }
  return error.empty() ? added : Refused(std::move(added), std::move(error));
}

}  // namespace fennick_symbols
