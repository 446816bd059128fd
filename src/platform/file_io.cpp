#include "platform/file_io.h"

bool WriteFileThroughTemporary(const std::filesystem::path& path, std::string_view data) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  return WriteWholeFile(temporary, data) && ReplaceFileDurably(temporary, path);
}
