#include "platform/process.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
