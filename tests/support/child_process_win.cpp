#include <windows.h>

#include <cwctype>
#include <string>

#include "support/child_process.h"

namespace {

constexpr DWORD kChildTimeoutMs = 120000;

// One argument quoted so that the child's CommandLineToArgvW gives it back unchanged.
std::wstring QuoteArgument(const std::wstring& arg) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quotation mark are doubled, and the mark itself escaped.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

bool SameName(const std::wstring& entry, const std::wstring& name) {
  if (entry.size() <= name.size() || entry[name.size()] != L'=') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::towupper(entry[i]) != std::towupper(name[i])) return false;
  }
  return true;
}

// This process's environment block with `changes` applied (names compare without case).
std::wstring EnvironmentBlock(const EnvironmentChanges& changes) {
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
    bool changed = false;
    for (const auto& change : changes) {
      changed = changed || SameName(entry, std::wstring(change.first.begin(), change.first.end()));
    }
    if (!changed) block.append(entry).push_back(L'\0');
  }
  FreeEnvironmentStringsW(strings);
  for (const auto& [name, value] : changes) {
    if (value)
      block.append(name.begin(), name.end()).append(L"=").append(value->native()).push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace

int RunProcessWithStreams(const std::filesystem::path& program,
                          const std::vector<std::filesystem::path>& args,
                          const EnvironmentChanges& environment, FileHandle out, FileHandle err) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::wstring command_line = QuoteArgument(program.native());
  for (const std::filesystem::path& arg : args) command_line += L" " + QuoteArgument(arg.native());
  std::wstring block = EnvironmentBlock(environment);
  PROCESS_INFORMATION process = {};
  int exit_code = -1;
  if (CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process)) {
    if (WaitForSingleObject(process.hProcess, kChildTimeoutMs) == WAIT_OBJECT_0) {
      DWORD code = 0;
      if (GetExitCodeProcess(process.hProcess, &code)) exit_code = static_cast<int>(code);
    } else {
      TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(input);
  return exit_code;
}

int RunProcessWithBrokenErrorPipe(const std::filesystem::path& program,
                                  const std::vector<std::filesystem::path>& args,
                                  const EnvironmentChanges& environment) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inheritable, 0)) return -1;
  CloseHandle(read_end);
  const CaptureFile out;
  const int exit_code = RunProcessWithStreams(program, args, environment, out.handle(), write_end);
  CloseHandle(write_end);
  return exit_code;
}
