// Child processes on Windows: CreateProcessW with the standard output on an anonymous pipe, read
// without blocking (PeekNamedPipe), stop events, exit codes.
#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "platform/StopRequest.h"
#include "platform/WindowsText.h"
#include "tests/e2e/support/ChildProcess.h"

namespace vantorix::test {
namespace {

// One argument as CommandLineToArgvW and the C runtime read it back.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return arg;
  }
  std::wstring out = L"\"";
  for (auto it = arg.begin();; ++it) {
    std::size_t backslashes = 0;
    while (it != arg.end() && *it == L'\\') {
      ++it;
      ++backslashes;
    }
    if (it == arg.end()) {
      out.append(backslashes * 2, L'\\');
      break;
    }
    out.append(*it == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    out.push_back(*it);
  }
  out.push_back(L'"');
  return out;
}

std::wstring Name(const std::wstring& entry) {
  std::wstring name = entry.substr(0, entry.find(L'=', 1));
  CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  return name;
}

// This process's environment with extraEnv's entries in place of those of the same name (names
// compare without case, as Windows does), as a block for CreateProcessW.
std::wstring EnvironmentBlock(const std::vector<std::string>& extraEnv) {
  std::vector<std::wstring> extra;
  for (const std::string& e : extraEnv) {
    extra.push_back(Utf8ToWide(e));
  }
  std::wstring block;
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* p = current; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    bool overridden = false;
    for (const std::wstring& e : extra) {
      overridden = overridden || Name(e) == Name(entry);
    }
    if (!overridden) {
      block += entry;
      block.push_back(L'\0');
    }
  }
  FreeEnvironmentStringsW(current);
  for (const std::wstring& e : extra) {
    block += e;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + WindowsErrorText(GetLastError()));
}

}  // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& argv, bool mergeStderr,
                             const std::vector<std::string>& extraEnv) {
  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, &inherited, 0)) {
    Fail("CreatePipe");
  }
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                             OPEN_EXISTING, 0, nullptr);
  HANDLE error = nullptr;
  if (mergeStderr) {
    error = write;
  } else {
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                    &error, 0, TRUE, DUPLICATE_SAME_ACCESS);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = write;
  startup.hStdError = error;
  std::wstring commandLine;
  for (const std::string& arg : argv) {
    commandLine += (commandLine.empty() ? L"" : L" ") + Quote(Utf8ToWide(arg));
  }
  std::wstring environment = EnvironmentBlock(extraEnv);
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                     CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  CloseHandle(write);
  if (input != INVALID_HANDLE_VALUE) {
    CloseHandle(input);
  }
  if (!mergeStderr && error != nullptr) {
    CloseHandle(error);
  }
  if (!started) {
    CloseHandle(read);
    throw std::runtime_error("cannot start " + argv[0] + ": " + WindowsErrorText(startError));
  }
  CloseHandle(process.hThread);
  FProcess = process.hProcess;
  FPid = process.dwProcessId;
  FOut = read;
}

TChildProcess::~TChildProcess() {
  if (!FReaped) {
    TerminateProcess(FProcess, 1);
    WaitForSingleObject(FProcess, 10000);
  }
  CloseHandle(FProcess);
  CloseHandle(FOut);
}

void TChildProcess::ReadSome(std::chrono::milliseconds timeout) {
  // An anonymous pipe cannot be waited for: look, and look again a moment later.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(FOut, nullptr, 0, nullptr, &available, nullptr)) {
      FEof = true;  // the child and everything it started have closed the pipe
      return;
    }
    if (available > 0) {
      char chunk[4096];
      DWORD got = 0;
      if (ReadFile(FOut, chunk, std::min<DWORD>(available, sizeof chunk), &got, nullptr)) {
        FBuffer.append(chunk, got);
      } else {
        FEof = true;
      }
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool TChildProcess::Ended() {
  if (!FReaped) {
    if (WaitForSingleObject(FProcess, 0) != WAIT_OBJECT_0) {
      return false;
    }
    DWORD code = 0;
    GetExitCodeProcess(FProcess, &code);
    FReaped = true;
    FStatus = static_cast<int>(code);
  }
  return true;
}

bool TChildProcess::RequestStop() {
  return !FReaped && vantorix::RequestStop(FPid);
}

}  // namespace vantorix::test
