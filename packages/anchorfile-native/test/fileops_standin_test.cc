// The Linux stand-ins for macOS file operations must answer as macOS does,
// since the add-on's error codes (and the script side) depend on it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "platform_fileops.h"

namespace {

class FileopsStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fileops-standin-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    fd_ = open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
    ASSERT_EQ(mkdirat(fd_, "sub", 0700), 0);
    const int file = openat(fd_, "file", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    const ssize_t written = write(file, "abc", 3);
    close(file);
    ASSERT_EQ(written, 3);
    ASSERT_EQ(symlinkat("sub", fd_, "link"), 0);
  }
  void TearDown() override {
    close(fd_);
    const std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string dir_;
  int fd_ = -1;
};

constexpr int kAnchored = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;

TEST_F(FileopsStandIn, SymbolicLinkOpenedAsDirectoryWithoutFollowingIsEloop) {
  errno = 0;
  EXPECT_EQ(openat(fd_, "link", kAnchored), -1);
  EXPECT_EQ(errno, ELOOP);
  errno = 0;
  EXPECT_EQ(open((dir_ + "/link").c_str(), kAnchored), -1);
  EXPECT_EQ(errno, ELOOP);
}

TEST_F(FileopsStandIn, OtherAnswersAreLeftAlone) {
  errno = 0;
  EXPECT_EQ(openat(fd_, "file", kAnchored), -1);
  EXPECT_EQ(errno, ENOTDIR);  // a plain file is not turned into ELOOP
  errno = 0;
  EXPECT_EQ(openat(fd_, "missing", kAnchored), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(openat(fd_, "link", O_RDONLY | O_NOFOLLOW | O_CLOEXEC), -1);
  EXPECT_EQ(errno, ELOOP);
  const int sub = openat(fd_, "sub", kAnchored);
  EXPECT_GE(sub, 0);
  close(sub);
  // Following is still possible where the caller asks for it.
  const int followed = openat(fd_, "link", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  EXPECT_GE(followed, 0);
  close(followed);
  // A mode argument still reaches the system for O_CREAT.
  const int created = openat(fd_, "new", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  ASSERT_GE(created, 0);
  close(created);
  struct stat status;
  ASSERT_EQ(fstatat(fd_, "new", &status, 0), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
}

TEST_F(FileopsStandIn, RenameExclNeverReplaces) {
  // A missing source is reported as missing, whatever holds the name.
  for (const char* taken : {"sub", "link", "file"}) {
    errno = 0;
    EXPECT_EQ(renameatx_np(fd_, "new-source", fd_, taken, RENAME_EXCL), -1) << taken;
    EXPECT_EQ(errno, ENOENT) << taken;
  }
  const int source = openat(fd_, "source", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(source, 0);
  close(source);
  for (const char* taken : {"sub", "link", "file"}) {
    errno = 0;
    EXPECT_EQ(renameatx_np(fd_, "source", fd_, taken, RENAME_EXCL), -1) << taken;
    EXPECT_EQ(errno, EEXIST) << taken;
  }
  struct stat status;
  ASSERT_EQ(fstatat(fd_, "file", &status, 0), 0);
  EXPECT_EQ(status.st_size, 3);
  EXPECT_EQ(renameatx_np(fd_, "source", fd_, "free", RENAME_EXCL), 0);
  EXPECT_EQ(fstatat(fd_, "free", &status, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_NE(fstatat(fd_, "source", &status, AT_SYMLINK_NOFOLLOW), 0);
  errno = 0;
  EXPECT_EQ(renameatx_np(fd_, "free", fd_, "other", 0x2), -1);
  EXPECT_EQ(errno, EINVAL);  // only the no-replace flag is offered
}

TEST_F(FileopsStandIn, ModificationTimeHasTheMacosName) {
  struct stat status;
  ASSERT_EQ(fstatat(fd_, "file", &status, 0), 0);
  EXPECT_GT(status.st_mtimespec.tv_sec, 0);
}

}  // namespace
