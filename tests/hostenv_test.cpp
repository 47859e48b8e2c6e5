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

// Parents are tried in order; one that others could tamper with is passed over.
TEST(TempDir, UnsafeOrUnusableParentsArePassedOver) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a directory to another user";
  ScratchDir scratch;
  const std::string fallback = scratch / "fallback";
  struct Case { std::string name; int mode; uid_t owner; bool used; };
  const std::vector<Case> cases = {
      {"private", 0700, 0, true},
      {"readable by all", 0755, 0, true},
      {"sticky, writable by all", 01777, 0, true},
      {"writable by all", 0777, 0, false},
      {"writable by the group", 0770, 0, false},
      {"another user's", 0755, 65534, false},
      {"missing", -1, 0, false},
  };
  makeDirs(fallback);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string parent = scratch / c.name;
    if (c.mode >= 0) {
      makeDirs(parent);
      ASSERT_EQ(chmod(parent.c_str(), c.mode), 0);
      ASSERT_EQ(chown(parent.c_str(), c.owner, 0), 0);
    }
    TempDir dir(std::vector<std::string>{parent, fallback});
    EXPECT_EQ(dir.getDir().rfind((c.used ? parent : fallback) + "/qv", 0), 0u) << dir.getDir();
    if (c.mode >= 0) {
      EXPECT_EQ(listDir(parent).size(), c.used ? 1u : 0u);  // nothing left in a refused one
    }
  }
  EXPECT_EQ(TempDir(std::vector<std::string>{scratch / "missing"}).getDir(), "");

  TempDir gone(std::vector<std::string>{fallback});
  ASSERT_EQ(rmdir(gone.getDir().c_str()), 0);  // destructor must cope
}

// A relative TMPDIR is taken from the working directory and made absolute,
// so that "-Z" never reaches anything as an option.
TEST(TempDir, RelativeTmpdirBecomesAbsolute) {
  ScratchDir scratch;
  makeDirs(scratch / "-Z");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  ScopedEnv tmp("TMPDIR", "-Z");
  TempDir dir;
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(dir.getDir().rfind(scratch / "-Z/qv", 0), 0u) << dir.getDir();
}

TEST(TempDir, FallsBackToTmpWhenTmpdirUnsetOrEmpty) {
  ScopedEnv tmp("TMPDIR", "");
  TempDir dir;
  EXPECT_EQ(dir.getDir().rfind("/tmp/qv", 0), 0u) << dir.getDir();
}

TEST(FileManager, TrustedDirectoryPaths) {
  ScratchDir scratch;  // a directory of ours below the sticky /tmp
  makeDirs(scratch / "own/deeper");
  makeDirs(scratch / "open/below");
  chmod((scratch / "open").c_str(), 0777);
  makeDirs(scratch / "sticky/theirs");
  chmod((scratch / "sticky").c_str(), 01777);
  ASSERT_EQ(symlink((scratch / "own").c_str(), (scratch / "link").c_str()), 0);
  writeFile(scratch / "file", "");
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((scratch / "sticky/theirs").c_str(), 65534, 65534), 0);
  }
  struct Case { std::string path; bool trusted; };
  const std::vector<Case> cases = {
      {"/", true},
      {scratch / "own/deeper", true},
      {"/tmp", false},                    // a sticky directory is never the end of the walk
      {scratch / "open/below", false},    // writable by all above it
      {scratch / "sticky/theirs", !root}, // in a sticky directory, but not ours
      {scratch / "link/deeper", false},   // a link on the way
      {scratch / "file", false},
      {scratch / "missing", false},
      {"relative/path", false},
  };
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(platform::isTrustedDirectoryPath(c.path, &why), c.trusted) << c.path << ": " << why;
    EXPECT_EQ(why.empty(), c.trusted) << c.path;
  }
  EXPECT_EQ(platform::resolvePath(scratch / "link/./deeper/.."), scratch / "own");
  EXPECT_EQ(platform::resolvePath(scratch / "missing"), "");
}

// Read-only directories go too; a link to a directory goes as a link, its
// target untouched. Run as another user: root would ignore the modes.
TEST(FileManager, RemovalMakesDirectoriesWritableButNeverFollowsLinks) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ScratchDir scratch;
  chmod(scratch.path().c_str(), 0755);
  std::string base = scratch / "base", tree = base + "/tree", outside = scratch / "outside";
  makeDirs(tree + "/ro/sub");
  makeDirs(tree + "/noaccess");
  makeDirs(outside + "/inner");
  writeFile(tree + "/ro/sub/file", "x");
  writeFile(tree + "/noaccess/file", "x");
  writeFile(outside + "/inner/keep", "keep");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/ro/link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/inner").c_str(), (base + "/top-link").c_str()), 0);
  ASSERT_EQ(runProcess({"chown", "-hR", "65534:65534", base, outside}).exitStatus, 0);
  for (const char* dir : {"/ro/sub", "/ro"}) chmod((tree + dir).c_str(), 0555);
  chmod((tree + "/noaccess").c_str(), 0);
  chmod((outside + "/inner").c_str(), 0555);
  chmod(outside.c_str(), 0555);

  pid_t pid = fork();
  if (pid == 0) {
    bool ok = setgid(65534) == 0 && setuid(65534) == 0 && platform::removeItemAtPath(tree) &&
              platform::removeItemAtPath(base + "/top-link");
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(exists(tree));
  EXPECT_EQ(listDir(base), std::vector<std::string>{});
  EXPECT_EQ(readFile(outside + "/inner/keep"), "keep");
  struct stat st;
  ASSERT_EQ(stat((outside + "/inner").c_str(), &st), 0);
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
