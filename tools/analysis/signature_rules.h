#ifndef FENNICK_TOOLS_ANALYSIS_SIGNATURE_RULES_H_
#define FENNICK_TOOLS_ANALYSIS_SIGNATURE_RULES_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fennick_analysis {

// True when `text` matches the glob `pattern`: '*' stands for any run of characters, '?'
// for one; `ignore_case` compares ASCII letters without case.
bool GlobMatches(std::string_view pattern, std::string_view text, bool ignore_case);

// The frames that never name a crash, by module (patterns matched without case, as Windows
// names files) and by function (matched with case, against the demangled, qualified name,
// or, for a pattern without "::", against the name's last component too, so that "abort"
// matches "std::abort" and "__verbose_terminate_handler" its "__gnu_cxx::" form). The
// version names the rules an analysis was signed by.
class SignatureRules {
 public:
  // Text, one rule a line: "version <name>" once, before the rules; then "module <glob>" or
  // "function <glob>"; blank lines and lines starting with '#' are ignored.
  struct Parsed;
  static Parsed Parse(std::string_view text);

  const std::string& version() const { return version_; }
  bool SkipsModule(std::string_view module) const;
  bool SkipsFunction(std::string_view function) const;

 private:
  std::string version_;
  std::vector<std::string> modules_;
  std::vector<std::string> functions_;
};

struct SignatureRules::Parsed {
  std::optional<SignatureRules> rules;
  size_t error_line = 0;  // the line at fault (from 1), when rules is empty
  std::string error;
};

// The rules in the file at `path`; an error names the file and the line at fault.
struct LoadedRules {
  std::optional<SignatureRules> rules;
  std::string error;
};
LoadedRules LoadSignatureRules(const std::filesystem::path& path);

}  // namespace fennick_analysis

#endif  // FENNICK_TOOLS_ANALYSIS_SIGNATURE_RULES_H_
