#include "platform/process.h"
#include "platform/text_copy_internal.h"

#include <windows.h>

#include <lmcons.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

// The values handed out by plat_getenv, one slot per variable name.
struct EnvironmentCopies {
  std::mutex lock;
  std::map<std::string, std::string> values;
};

EnvironmentCopies &environment_copies() {
  static EnvironmentCopies copies;
  return copies;
}

} // namespace

// The process environment itself, not the C runtime's copy of it: only
// there can a variable be defined with an empty value (the runtime's
// _putenv("NAME=") removes it), and an empty MB_INSTALL_DIR has a meaning.
// The text stays valid until the variable is asked for again.
extern "C" const char *plat_getenv(const char *name) {
  if (!name || !*name)
    return nullptr;
  SetLastError(0);
  DWORD needed = GetEnvironmentVariableA(name, nullptr, 0);
  if (needed == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)
    return nullptr;
  std::string value(needed, '\0');
  DWORD got = needed ? GetEnvironmentVariableA(name, value.data(), needed) : 0;
  if (got >= needed && needed != 0)
    return nullptr; // changed between the two calls
  value.resize(got);
  auto &copies = environment_copies();
  std::lock_guard guard(copies.lock);
  std::string &slot = copies.values[name];
  slot = std::move(value);
  return slot.c_str();
}

extern "C" bool plat_setenv(const char *name, const char *value) {
  if (!name || !*name)
    return false;
  // The runtime's copy follows for code that reads it with getenv; it can
  // hold no empty value, so an empty one is left out there.
  std::string entry = std::string(name) + "=" + (value ? value : "");
  _putenv(entry.c_str());
  return SetEnvironmentVariableA(name, value) != 0;
}

extern "C" bool plat_executable_path(char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  DWORD room = bytes > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes);
  DWORD n = GetModuleFileNameA(nullptr, buffer, room);
  // A result that fills the buffer means the path was cut.
  if (n == 0 || n >= room) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

extern "C" bool plat_computer_name(char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size))
    return false;
  size_t length = std::strlen(name);
  if (length >= bytes)
    length = bytes - 1;
  std::memcpy(buffer, name, length);
  buffer[length] = '\0';
  return true;
}

namespace {

// One argument quoted so that the child's C runtime splits it back into
// the same text: backslashes count only in front of a quote.
void append_quoted(std::string &line, const char *arg) {
  if (*arg && !std::strpbrk(arg, " \t\n\v\"")) {
    line += arg;
    return;
  }
  line += '"';
  for (const char *p = arg;; ++p) {
    size_t backslashes = 0;
    while (*p == '\\') {
      ++backslashes;
      ++p;
    }
    if (*p == '\0') {
      line.append(backslashes * 2, '\\');
      break;
    }
    if (*p == '"')
      line.append(backslashes * 2 + 1, '\\');
    else
      line.append(backslashes, '\\');
    line += *p;
  }
  line += '"';
}

std::string command_line(const char *const argv[]) {
  std::string line;
  for (const char *const *a = argv; *a; ++a) {
    if (a != argv)
      line += ' ';
    append_quoted(line, *a);
  }
  return line;
}

// Inheritable handles of the child's three standard streams, closed when
// the parent is done with them.
class ChildStreams {
public:
  ChildStreams() = default;
  ChildStreams(const ChildStreams &) = delete;
  ChildStreams &operator=(const ChildStreams &) = delete;
  ~ChildStreams() {
    close(in);
    if (err != out)
      close(err);
    close(out);
  }

  bool open(const char *stdout_path, const char *stderr_path) {
    in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    out = stdout_path ? create(stdout_path) : inherited(STD_OUTPUT_HANDLE);
    if (stderr_path && stdout_path && std::strcmp(stdout_path, stderr_path) == 0)
      err = out;
    else
      err = stderr_path ? create(stderr_path) : inherited(STD_ERROR_HANDLE);
    return in != INVALID_HANDLE_VALUE && (!stdout_path || out != INVALID_HANDLE_VALUE) &&
           (!stderr_path || err != INVALID_HANDLE_VALUE);
  }

  HANDLE in = INVALID_HANDLE_VALUE;
  HANDLE out = INVALID_HANDLE_VALUE;
  HANDLE err = INVALID_HANDLE_VALUE;

private:
  HANDLE create(const char *path) {
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  // The parent's own stream, made inheritable without changing the parent's.
  static HANDLE inherited(DWORD which) {
    HANDLE own = GetStdHandle(which), copy = INVALID_HANDLE_VALUE;
    if (own == nullptr || own == INVALID_HANDLE_VALUE)
      return INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
      return INVALID_HANDLE_VALUE;
    return copy;
  }

  static void close(HANDLE h) {
    if (h != INVALID_HANDLE_VALUE && h != nullptr)
      CloseHandle(h);
  }

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
};

} // namespace

extern "C" bool plat_run_process(const char *const argv[], const char *stdout_path,
                                 const char *stderr_path, int *exit_status) {
  if (!argv || !argv[0] || !argv[0][0])
    return false;
  ChildStreams streams;
  if (!streams.open(stdout_path, stderr_path))
    return false;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = streams.in;
  startup.hStdOutput = streams.out;
  startup.hStdError = streams.err;
  std::string line = command_line(argv);
  PROCESS_INFORMATION child{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &child))
    return false;
  CloseHandle(child.hThread);
  DWORD code = 0;
  bool ok = WaitForSingleObject(child.hProcess, INFINITE) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  if (ok && exit_status)
    *exit_status = static_cast<int>(code);
  return ok;
}

extern "C" bool plat_user_name(char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  buffer[0] = '\0';
  char name[UNLEN + 1] = {};
  DWORD size = sizeof name;
  if (!GetUserNameA(name, &size) || name[0] == '\0')
    return false;
  return ferry::copy_fitting(name, buffer, bytes);
}

namespace {

WORD show_window(int show_mode) {
  switch (show_mode) {
  case PLAT_SHOW_MINIMISED:
    return SW_SHOWMINIMIZED;
  case PLAT_SHOW_HIDDEN:
    return SW_HIDE;
  default:
    return SW_SHOWNORMAL;
  }
}

// Waits for the started program and closes its handles; its exit code, or
// 0 when it cannot be read.
int finish(PROCESS_INFORMATION &child, bool wait) {
  DWORD code = 0;
  if (wait && (WaitForSingleObject(child.hProcess, INFINITE) != WAIT_OBJECT_0 ||
               !GetExitCodeProcess(child.hProcess, &code)))
    code = 0;
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  return static_cast<int>(code);
}

// Starts a command line in a window that carries the line as its title.
// 0, or the system's error number.
uint32_t create_process(const std::string &line, const std::string &title, int show_mode,
                        bool inherit, DWORD flags, PROCESS_INFORMATION &child) {
  // Both texts must be writable for the call.
  std::string command = line, window_title = title;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.lpTitle = window_title.data();
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = show_window(show_mode);
  if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr,
                     &startup, &child))
    return 0;
  DWORD error = GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

} // namespace

extern "C" uint32_t plat_run_command(const char *line, int show_mode, int *exit_code) {
  if (!line)
    return ERROR_INVALID_PARAMETER;
  try {
    PROCESS_INFORMATION child{};
    // A line that names no program (a built-in of the command interpreter,
    // a redirection) is handed to the interpreter instead.
    uint32_t error = create_process(line, line, show_mode, true, CREATE_NEW_CONSOLE, child);
    if (error != 0)
      error = create_process(std::string("cmd /c ") + line, line, show_mode, true, 0, child);
    if (error != 0)
      return error;
    int code = finish(child, true);
    if (exit_code)
      *exit_code = code;
    return 0;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

extern "C" uint32_t plat_start_process(const char *line, int show_mode, bool wait, int *exit_code) {
  if (!line)
    return ERROR_INVALID_PARAMETER;
  try {
    PROCESS_INFORMATION child{};
    uint32_t error = create_process(line, line, show_mode, false, 0, child);
    if (error != 0)
      return error;
    int code = finish(child, wait);
    if (wait && exit_code)
      *exit_code = code;
    return 0;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}
