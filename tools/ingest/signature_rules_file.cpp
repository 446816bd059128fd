#include "signature_rules_file.h"

#include <system_error>

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;

fs::path ShippedRules() {
  std::error_code error;
  const fs::path folder = fs::read_symlink("/proc/self/exe", error).parent_path();
  if (error) return kSignatureRulesFileName;
  const fs::path beside = folder / kSignatureRulesFileName;
  if (fs::exists(beside, error)) return beside;
  return (folder / ".." / "share" / "fennick" / kSignatureRulesFileName).lexically_normal();
}

}  // namespace

fennick_analysis::LoadedRules LoadServerSignatureRules(const fs::path& given) {
  return fennick_analysis::LoadSignatureRules(given.empty() ? ShippedRules() : given);
}

}  // namespace fennick_ingest
