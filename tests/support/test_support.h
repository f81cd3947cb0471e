#pragma once
// Shared helpers of the test suites: an allocator that fails on request and
// counts live blocks, a message-hook capture, temporary folders and files,
// environment variables and the time scale set for a while.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "platform/clock.h"

namespace ferry::test {

// Installs itself through the memory hooks for its lifetime. Allocation
// number fail_at (1-based) fails; with sticky, every later one fails too.
class FailingAllocator {
public:
  FailingAllocator();
  ~FailingAllocator();
  FailingAllocator(const FailingAllocator &) = delete;
  FailingAllocator &operator=(const FailingAllocator &) = delete;

  void fail_at(long n, bool sticky = false);
  void never_fail() { fail_at(0); }
  long allocations() const; // allocation requests seen so far
  long live_blocks() const; // blocks taken through the hooks, not yet freed
  bool failed() const;      // whether a request was refused
};

// Runs op with the n-th allocation failing, for n = 1, 2, ... until op makes
// no failing request, once with a single failure and once with every later
// request failing too. Each run must end in 0 or one of `allowed` and, after
// cleanup, leave no block live. Returns the number of allocations of the
// run that succeeded. op receives the run's number (0 for the clean run).
long expect_no_leak_under_oom(const std::function<u_err_t()> &op,
                              const std::function<void()> &cleanup,
                              std::vector<u_err_t> allowed = {ERR_NO_MEM});

// Installs a message hook that appends every message to a string.
class MessageCapture {
public:
  MessageCapture();
  ~MessageCapture();
  MessageCapture(const MessageCapture &) = delete;
  MessageCapture &operator=(const MessageCapture &) = delete;
  // Copies, safe while library threads print.
  std::string text() const;
  std::vector<std::string> calls() const; // one entry per hook call
  void clear();
};

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
  std::filesystem::path path_;
};

void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
void write_text(const std::string &path, const std::string &text);
std::vector<uint8_t> read_file(const std::string &path);
std::string read_text(const std::string &path);

// Runs a stream printer on a real temporary stream and returns what it wrote.
std::string capture_stream(const std::function<void(FILE *)> &print);

// Sets an environment variable for the object's lifetime (null: unset).
class ScopedEnv {
public:
  ScopedEnv(const char *name, const char *value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
  std::string name_;
  bool had_value_ = false;
  std::string old_value_;
};

// Shortens every library wait for the life of the object.
class ScaledTime {
public:
  explicit ScaledTime(double scale) : saved_(plat_time_scale()) { plat_set_time_scale(scale); }
  ~ScaledTime() { plat_set_time_scale(saved_); }
  ScaledTime(const ScaledTime &) = delete;
  ScaledTime &operator=(const ScaledTime &) = delete;

private:
  double saved_;
};

} // namespace ferry::test
