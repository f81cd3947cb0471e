#include "support/test_support.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <unordered_set>

#include "base/hooks.h"
#include "platform/process.h"

namespace ferry::test {

namespace {

struct AllocatorState {
  std::mutex lock;
  std::unordered_set<void *> live;
  long requests = 0;
  long fail_at = 0;
  bool sticky = false;
  bool failed = false;
  bool active = false;
};

AllocatorState &state() {
  static AllocatorState s;
  return s;
}

// True when this request is to be refused; counts it.
bool refuse_next() {
  auto &s = state();
  ++s.requests;
  bool refuse = s.fail_at > 0 && (s.requests == s.fail_at || (s.sticky && s.requests > s.fail_at));
  if (refuse)
    s.failed = true;
  return refuse;
}

void *counting_malloc(size_t bytes) {
  auto &s = state();
  std::lock_guard guard(s.lock);
  if (refuse_next())
    return nullptr;
  void *p = std::malloc(bytes ? bytes : 1);
  if (p)
    s.live.insert(p);
  return p;
}

void *counting_calloc(size_t count, size_t size) {
  auto &s = state();
  std::lock_guard guard(s.lock);
  if (refuse_next())
    return nullptr;
  void *p = std::calloc(count ? count : 1, size ? size : 1);
  if (p)
    s.live.insert(p);
  return p;
}

void *counting_realloc(void *block, size_t bytes) {
  auto &s = state();
  std::lock_guard guard(s.lock);
  if (refuse_next())
    return nullptr;
  void *p = std::realloc(block, bytes ? bytes : 1);
  if (p) {
    s.live.erase(block);
    s.live.insert(p);
  }
  return p;
}

void counting_free(void *block) {
  auto &s = state();
  std::lock_guard guard(s.lock);
  s.live.erase(block);
  std::free(block);
}

// Library threads may print while a test reads: every access takes the lock.
std::mutex capture_lock;
std::string captured;
std::vector<std::string> captured_calls;

int capture_hook(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string piece(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0)
    std::vsnprintf(piece.data(), piece.size() + 1, format, args);
  va_end(args);
  std::lock_guard guard(capture_lock);
  captured += piece;
  captured_calls.push_back(piece);
  return 0;
}

u_msg_fn saved_hook = nullptr;

} // namespace

FailingAllocator::FailingAllocator() {
  auto &s = state();
  std::lock_guard guard(s.lock);
  s.live.clear();
  s.requests = 0;
  s.fail_at = 0;
  s.sticky = false;
  s.failed = false;
  s.active = true;
  u_malloc_hook = counting_malloc;
  u_calloc_hook = counting_calloc;
  u_realloc_hook = counting_realloc;
  u_free_hook = counting_free;
}

FailingAllocator::~FailingAllocator() {
  u_restore_memory_hooks();
  auto &s = state();
  std::lock_guard guard(s.lock);
  s.active = false;
}

void FailingAllocator::fail_at(long n, bool sticky) {
  auto &s = state();
  std::lock_guard guard(s.lock);
  s.requests = 0;
  s.fail_at = n;
  s.sticky = sticky;
  s.failed = false;
}

long FailingAllocator::allocations() const {
  std::lock_guard guard(state().lock);
  return state().requests;
}

long FailingAllocator::live_blocks() const {
  std::lock_guard guard(state().lock);
  return static_cast<long>(state().live.size());
}

bool FailingAllocator::failed() const {
  std::lock_guard guard(state().lock);
  return state().failed;
}

long expect_no_leak_under_oom(const std::function<u_err_t()> &op,
                              const std::function<void()> &cleanup, std::vector<u_err_t> allowed) {
  FailingAllocator alloc;
  alloc.never_fail();
  u_err_t clean = op();
  EXPECT_EQ(clean, 0) << "the operation fails even with all the memory it wants";
  long needed = alloc.allocations();
  cleanup();
  EXPECT_EQ(alloc.live_blocks(), 0) << "the clean run leaks";
  for (bool sticky : {false, true}) {
    for (long n = 1; n <= needed + 1; ++n) {
      alloc.fail_at(n, sticky);
      u_err_t result = op();
      bool refused = alloc.failed();
      cleanup();
      if (!refused) {
        EXPECT_EQ(result, 0) << "no request was refused at n=" << n;
        break;
      }
      bool ok = result == 0;
      for (u_err_t a : allowed)
        ok = ok || result == a;
      EXPECT_TRUE(ok) << "allocation " << n << (sticky ? " onwards" : "") << " failing gave "
                      << u_error_name(result);
      EXPECT_EQ(alloc.live_blocks(), 0)
          << "allocation " << n << (sticky ? " onwards" : "") << " failing leaks";
    }
  }
  return needed;
}

MessageCapture::MessageCapture() {
  saved_hook = u_msg_hook;
  clear();
  u_msg_hook = capture_hook;
}

MessageCapture::~MessageCapture() {
  u_msg_hook = saved_hook;
}

std::string MessageCapture::text() const {
  std::lock_guard guard(capture_lock);
  return captured;
}
std::vector<std::string> MessageCapture::calls() const {
  std::lock_guard guard(capture_lock);
  return captured_calls;
}
void MessageCapture::clear() {
  std::lock_guard guard(capture_lock);
  captured.clear();
  captured_calls.clear();
}

TempDir::TempDir() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate =
        base / ("ferry-test-" + std::to_string(rd()) + "-" + std::to_string(counter.fetch_add(1)));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      break;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

void write_text(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

std::string read_text(const std::string &path) {
  auto bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::string capture_stream(const std::function<void(FILE *)> &print) {
  FILE *f = std::tmpfile();
  if (!f) {
    ADD_FAILURE() << "no temporary stream";
    return {};
  }
  print(f);
  std::fflush(f);
  std::rewind(f);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
    out.append(buf, n);
  std::fclose(f);
  return out;
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
  if (const char *old = plat_getenv(name)) {
    had_value_ = true;
    old_value_ = old;
  }
  plat_setenv(name, value);
}

ScopedEnv::~ScopedEnv() {
  plat_setenv(name_.c_str(), had_value_ ? old_value_.c_str() : nullptr);
}

} // namespace ferry::test
