#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "osutil/os_util.h"
#include "osutil/os_util_internal.h"
#include "platform/files.h"
#include "platform/process.h"
#include "support/test_support.h"

using namespace ferry::test;

namespace {

bool on_windows() {
  return plat_dir_separator == '\\';
}

std::string root_of(const char *path, size_t bytes = 64) {
  std::vector<char> root(bytes, 'x');
  int found = u_path_root(path, root.data(), bytes);
  EXPECT_EQ(found == 1, root[0] != '\0') << path;
  return found ? std::string(root.data()) : "(none)";
}

// The roots of a drive list, in order.
std::vector<std::string> roots_in(const char *list, size_t length) {
  std::vector<std::string> roots;
  for (size_t at = 0; at < length; at += roots.back().size() + 1)
    roots.emplace_back(list + at);
  return roots;
}

} // namespace

TEST(PathRoot, DriveAndNetworkFormsHaveRoots) {
  const struct {
    const char *path;
    const char *root;
  } cases[] = {
      {"c:\\data\\x", "c:\\"},
      {"Z:\\", "Z:\\"},
      {" \t c:\\x", "c:\\"},
      {"\\\\srv\\share\\dir", "\\\\srv\\share\\"},
      {"\\\\srv\\share", "\\\\srv\\share\\"},
      {"\\\\srv\\share\\", "\\\\srv\\share\\"},
      {"\\\\srv", "(none)"},
      {"\\\\srv\\", "(none)"},
      {"\\\\srv\\\\x", "(none)"},
      {"\\\\\\x", "(none)"},
      {"\\\\", "(none)"},
      {"x:y", "(none)"},
      {"1:\\x", "(none)"},
      {"c:", "(none)"},
      {"relative\\path", "(none)"},
      {"", "(none)"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(root_of(c.path), c.root) << c.path;
  // The system's own absolute form: "/" here on POSIX, no root on Windows.
  EXPECT_EQ(root_of("/usr/lib"), on_windows() ? "(none)" : "/");
  EXPECT_EQ(root_of(nullptr), "(none)");
}

TEST(PathRoot, RootAndTerminatorMustFitTheBuffer) {
  const struct {
    const char *path;
    size_t bytes;
    const char *root;
  } cases[] = {
      {"c:\\data", 4, "c:\\"},
      {"c:\\data", 3, "(none)"},
      {"\\\\srv\\share", 13, "\\\\srv\\share\\"},
      {"\\\\srv\\share", 12, "(none)"},
      {"\\\\srv\\share\\dir", 13, "\\\\srv\\share\\"},
      {"\\\\srv\\share\\dir", 12, "(none)"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(root_of(c.path, c.bytes), c.root) << c.path << " in " << c.bytes;
  char untouched = 'x';
  EXPECT_EQ(u_path_root("c:\\", &untouched, 0), 0);
  EXPECT_EQ(untouched, 'x');
}

TEST(LogicalDrives, EveryEntryIsARootAndTheListMustFit) {
  char list[256];
  std::memset(list, 'x', sizeof list);
  size_t length = u_logical_drives(sizeof list, list);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(list[length], '\0');
  EXPECT_EQ(list[length - 1], '\0');
  std::vector<std::string> roots = roots_in(list, length);
  ASSERT_FALSE(roots.empty());
  for (const auto &root : roots)
    EXPECT_EQ(root_of(root.c_str()), root);
  if (!on_windows()) {
    EXPECT_EQ(roots, std::vector<std::string>{"/"});
  }

  // The list and its closing NUL exactly fit, or nothing is written.
  char exact[256];
  EXPECT_EQ(u_logical_drives(length + 1, exact), length);
  EXPECT_EQ(std::memcmp(exact, list, length + 1), 0);
  EXPECT_EQ(u_logical_drives(length, exact), 0u);
  EXPECT_EQ(u_logical_drives(sizeof list, nullptr), 0u);
}

TEST(VolumeReady, FailuresMapToTheirStatuses) {
  const struct {
    uint32_t sys_error;
    int status;
  } cases[] = {{3, 2}, {4, 23}, {5, 13}, {15, 19}, {21, 1112}, {2, 2}, {53, 2}, {1, 2}};
  for (const auto &c : cases)
    EXPECT_EQ(u_volume_status(c.sys_error), c.status) << c.sys_error;
}

TEST(VolumeReady, AnsweringAndMissingVolumes) {
  TempDir dir;
  EXPECT_EQ(u_volume_ready(dir.file("any-name").c_str()), 0) << dir.path();
  EXPECT_EQ(u_volume_ready("relative\\name"), 2);
  EXPECT_EQ(u_volume_ready(""), 2);
  EXPECT_EQ(u_volume_ready(nullptr), 2);

  // A drive letter the system does not have names no volume.
  char list[256];
  size_t length = u_logical_drives(sizeof list, list);
  std::string drives;
  for (const auto &root : roots_in(list, length))
    drives += static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
  char missing = 'Q';
  while (drives.find(missing) != std::string::npos && missing > 'D')
    --missing;
  std::string path = std::string(1, missing) + ":\\no\\such\\file";
  int status = u_volume_ready(path.c_str());
  EXPECT_TRUE(status == 2 || status == 19) << path << ": " << status;
}

TEST(RegistryText, OnlyAPlainTextThatFitsIsRead) {
  char buffer[64] = "stale";
  if (!on_windows()) {
    // No registry: nothing is ever found, and the buffer holds no stale text.
    EXPECT_EQ(u_registry_text(U_HKEY_CURRENT_USER, "Software", "Anything", buffer, sizeof buffer),
              1);
    EXPECT_STREQ(buffer, "");
    return;
  }
  std::string key = "Software\\FerryTest\\Run" + std::to_string(std::random_device{}());
  std::string add = "reg add HKCU\\" + key;
  ASSERT_EQ(u_run_command((add + " /v Name /t REG_SZ /d Text /f").c_str(), U_SHOW_HIDDEN), 0);
  ASSERT_EQ(u_run_command((add + " /v Number /t REG_DWORD /d 7 /f").c_str(), U_SHOW_HIDDEN), 0);

  EXPECT_EQ(u_registry_text(U_HKEY_CURRENT_USER, key.c_str(), "Name", buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "Text");
  char exact[5] = "xxxx";
  EXPECT_EQ(u_registry_text(U_HKEY_CURRENT_USER, key.c_str(), "Name", exact, sizeof exact), 0);
  EXPECT_STREQ(exact, "Text");
  char short_buffer[4] = "xxx";
  EXPECT_EQ(
      u_registry_text(U_HKEY_CURRENT_USER, key.c_str(), "Name", short_buffer, sizeof short_buffer),
      1);
  EXPECT_STREQ(short_buffer, "");
  std::strcpy(buffer, "stale");
  EXPECT_EQ(u_registry_text(U_HKEY_CURRENT_USER, key.c_str(), "Number", buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(u_registry_text(U_HKEY_CURRENT_USER, key.c_str(), "Missing", buffer, sizeof buffer), 1);

  ASSERT_EQ(u_run_command(("reg delete HKCU\\" + key + " /f").c_str(), U_SHOW_HIDDEN), 0);
  EXPECT_EQ(u_registry_text(U_HKEY_CURRENT_USER, key.c_str(), "Name", buffer, sizeof buffer), 1);
}

TEST(UserName, KnownOnceAndCopiedOnlyWhenItFits) {
  const char *name = u_user_name(nullptr, 0);
  ASSERT_NE(name, nullptr);
  ASSERT_GT(std::strlen(name), 0u);
  EXPECT_EQ(u_user_name(nullptr, 0), name);

  size_t length = std::strlen(name);
  std::vector<char> exact(length + 1, 'x');
  EXPECT_EQ(u_user_name(exact.data(), exact.size()), exact.data());
  EXPECT_STREQ(exact.data(), name);
  std::vector<char> short_buffer(length, 'x');
  EXPECT_EQ(u_user_name(short_buffer.data(), short_buffer.size()), nullptr);
  EXPECT_EQ(short_buffer[0], '\0');

  // It is the platform's own user.
  char platform_name[512];
  ASSERT_TRUE(plat_user_name(platform_name, sizeof platform_name));
  EXPECT_STREQ(name, platform_name);
}
