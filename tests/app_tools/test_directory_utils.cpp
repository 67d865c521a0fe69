// Working-directory housekeeping on real temporary trees.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "zemb_stitcher.h"

namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path) { std::ofstream(path) << "x"; }

bool present(const fs::path& path) { return fs::symlink_status(path).type() != fs::file_type::not_found; }

long count_entries(const fs::path& dir) {
  return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

long open_descriptors() { return count_entries("/proc/self/fd"); }

// Builds `depth` nested directories called `name` below `top`, each level
// holding a file. Works by descriptors, so the chain may be longer than any
// path the system accepts.
void build_chain(const fs::path& top, const std::string& name, int depth) {
  int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
  for (int level = 0; level < depth && fd >= 0; ++level) {
    close(openat(fd, "file", O_CREAT | O_WRONLY, 0644));
    mkdirat(fd, name.c_str(), 0755);
    const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = child;
  }
  if (fd >= 0) close(fd);
}

// Mounts made by one test, undone in reverse order however the test ends.
// Where the process may have a mount namespace of its own, the mounts are
// made there, so not even a crash leaves one behind.
struct Mounts {
  Mounts() {
    if (unshare(CLONE_NEWNS) == 0) mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  }
  ~Mounts() {
    for (auto target = targets.rbegin(); target != targets.rend(); ++target) umount2(target->c_str(), MNT_DETACH);
  }
  // 0, or the errno of mount(2).
  int add(const std::string& source, const fs::path& target, const char* type, unsigned long flags) {
    if (mount(source.c_str(), target.c_str(), type, flags, nullptr) != 0) return errno;
    targets.push_back(target);
    return 0;
  }
  std::vector<fs::path> targets;
};

class DirectoryUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "dirutils-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    work_ = base_ / "work";
    outside_ = base_ / "outside";
    fs::create_directories(work_);
    fs::create_directories(outside_ / "tree");
    write_file(outside_ / "tree" / "target.txt");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);
  }

  fs::path base_, work_, outside_;
};

TEST(GetFilePath, JoinsWithExactlyOneSeparatorEvenIntoItsOwnBuffer) {
  const char* const cases[][2] = {{"/tmp/work", "/tmp/work/a.png"}, {"/tmp/work/", "/tmp/work/a.png"},
                                  {"/", "/a.png"}, {"", "a.png"}};
  for (const auto& [directory, joined] : cases) {
    char out[64];
    getFilePath(directory, "a.png", out);
    EXPECT_STREQ(out, joined);
    std::strcpy(out, directory);
    getFilePath(out, "a.png", out);
    EXPECT_STREQ(out, joined);
  }
}

// Regular files go everywhere below; links and FIFOs stay, and so do the
// directories holding them; no descriptor is left open.
TEST_F(DirectoryUtilsTest, EmptiesTheTreeButKeepsLinksSpecialFilesAndTheirHolders) {
  fs::create_directories(work_ / "sub" / "deeper");
  fs::create_directories(work_ / "holder");
  for (const char* name : {"a.png", "sub/b.png", "sub/deeper/c.png", "holder/plain.txt"}) write_file(work_ / name);
  fs::create_symlink(outside_ / "tree", work_ / "holder" / "dir_link");
  fs::create_symlink(outside_ / "tree" / "target.txt", work_ / "file_link");
  ASSERT_EQ(mkfifo((work_ / "pipe").c_str(), 0644), 0);
  const long descriptors = open_descriptors();
  deleteFile(work_.c_str());
  EXPECT_EQ(count_entries(work_), 3);
  EXPECT_EQ(count_entries(work_ / "holder"), 1);
  EXPECT_TRUE(present(work_ / "file_link") && present(work_ / "pipe") && present(work_ / "holder" / "dir_link"));
  EXPECT_TRUE(present(outside_ / "tree" / "target.txt"));
  EXPECT_EQ(open_descriptors(), descriptors);
}

// A path names the entry itself, trailing separators or not: a link
// spelled "link/" is still the link, never what it points to.
TEST_F(DirectoryUtilsTest, NamedEntryGoesOnlyWhenItIsARegularFile) {
  const struct {
    const char* spelled;
    const char* entry;
    bool stays;
  } cases[] = {
      {"a.png", "a.png", false},       {"a.png//", "a.png", false},        {"dir_link", "dir_link", true},
      {"dir_link/", "dir_link", true}, {"file_link", "file_link", true}, {"pipe", "pipe", true},
      {"missing", "a.png", true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.spelled);
    write_file(work_ / "a.png");
    fs::create_symlink(outside_ / "tree", work_ / "dir_link");
    fs::create_symlink(outside_ / "tree" / "target.txt", work_ / "file_link");
    ASSERT_EQ(mkfifo((work_ / "pipe").c_str(), 0644), 0);
    deleteFile((work_.string() + "/" + test.spelled).c_str());
    EXPECT_EQ(present(work_ / test.entry), test.stays);
    EXPECT_TRUE(present(outside_ / "tree" / "target.txt"));
    EXPECT_EQ(count_entries(work_), test.stays ? 4 : 3);
    fs::remove_all(work_);
    fs::create_directory(work_);
  }
  deleteFile(nullptr);
}

// A chain of 20 names of 250 bytes is longer than any path the system
// accepts; one of 300 levels is deeper than the walk goes, which then leaves
// the levels below in place but still empties the top ones.
TEST_F(DirectoryUtilsTest, EmptiesTreesDeeperThanAnyPathAndEndsCleanlyBelowItsDepth) {
  const struct {
    std::string name;
    int depth;
  } cases[] = {{std::string(250, 'n'), 20}, {"d", 300}};
  for (const auto& c : cases) {
    build_chain(work_, c.name, c.depth);
    const long descriptors = open_descriptors();
    deleteFile(work_.c_str());
    EXPECT_FALSE(present(work_ / "file") || present(work_ / c.name / "file")) << c.depth;
    EXPECT_EQ(count_entries(work_), c.depth < 128 ? 0 : 1) << c.depth;
    EXPECT_EQ(open_descriptors(), descriptors);
  }
}

// A tmpfs has a device of its own; a bind mount of a directory of the same
// file system shares the device and differs only in its mount ID.
TEST_F(DirectoryUtilsTest, LeavesMountPointsAndWhatIsBelowThem) {
  const struct {
    const char* what;
    const char* source;
    const char* type;
    unsigned long flags;
  } cases[] = {{"tmpfs", "zemb-test", "tmpfs", 0}, {"bind mount", nullptr, nullptr, MS_BIND}};
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    const fs::path point = work_ / "holder" / "mounted";
    fs::create_directories(point);
    write_file(work_ / "holder" / "plain.txt");
    Mounts mounts;
    const std::string source = test.source ? test.source : (outside_ / "tree").string();
    if (const int error = mounts.add(source, point, test.type, test.flags))
      GTEST_SKIP() << "cannot mount a " << test.what << " here: " << std::strerror(error);
    fs::create_directories(point / "sub");
    write_file(point / "sub" / "kept.txt");
    deleteFile(work_.c_str());
    EXPECT_TRUE(present(point / "sub" / "kept.txt"));
    EXPECT_FALSE(present(work_ / "holder" / "plain.txt"));
  }
  EXPECT_TRUE(present(outside_ / "tree" / "target.txt"));
}

// The root guard is exercised inside a child process jailed in a scratch
// folder: were the guard broken, only that folder could be emptied.
TEST_F(DirectoryUtilsTest, NeverEmptiesTheRootOrAnEmptyPath) {
  fs::create_directories(work_ / "sub");
  write_file(work_ / "keep.txt");
  write_file(work_ / "sub" / "keep.txt");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (chroot(work_.c_str()) != 0 || chdir("/sub") != 0) _exit(2);
    for (const char* root : {"/", "//", "/.", "/sub/..", ""}) deleteFile(root);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "no privilege to change the root directory";
  EXPECT_TRUE(present(work_ / "keep.txt"));
  EXPECT_TRUE(present(work_ / "sub" / "keep.txt"));
}

TEST_F(DirectoryUtilsTest, TellsWhetherADirectoryCanBeOpened) {
  fs::create_symlink(outside_ / "tree", work_ / "dir_link");
  EXPECT_TRUE(isFloderexit(work_.c_str()));
  EXPECT_TRUE(isFloderexit((work_ / "dir_link").c_str()));
  EXPECT_FALSE(isFloderexit((outside_ / "tree" / "target.txt").c_str()));
  EXPECT_FALSE(isFloderexit((work_ / "missing").c_str()));
  EXPECT_FALSE(isFloderexit(""));
  EXPECT_FALSE(isFloderexit(nullptr));
}

TEST_F(DirectoryUtilsTest, UnreadableDirectoryIsNeitherOpenedNorEmptied) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  write_file(work_ / "a.png");
  fs::permissions(work_, fs::perms::none);
  EXPECT_FALSE(isFloderexit(work_.c_str()));
  deleteFile(work_.c_str());
  fs::permissions(work_, fs::perms::owner_all);
  EXPECT_TRUE(present(work_ / "a.png"));
}

}  // namespace
