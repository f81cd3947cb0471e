#include "platform/process.h"
#include "platform/text_copy_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern "C" char **environ;

extern "C" const char *plat_getenv(const char *name) {
  return std::getenv(name);
}

extern "C" bool plat_setenv(const char *name, const char *value) {
  return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

extern "C" bool plat_executable_path(char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  ssize_t n = ::readlink("/proc/self/exe", buffer, bytes);
  if (n <= 0 || static_cast<size_t>(n) >= bytes) {
    buffer[0] = '\0';
    return false;
  }
  buffer[n] = '\0';
  return true;
}

extern "C" bool plat_computer_name(char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
    return false;
  // The network name is the host's first label, as a Windows computer name
  // carries no domain.
  size_t length = std::strcspn(host, ".");
  if (length >= bytes)
    length = bytes - 1;
  std::memcpy(buffer, host, length);
  buffer[length] = '\0';
  return true;
}

namespace {

class SpawnActions {
public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_)
      posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions &) = delete;
  SpawnActions &operator=(const SpawnActions &) = delete;

  // Empty standard input, and each output stream to its file when given.
  // The same file for both streams is opened once so the two do not
  // overwrite each other.
  bool redirect(const char *stdout_path, const char *stderr_path) {
    if (!ok_ || posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) != 0)
      return false;
    if (stdout_path && !open_output(1, stdout_path))
      return false;
    if (!stderr_path)
      return true;
    if (stdout_path && std::strcmp(stdout_path, stderr_path) == 0)
      return posix_spawn_file_actions_adddup2(&actions_, 1, 2) == 0;
    return open_output(2, stderr_path);
  }

  const posix_spawn_file_actions_t *get() const { return &actions_; }

private:
  bool open_output(int fd, const char *path) {
    return posix_spawn_file_actions_addopen(&actions_, fd, path, O_WRONLY | O_CREAT | O_TRUNC,
                                            0666) == 0;
  }

  posix_spawn_file_actions_t actions_;
  bool ok_ = false;
};

int status_of(int wait_status) {
  if (WIFEXITED(wait_status))
    return WEXITSTATUS(wait_status);
  // A killed child reports as a shell does: 128 plus the signal.
  if (WIFSIGNALED(wait_status))
    return 128 + WTERMSIG(wait_status);
  return -1;
}

} // namespace

extern "C" bool plat_run_process(const char *const argv[], const char *stdout_path,
                                 const char *stderr_path, int *exit_status) {
  if (!argv || !argv[0] || !argv[0][0])
    return false;
  SpawnActions actions;
  if (!actions.redirect(stdout_path, stderr_path))
    return false;
  pid_t child;
  // posix_spawnp searches PATH for a bare name, as CreateProcess does.
  if (posix_spawnp(&child, argv[0], actions.get(), nullptr, const_cast<char *const *>(argv),
                   environ) != 0)
    return false;
  int wait_status = 0;
  pid_t done;
  do
    done = ::waitpid(child, &wait_status, 0);
  while (done < 0 && errno == EINTR);
  if (done != child)
    return false;
  if (exit_status)
    *exit_status = status_of(wait_status);
  return true;
}

extern "C" bool plat_user_name(char *buffer, size_t bytes) {
  if (!buffer || bytes == 0)
    return false;
  buffer[0] = '\0';
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> work(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  struct passwd entry {};
  struct passwd *found = nullptr;
  int error;
  // The entry's texts need room of their own; grow it until they fit.
  while ((error = ::getpwuid_r(::geteuid(), &entry, work.data(), work.size(), &found)) == ERANGE &&
         work.size() < (1u << 20))
    work.resize(work.size() * 2);
  if (error != 0 || !found || !entry.pw_name || !entry.pw_name[0])
    return false;
  return ferry::copy_fitting(entry.pw_name, buffer, bytes);
}

namespace {

constexpr char kShell[] = "/bin/sh";

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The program name ends at the first blank outside quotes; its quotes are
// dropped and its backslashes are plain characters.
const char *take_program_name(const char *p, std::string &arg) {
  bool quoted = false;
  for (; *p && (quoted || !is_blank(*p)); ++p) {
    if (*p == '"')
      quoted = !quoted;
    else
      arg += *p;
  }
  return p;
}

// One later argument: blanks inside quotes belong to it; 2n backslashes and
// a quote are n backslashes and a quote that opens or closes, 2n+1 of them
// n backslashes and a plain quote; "" inside quotes is a plain quote;
// other backslashes are plain characters.
const char *take_argument(const char *p, std::string &arg) {
  bool quoted = false;
  while (*p && (quoted || !is_blank(*p))) {
    size_t backslashes = 0;
    while (*p == '\\') {
      ++backslashes;
      ++p;
    }
    if (*p != '"') {
      arg.append(backslashes, '\\');
      if (*p && (quoted || !is_blank(*p)))
        arg += *p++;
      continue;
    }
    arg.append(backslashes / 2, '\\');
    if (backslashes % 2 == 1) {
      arg += '"';
    } else if (quoted && p[1] == '"') {
      arg += '"';
      ++p;
    } else {
      quoted = !quoted;
    }
    ++p;
  }
  return p;
}

// A command line split into arguments as the Windows C runtime splits it,
// so that one line starts the same program with the same arguments on
// every system.
std::vector<std::string> split_command_line(const char *line) {
  std::vector<std::string> args;
  const char *p = line;
  while (is_blank(*p))
    ++p;
  if (!*p)
    return args;
  args.emplace_back();
  p = take_program_name(p, args.back());
  for (;;) {
    while (is_blank(*p))
      ++p;
    if (!*p)
      return args;
    args.emplace_back();
    p = take_argument(p, args.back());
  }
}

// Children started without waiting, reaped once they have ended by a later
// start, so that none stays behind as a zombie for long.
struct UnwaitedChildren {
  std::mutex lock;
  std::vector<pid_t> pids;
};

UnwaitedChildren &unwaited_children() {
  static UnwaitedChildren *children = new UnwaitedChildren;
  return *children;
}

void reap_ended_children() {
  UnwaitedChildren &children = unwaited_children();
  std::lock_guard guard(children.lock);
  std::erase_if(children.pids, [](pid_t pid) {
    pid_t done;
    do
      done = ::waitpid(pid, nullptr, WNOHANG);
    while (done < 0 && errno == EINTR);
    // Ended and reaped now, or reaped by someone else (ECHILD).
    return done != 0;
  });
}

void keep_unwaited(pid_t pid) {
  UnwaitedChildren &children = unwaited_children();
  std::lock_guard guard(children.lock);
  try {
    children.pids.push_back(pid);
  } catch (...) {
    // Without room to remember it the child is reaped by the system when
    // this process ends.
  }
}

int wait_for_exit_code(pid_t child) {
  int wait_status = 0;
  pid_t done;
  do
    done = ::waitpid(child, &wait_status, 0);
  while (done < 0 && errno == EINTR);
  return done == child ? std::max(status_of(wait_status), 0) : 0;
}

uint32_t spawn(const std::vector<const char *> &argv, const posix_spawn_file_actions_t *actions,
               bool wait, int *exit_code) {
  reap_ended_children();
  pid_t child;
  // posix_spawnp searches PATH for a bare name, as CreateProcess does.
  int error = posix_spawnp(&child, argv[0], actions, nullptr,
                           const_cast<char *const *>(argv.data()), environ);
  if (error != 0)
    return static_cast<uint32_t>(error);
  if (!wait) {
    keep_unwaited(child);
    return 0;
  }
  int code = wait_for_exit_code(child);
  if (exit_code)
    *exit_code = code;
  return 0;
}

// Nothing of ours but the standard streams goes to the child. A C library
// that cannot close the rest at the start leaves only the close-on-exec
// descriptors out.
uint32_t keep_only_standard_streams(posix_spawn_file_actions_t *actions) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  return static_cast<uint32_t>(posix_spawn_file_actions_addclosefrom_np(actions, 3));
#else
  (void)actions;
  return 0;
#endif
}

} // namespace

// The shell runs a plain program line as a direct start would, and also
// understands the redirections and built-ins that a direct start of an
// existing utility would silently take as arguments; so there is one
// attempt, through the shell.
extern "C" uint32_t plat_run_command(const char *line, int, int *exit_code) {
  if (!line)
    return EINVAL;
  try {
    std::vector<const char *> shell{kShell, "-c", line, nullptr};
    return spawn(shell, nullptr, true, exit_code);
  } catch (...) {
    return ENOMEM;
  }
}

extern "C" uint32_t plat_start_process(const char *line, int, bool wait, int *exit_code) {
  if (!line)
    return EINVAL;
  try {
    std::vector<std::string> args = split_command_line(line);
    if (args.empty() || args[0].empty())
      return ENOENT;
    std::vector<const char *> argv;
    for (const auto &arg : args)
      argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
      return ENOMEM;
    uint32_t error = keep_only_standard_streams(&actions);
    if (error == 0)
      error = spawn(argv, &actions, wait, exit_code);
    posix_spawn_file_actions_destroy(&actions);
    return error;
  } catch (...) {
    return ENOMEM;
  }
}
