#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "base/files.h"
#include "base/files_internal.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace ferry::test;

namespace {

std::string derived(const char *module_path, char separator, size_t bytes = 261) {
  char out[261] = "garbage";
  size_t n = ferry::derive_install_dir(module_path, separator, out, bytes);
  EXPECT_EQ(n, std::strlen(out));
  return out;
}

std::string text_or_none(const char *text) {
  return text ? text : "<none>";
}

std::string sep() {
  return std::string(1, plat_dir_separator);
}

// A path as the module path gives it: in the case the system compares in.
std::string folded(std::string path) {
  plat_fold_path_case(path.data());
  return path;
}

} // namespace

TEST(InstallDirDerivation, DropsTheFileAndItsFolderUnlessADriveIsLeft) {
  EXPECT_EQ(derived("c:\\tools\\bin\\ferrycvt.exe", '\\'), "c:\\tools");
  EXPECT_EQ(derived("c:\\bin\\ferrycvt.exe", '\\'), "c:");
  EXPECT_EQ(derived("c:\\ferrycvt.exe", '\\'), "c:");
  EXPECT_EQ(derived("ferrycvt.exe", '\\'), "ferrycvt.exe");
  EXPECT_EQ(derived("tools\\ferrycvt.exe", '\\'), "tools");
  EXPECT_EQ(derived("", '\\'), "");
  EXPECT_EQ(derived(nullptr, '\\'), "");
}

TEST(InstallDirDerivation, SlashJoinedPathsKeepTheRoot) {
  EXPECT_EQ(derived("/opt/ferry/bin/ferrycvt", '/'), "/opt/ferry");
  EXPECT_EQ(derived("/bin/ferrycvt", '/'), "/");
  EXPECT_EQ(derived("/ferrycvt", '/'), "/");
  // A backslash is no separator in a slash-joined path.
  EXPECT_EQ(derived("/opt/a\\b/ferrycvt", '/'), "/opt");
}

TEST(InstallDirDerivation, StaysInsideTheOutputBuffer) {
  EXPECT_EQ(derived("c:\\tools\\bin\\ferrycvt.exe", '\\', 9), "c:");
  char out[4] = "abc";
  EXPECT_EQ(ferry::derive_install_dir("c:\\x\\y", '\\', out, 0), 0u);
  EXPECT_STREQ(out, "abc");
}

class InstallDirs : public testing::Test {
protected:
  void TearDown() override { ferry::reset_path_caches(); }

  // Resolves afresh with the executable at exe inside the install tree.
  void use_module(const fs::path &exe) {
    module = exe.string();
    ferry::reset_path_caches(module.c_str());
  }

  TempDir tree;
  std::string module;
  ScopedEnv install{"MB_INSTALL_DIR", nullptr};
  ScopedEnv config{"MB_CONFIG_DIR", nullptr};
  ScopedEnv ramps{"MB_RAMPS_DIR", nullptr};
  MessageCapture capture;
};

TEST_F(InstallDirs, ModulePathIsFoldedOnlyWhereTheSystemIgnoresCase) {
  ferry::reset_path_caches("C:\\Tools\\Bin\\FerryCvt.EXE");
  std::string expected =
      plat_dir_separator == '\\' ? "c:\\tools\\bin\\ferrycvt.exe" : "C:\\Tools\\Bin\\FerryCvt.EXE";
  EXPECT_EQ(std::string(u_module_path()), expected);
}

TEST_F(InstallDirs, TheRealModulePathNamesThisProgram) {
  ferry::reset_path_caches();
  const char *path = u_module_path();
  ASSERT_NE(path, nullptr);
  EXPECT_TRUE(fs::is_regular_file(path)) << path;
}

TEST_F(InstallDirs, DerivedFromTheModulePathWithoutCfgFolder) {
  use_module(tree.path() / "bin" / "ferrycvt");
  std::string root = folded(tree.path().string());
  EXPECT_EQ(text_or_none(u_install_dir()), root);
  EXPECT_EQ(text_or_none(u_install_dir()), root);
  EXPECT_EQ(capture.calls(), (std::vector<std::string>{"Install directory: " + root + "\n"}));
  EXPECT_EQ(text_or_none(u_config_dir()), root);
  EXPECT_EQ(text_or_none(u_ramps_dir()), root + sep() + "ramps");
  EXPECT_TRUE(fs::is_directory(tree.path() / "ramps"));
}

TEST_F(InstallDirs, AnExistingCfgFolderIsTheConfigurationDirectory) {
  fs::create_directories(tree.path() / "cfg" / "ramps");
  use_module(tree.path() / "bin" / "ferrycvt");
  std::string cfg = folded(tree.path().string()) + sep() + "cfg";
  // The ramps directory asks for the others itself.
  EXPECT_EQ(text_or_none(u_ramps_dir()), cfg + sep() + "ramps");
  EXPECT_EQ(text_or_none(u_config_dir()), cfg);
  EXPECT_EQ(capture.calls().size(), 1u);
}

TEST_F(InstallDirs, ResolvedOnceAndFrozen) {
  use_module(tree.path() / "bin" / "ferrycvt");
  std::string root = folded(tree.path().string());
  EXPECT_EQ(text_or_none(u_config_dir()), root);
  ScopedEnv later("MB_INSTALL_DIR", "elsewhere");
  fs::create_directory(tree.path() / "cfg");
  EXPECT_EQ(text_or_none(u_install_dir()), root);
  EXPECT_EQ(text_or_none(u_config_dir()), root);
}

TEST_F(InstallDirs, AnEmptyInstallVariableLeavesNothingAvailable) {
  ScopedEnv empty("MB_INSTALL_DIR", "");
  use_module(tree.path() / "bin" / "ferrycvt");
  EXPECT_EQ(u_install_dir(), nullptr);
  EXPECT_EQ(u_config_dir(), nullptr);
  EXPECT_EQ(u_ramps_dir(), nullptr);
  EXPECT_EQ(capture.text(), "");
  EXPECT_FALSE(fs::exists(tree.path() / "ramps"));
}

TEST_F(InstallDirs, AConfigVariableNeedsNoInstallDirectory) {
  TempDir elsewhere;
  std::string cfg = elsewhere.path().string();
  ScopedEnv set("MB_CONFIG_DIR", cfg.c_str());
  use_module(tree.path() / "bin" / "ferrycvt");
  EXPECT_EQ(text_or_none(u_config_dir()), cfg);
  EXPECT_EQ(text_or_none(u_ramps_dir()), cfg + sep() + "ramps");
  EXPECT_TRUE(fs::is_directory(elsewhere.path() / "ramps"));
  EXPECT_EQ(capture.text(), ""); // the install directory was never derived
}

TEST_F(InstallDirs, ARampsVariableIsTakenAsItStands) {
  std::string wanted = (tree.path() / "not" / "there").string();
  ScopedEnv set("MB_RAMPS_DIR", wanted.c_str());
  ScopedEnv no_install("MB_INSTALL_DIR", "");
  use_module(tree.path() / "bin" / "ferrycvt");
  EXPECT_EQ(text_or_none(u_ramps_dir()), wanted);
  EXPECT_FALSE(fs::exists(wanted));
}

TEST_F(InstallDirs, AnOverlongVariableIsRefusedNotCut) {
  std::string exact(260, 'a'), longer(261, 'b');
  ScopedEnv fits("MB_INSTALL_DIR", exact.c_str());
  ScopedEnv too_long("MB_CONFIG_DIR", longer.c_str());
  use_module(tree.path() / "bin" / "ferrycvt");
  EXPECT_EQ(text_or_none(u_install_dir()), exact);
  EXPECT_EQ(u_config_dir(), nullptr);
  EXPECT_EQ(capture.text(), "MB_CONFIG_DIR: value longer than 260 characters, directory not "
                            "available\n");
  // No room for the ramps folder after a 260-character configuration path.
  ScopedEnv no_config("MB_CONFIG_DIR", exact.c_str());
  ferry::reset_path_caches(module.c_str());
  EXPECT_EQ(u_ramps_dir(), nullptr);
}

TEST(MachineNames, ComputerNameCopiesAreAlwaysTerminated) {
  ferry::reset_path_caches();
  char name[16];
  ASSERT_EQ(u_computer_name(name, sizeof name), 0);
  EXPECT_GT(std::strlen(name), 0u);
  EXPECT_LT(std::strlen(name), 16u);
  EXPECT_EQ(u_computer_name(nullptr, 0), 0);
  char small[3] = {'x', 'x', 'x'};
  EXPECT_EQ(u_computer_name(small, sizeof small), 0);
  EXPECT_EQ(std::string(small), std::string(name).substr(0, 2));
}

TEST(MachineNames, TheMachineFileNameIsFrozenAtTheFirstCall) {
  ferry::reset_path_caches();
  char name[16];
  u_computer_name(name, sizeof name);
  std::string first = u_machine_file_name(1);
  EXPECT_EQ(first, std::string(name) + ".1");
  EXPECT_EQ(std::string(u_machine_file_name(5)), first);
  ferry::reset_path_caches();
  EXPECT_EQ(std::string(u_machine_file_name(5)), std::string(name) + ".5");
  ferry::reset_path_caches();
}
