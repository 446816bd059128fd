#include "signature_rules.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

namespace fennick_analysis {
namespace {

// A rules file is a page of patterns; anything much larger is no rules file.
constexpr std::streamsize kMaxRulesBytes = 1 << 20;

bool SameCharacter(char a, char b, bool ignore_case) {
  if (!ignore_case) return a == b;
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// The last "::"-separated component of a qualified name, outside template arguments and
// parameter lists: "ns::Box<a::b>::Put" gives "Put".
std::string_view LastComponent(std::string_view name) {
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '<' || c == '(') ++depth;
    if ((c == '>' || c == ')') && depth > 0) --depth;
    if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
      start = i + 2;
      ++i;
    }
  }
  return name.substr(start);
}

std::string_view Trimmed(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

bool GlobMatches(std::string_view pattern, std::string_view text, bool ignore_case) {
  size_t p = 0;
  size_t t = 0;
  // Where the last '*' was, and the text it has taken up to: a mismatch after it lets it
  // take one character more.
  size_t star = std::string_view::npos;
  size_t star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || SameCharacter(pattern[p], text[t], ignore_case))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

SignatureRules::Parsed SignatureRules::Parse(std::string_view text) {
  SignatureRules rules;
  size_t number = 0;
  const auto fail = [&number](std::string error) {
    return Parsed{std::nullopt, number, std::move(error)};
  };
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    const std::string_view line = Trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t gap = line.find_first_of(" \t");
    const std::string_view word = line.substr(0, gap);
    const std::string_view value =
        gap == std::string_view::npos ? std::string_view() : Trimmed(line.substr(gap));
    if (value.empty() || value.find_first_of(" \t") != std::string_view::npos) {
      return fail("expected \"<word> <value>\", with one value");
    }
    if (word == "version") {
      if (!rules.version_.empty()) return fail("a second version line");
      rules.version_ = value;
    } else if (word == "module" || word == "function") {
      if (rules.version_.empty()) return fail("a rule before the version line");
      (word == "module" ? rules.modules_ : rules.functions_).emplace_back(value);
    } else {
      return fail("unknown rule \"" + std::string(word) + "\" (version, module or function)");
    }
  }
  if (rules.version_.empty()) return fail("no version line");
  return {std::move(rules), 0, {}};
}

bool SignatureRules::SkipsModule(std::string_view module) const {
  return std::any_of(modules_.begin(), modules_.end(), [module](const std::string& pattern) {
    return GlobMatches(pattern, module, true);
  });
}

bool SignatureRules::SkipsFunction(std::string_view function) const {
  const std::string_view last = LastComponent(function);
  return std::any_of(functions_.begin(), functions_.end(), [&](const std::string& pattern) {
    return GlobMatches(pattern, function, false) ||
           (pattern.find("::") == std::string::npos && GlobMatches(pattern, last, false));
  });
}

LoadedRules LoadSignatureRules(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  if (file) text << file.rdbuf();
  if (!file || file.bad() || text.tellp() > kMaxRulesBytes) {
    return {std::nullopt, "cannot read the signature rules " + path.string()};
  }
  SignatureRules::Parsed parsed = SignatureRules::Parse(text.str());
  if (!parsed.rules) {
    return {std::nullopt, "bad signature rules " + path.string() + ":" +
                              std::to_string(parsed.error_line) + ": " + parsed.error};
  }
  return {std::move(parsed.rules), {}};
}

}  // namespace fennick_analysis
