#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "hostenv/location.h"
#include "hostenv/mkpath.h"
#include "hostenv/temp_dir.h"
#include "platform/file_manager.h"
#include "platform/main_bundle.h"
#include "test_util.h"

using namespace testing_util;

namespace {

bool isDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(TempDir, CreatesPrivateEmptyDirectoryAndRemovesItWithContents) {
  ScratchDir scratch;
  ScopedEnv tmp("TMPDIR", (scratch.path() + "/").c_str());  // trailing slash: still one separator
  std::string dir;
  {
    TempDir a, b;
    dir = a.getDir();
    ASSERT_EQ(dir.substr(0, scratch.path().size() + 3), scratch.path() + "/qv");
    EXPECT_EQ(dir.size(), scratch.path().size() + 9);
    EXPECT_NE(dir, b.getDir());
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(listDir(dir).empty());
    makeDirs(dir + "/nested/deeper");
    writeFile(dir + "/nested/deeper/file", "x");
    writeFile(dir + "/top", "y");
    // Removal must not follow a link out of the directory.
    writeFile(scratch / "outside", "keep");
    ASSERT_EQ(symlink((scratch / "outside").c_str(), (dir + "/link").c_str()), 0);
  }
  EXPECT_FALSE(exists(dir));
  EXPECT_EQ(readFile(scratch / "outside"), "keep");
}

// Parents are tried in order; one that others could write is passed over
// and left as it was (which ones count: TrustedDirectoryPaths below).
TEST(TempDir, UntrustedOrMissingParentIsPassedOver) {
  ScratchDir scratch;
  makeDirs(scratch / "open");
  chmod((scratch / "open").c_str(), 0777);
  makeDirs(scratch / "last");
  TempDir dir(std::vector<std::string>{scratch / "missing", scratch / "open", scratch / "last"});
  EXPECT_EQ(dir.getDir().rfind(scratch / "last/qv", 0), 0u) << dir.getDir();
  EXPECT_EQ(listDir(scratch / "open"), std::vector<std::string>{});
  EXPECT_EQ(TempDir(std::vector<std::string>{scratch / "open"}).getDir(), "");
  ASSERT_EQ(rmdir(dir.getDir().c_str()), 0);  // destructor must cope
}

TEST(TempDir, FallsBackToTmpWhenTmpdirUnsetOrEmpty) {
  ScopedEnv tmp("TMPDIR", "");
  TempDir dir;
  EXPECT_EQ(dir.getDir().rfind("/tmp/qv", 0), 0u) << dir.getDir();
}

TEST(FileManager, TrustedDirectoryPaths) {
  ScratchDir scratch;  // ours, below the sticky /tmp
  makeDirs(scratch / "own/deeper");
  makeDirs(scratch / "open/below");
  chmod((scratch / "open").c_str(), 0777);
  makeDirs(scratch / "sticky/theirs");
  chmod((scratch / "sticky").c_str(), 01777);
  bool root = geteuid() == 0;
  EXPECT_TRUE(!root || chown((scratch / "sticky/theirs").c_str(), 65534, 65534) == 0);
  ASSERT_EQ(symlink((scratch / "own").c_str(), (scratch / "link").c_str()), 0);
  struct Case { std::string path; bool trusted; };
  for (const Case& c : {Case{"/", true}, Case{scratch / "own/deeper", true},
                        Case{"/tmp", false},  // a sticky directory never ends the walk
                        Case{scratch / "open/below", false}, Case{scratch / "sticky/theirs", !root},
                        Case{scratch / "link/deeper", false}, Case{scratch / "missing", false},
                        Case{"relative", false}}) {
    std::string why;
    EXPECT_EQ(platform::isTrustedDirectoryPath(c.path, &why), c.trusted) << c.path << ": " << why;
    EXPECT_EQ(why.empty(), c.trusted) << c.path;
  }
}

// Read-only directories go too; a link goes as a link, its target untouched.
// As another user: root would ignore the modes.
TEST(FileManager, RemovalMakesDirectoriesWritableButNeverFollowsLinks) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ScratchDir scratch;
  chmod(scratch.path().c_str(), 0755);
  std::string base = scratch / "base", tree = base + "/tree", outside = scratch / "outside";
  makeDirs(tree + "/ro/sub");
  makeDirs(tree + "/none");
  makeDirs(outside);
  writeFile(tree + "/ro/sub/file", "x");
  writeFile(outside + "/keep", "keep");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/ro/link").c_str()), 0);
  ASSERT_EQ(runProcess({"chown", "-hR", "65534:65534", base, outside}).exitStatus, 0);
  for (const std::string& dir : {tree + "/ro/sub", tree + "/ro", outside}) chmod(dir.c_str(), 0555);
  chmod((tree + "/none").c_str(), 0);
  pid_t pid = fork();
  if (pid == 0) _exit(setgid(65534) == 0 && setuid(65534) == 0 && platform::removeItemAtPath(tree) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(listDir(base), std::vector<std::string>{});
  EXPECT_EQ(readFile(outside + "/keep"), "keep");
  struct stat st;
  ASSERT_EQ(stat(outside.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0555u);  // not made writable through the link
}

TEST(Mkpath, CreatesMissingComponentsInOrder) {
  ScratchDir scratch;
  EXPECT_EQ(mkpath(scratch / "a/b/c", 0700), 0);
  EXPECT_TRUE(isDir(scratch / "a/b/c"));
  struct stat st;
  ASSERT_EQ(stat((scratch / "a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  EXPECT_EQ(mkpath(scratch / "t/u/", 0700), 0);      // trailing separator
  EXPECT_TRUE(isDir(scratch / "t/u"));
  EXPECT_EQ(mkpath(scratch / "d//e///f", 0700), 0);  // doubled separators
  EXPECT_TRUE(isDir(scratch / "d/e/f"));
  EXPECT_EQ(mkpath("", 0700), 0);
}

TEST(Mkpath, RelativePathIsBelowWorkingDirectory) {
  ScratchDir scratch;
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  int r = mkpath("rel/sub", 0755);
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(isDir(scratch / "rel/sub"));
}

TEST(Mkpath, FileInTheWayIsNotADirectory) {
  ScratchDir scratch;
  writeFile(scratch / "file", "");
  errno = 0;
  EXPECT_EQ(mkpath(scratch / "file/below/more", 0700), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_FALSE(exists(scratch / "file/below"));
  errno = 0;
  EXPECT_EQ(mkpath(scratch / "file", 0700), -1);
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(Mkpath, ExistingDirectoryKeepsItsMode) {
  ScratchDir scratch;
  makeDirs(scratch / "keep");
  chmod((scratch / "keep").c_str(), 0751);
  EXPECT_EQ(mkpath(scratch / "keep", 0700), 0);
  struct stat st;
  ASSERT_EQ(stat((scratch / "keep").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0751u);
}

class Location : public ::testing::Test {
 protected:
  void TearDown() override { platform::setExecutablePathForTesting(std::nullopt); }
  ScratchDir scratch;
};

TEST_F(Location, ApplicationBundleWithResources) {
  std::string app = scratch / "Setup.app";
  makeDirs(app + "/Contents/MacOS");
  makeDirs(app + "/Contents/Resources");
  platform::setExecutablePathForTesting(app + "/Contents/MacOS/installer");
  EXPECT_EQ(getPathToExecutable(), app);
  EXPECT_EQ(getDirectoryOfExecutable(), scratch.path());
  EXPECT_EQ(getBundleLocation(), app + "/Contents/Resources");
}

TEST_F(Location, BundleWithoutResourcesGivesBundlePath) {
  std::string app = scratch / "Setup.app";
  makeDirs(app + "/Contents/MacOS");
  platform::setExecutablePathForTesting(app + "/Contents/MacOS/installer");
  EXPECT_EQ(getBundleLocation(), app);
}

TEST_F(Location, PlainExecutableIsItsOwnBundle) {
  platform::setExecutablePathForTesting(scratch / "bin/installer");
  EXPECT_EQ(getPathToExecutable(), scratch / "bin");
  EXPECT_EQ(getDirectoryOfExecutable(), scratch.path());
  EXPECT_EQ(getBundleLocation(), scratch / "bin");
  // A folder merely named like a bundle is not one without Contents/MacOS.
  platform::setExecutablePathForTesting(scratch / "Fake.app/installer");
  EXPECT_EQ(getBundleLocation(), scratch / "Fake.app");
}

TEST_F(Location, SeparatorEdgeCases) {
  platform::setExecutablePathForTesting("/installer");  // bundle "/" : last separator first
  EXPECT_EQ(getPathToExecutable(), "/");
  EXPECT_EQ(getDirectoryOfExecutable(), "");
  platform::setExecutablePathForTesting("/a\\b/x\\y/installer");  // bundle "/a\b/x\y"
  EXPECT_EQ(getDirectoryOfExecutable(), "/a\\b/x");
}

TEST_F(Location, UnreadableExecutablePathGivesEmptyStrings) {
  platform::setExecutablePathForTesting(std::string());
  EXPECT_FALSE(platform::mainBundle());
  EXPECT_EQ(getPathToExecutable(), "");
  EXPECT_EQ(getDirectoryOfExecutable(), "");
  EXPECT_EQ(getBundleLocation(), "");
}

TEST(MainBundle, RealExecutableIsFound) {
  auto bundle = platform::mainBundle();
  ASSERT_TRUE(bundle);
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf);
  ASSERT_GT(n, 0);
  std::string exe(buf, n);
  EXPECT_EQ(bundle->bundlePath, exe.substr(0, exe.rfind('/')));
}
