#include "store_layout.h"

namespace fennick_ingest {
namespace {

constexpr size_t kMaxFileNameBytes = 255;
constexpr char kFallbackDumpName[] = "dump.dmp";
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool IsFolderNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower-case digits are not what ReportFolderName writes
}

// The length of the well-formed UTF-8 sequence that starts at `text[at]`, or 0 when the
// bytes there are ill-formed (truncated, overlong, a surrogate, above U+10FFFF).
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto byte = [&](size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return 1;
  const auto continuation = [&](size_t i, unsigned low = 0x80, unsigned high = 0xBF) {
    return byte(i) >= low && byte(i) <= high;
  };
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    const unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
    const unsigned high = lead == 0xED ? 0x9F : 0xBF;
    return continuation(1, low, high) && continuation(2) ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    const unsigned low = lead == 0xF0 ? 0x90 : 0x80;
    const unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
    return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
  }
  return 0;
}

}  // namespace

std::string PercentEncoded(std::string_view bytes) {
  std::string encoded;
  for (char c : bytes) {
    if (IsFolderNameCharacter(c)) {
      encoded += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      encoded += {'%', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
    }
  }
  return encoded;
}

std::string ReportFolderName(std::string_view dump_id) {
  // "." and ".." would name the store itself and its parent.
  if (dump_id == "." || dump_id == "..") return dump_id == "." ? "%2E" : "%2E%2E";
  // The symbol store's own folder.
  if (dump_id == kStoreSymbolsFolder) return "%73" + std::string(dump_id.substr(1));
  return PercentEncoded(dump_id);
}

std::optional<std::string> DumpIdOfFolder(std::string_view name) {
  std::string dump_id;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '%') {
      dump_id += name[i];
      continue;
    }
    if (i + 2 >= name.size()) return std::nullopt;
    const int high = HexValue(name[i + 1]);
    const int low = HexValue(name[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    dump_id += static_cast<char>(high * 16 + low);
    i += 2;
  }
  // Only the one name ReportFolderName gives counts, so no report is found under two names.
  if (dump_id.empty() || dump_id.size() > kMaxDumpIdBytes || ReportFolderName(dump_id) != name) {
    return std::nullopt;
  }
  return dump_id;
}

std::string SafeDumpFileName(std::string_view uploaded_name) {
  const size_t last_separator = uploaded_name.find_last_of("/\\");
  const std::string_view base = last_separator == std::string_view::npos
                                    ? uploaded_name
                                    : uploaded_name.substr(last_separator + 1);
  std::string name;
  for (size_t i = 0; i < base.size();) {
    const size_t length = Utf8SequenceLength(base, i);
    const auto byte = static_cast<unsigned char>(base[i]);
    if (length == 0 || byte < 0x20 || byte == 0x7f) {
      name += '_';
      ++i;
    } else {
      name += base.substr(i, length);
      i += length;
    }
  }
  // report.json is taken by the report's own record, and its rewrite by the other name.
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxFileNameBytes ||
      name == kReportFileName || name == kReportTempFileName) {
    return kFallbackDumpName;
  }
  return name;
}

}  // namespace fennick_ingest
