#ifndef FENNICK_TOOLS_INGEST_SIGNATURE_RULES_FILE_H_
#define FENNICK_TOOLS_INGEST_SIGNATURE_RULES_FILE_H_

#include <filesystem>

#include "signature_rules.h"

namespace fennick_ingest {

// The rules file shipped with the server: beside its executable in the build tree, in
// ../share/fennick from it once installed.
inline constexpr char kSignatureRulesFileName[] = "signature-rules.txt";

// The signature rules in `given` (--signature-rules), or, when it is empty, in the file
// shipped with the server; an error names the file and the line at fault.
fennick_analysis::LoadedRules LoadServerSignatureRules(const std::filesystem::path& given);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_SIGNATURE_RULES_FILE_H_
