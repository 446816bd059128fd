#include "support/child_process.h"

ProcessOutput RunProcess(const std::filesystem::path& program,
                         const std::vector<std::filesystem::path>& args,
                         const EnvironmentChanges& environment) {
  const CaptureFile out, err;
  ProcessOutput output;
  output.exit_code = RunProcessWithStreams(program, args, environment, out.handle(), err.handle());
  output.standard_output = out.Text();
  output.standard_error = err.Text();
  return output;
}
