// in_console.exe <command line>: runs the command with its standard output and error on the
// console this process runs in, set to code page 437, and exits with the command's exit
// code (125 when it cannot start it). Wine gives a process started in a pseudo console no
// console handles of its own, so they are opened here by name.
#include <windows.h>

#include <string>

namespace {

// The command line after this program's own name, quoted or not.
std::wstring CommandAfterProgramName() {
  const std::wstring line = GetCommandLineW();
  size_t end = line.starts_with(L'"') ? line.find(L'"', 1) : line.find(L' ');
  end = end == std::wstring::npos ? line.size() : line.find_first_not_of(L' ', end + 1);
  return end == std::wstring::npos ? std::wstring() : line.substr(end);
}

}  // namespace

int main() {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                     OPEN_EXISTING, 0, nullptr);
  std::wstring command = CommandAfterProgramName();
  if (console == INVALID_HANDLE_VALUE || command.empty() || !SetConsoleOutputCP(437)) {
    return 125;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = console;
  startup.hStdError = console;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return 125;
  }
  DWORD exit_code = 125;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(exit_code);
}
