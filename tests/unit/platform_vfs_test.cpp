// File access from kernel context on real paths, and the caller's passed
// descriptors as the same kind of file.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "test_util.h"

namespace {

class PlatformVfs : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "mirvol_vfs_XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string at(const std::string &rel) const { return dir_ + "/" + rel; }
  static std::string contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void put(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  std::string dir_;
};

// Closes a file at the end of a test, whatever happened.
struct FileCloser {
  struct file *f;
  ~FileCloser() {
    if (!IS_ERR_OR_NULL(f)) filp_close(f, nullptr);
  }
};

TEST_F(PlatformVfs, WritesAndReadsAtPositions) {
  const std::string name = at("000000000000001A.dat");
  struct file *f = filp_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_LARGEFILE, 0666);
  ASSERT_FALSE(IS_ERR(f)) << PTR_ERR(f);
  FileCloser closer{f};

  loff_t pos = 0;
  EXPECT_EQ(kernel_write(f, "hello", 5, &pos), 5);
  EXPECT_EQ(pos, 5);
  pos = 10;
  EXPECT_EQ(kernel_write(f, "XY", 2, &pos), 2);
  EXPECT_EQ(pos, 12);

  char buf[64] = {};
  pos = 0;
  EXPECT_EQ(kernel_read(f, buf, sizeof(buf), &pos), 12) << "a read stops at the end";
  EXPECT_EQ(std::string(buf, 12), std::string("hello\0\0\0\0\0XY", 12)) << "a hole reads as zeros";
  EXPECT_EQ(pos, 12);
  EXPECT_EQ(kernel_read(f, buf, sizeof(buf), &pos), 0);
  pos = 3;
  EXPECT_EQ(kernel_read(f, buf, 2, &pos), 2);
  EXPECT_EQ(std::string(buf, 2), "lo");

  // A null position is the file's own, which vfs_llseek moves.
  EXPECT_EQ(f->f_pos, 0);
  EXPECT_EQ(kernel_write(f, "HE", 2, nullptr), 2);
  EXPECT_EQ(f->f_pos, 2);
  EXPECT_EQ(vfs_llseek(f, 0, SEEK_END), 12);
  EXPECT_EQ(vfs_llseek(f, -2, SEEK_CUR), 10);
  EXPECT_EQ(kernel_read(f, buf, sizeof(buf), &f->f_pos), 2);
  EXPECT_EQ(std::string(buf, 2), "XY");
  EXPECT_EQ(vfs_llseek(f, -1, SEEK_SET), -EINVAL);
  EXPECT_EQ(vfs_fsync(f, 0), 0);
  EXPECT_EQ(vfs_fsync(f, 1), 0);

  struct kstat st;
  ASSERT_EQ(vfs_stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.size, 12);
  EXPECT_TRUE(S_ISREG(st.mode));
  EXPECT_FALSE(S_ISDIR(st.mode));
  EXPECT_EQ(contents(name), std::string("HEllo\0\0\0\0\0XY", 12));

  // Create-exclusive refuses a name that exists.
  struct file *again = filp_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_TRUE(IS_ERR(again));
  EXPECT_EQ(PTR_ERR(again), -EEXIST);
}

TEST_F(PlatformVfs, OpenFlagsDecideWhatReadsAndWritesDo) {
  const std::string name = at("f");
  put(name, "0123456789");

  struct file *ro = filp_open(name.c_str(), O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(ro));
  FileCloser c1{ro};
  loff_t pos = 0;
  EXPECT_EQ(kernel_write(ro, "x", 1, &pos), -EBADF);
  EXPECT_EQ(pos, 0);

  struct file *app = filp_open(name.c_str(), O_WRONLY | O_APPEND, 0);
  ASSERT_FALSE(IS_ERR(app));
  FileCloser c2{app};
  pos = 0;
  EXPECT_EQ(kernel_write(app, "ab", 2, &pos), 2);
  EXPECT_EQ(pos, 12) << "an append moves the position to the new end";
  EXPECT_EQ(contents(name), "0123456789ab");

  struct file *tr = filp_open(name.c_str(), O_RDWR | O_TRUNC, 0);
  ASSERT_FALSE(IS_ERR(tr));
  FileCloser c3{tr};
  struct kstat st;
  ASSERT_EQ(vfs_stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.size, 0);
}

TEST_F(PlatformVfs, PathCallsFailWithTheKernelsErrors) {
  put(at("file"), "x");
  ASSERT_EQ(vfs_mkdir(at("dir").c_str(), 0755), 0);
  put(at("dir/inner"), "y");
  struct kstat st;
  struct path p;
  struct Case {
    const char *what;
    std::function<long()> call;
    long want;
  };
  const Case cases[] = {
      {"open a missing file", [&] { return PTR_ERR(filp_open(at("nope").c_str(), O_RDONLY, 0)); },
       -ENOENT},
      {"create below a missing directory",
       [&] { return PTR_ERR(filp_open(at("nope/x").c_str(), O_RDWR | O_CREAT, 0666)); }, -ENOENT},
      {"open below a file", [&] { return PTR_ERR(filp_open(at("file/x").c_str(), O_RDONLY, 0)); },
       -ENOTDIR},
      {"open a directory for writing",
       [&] { return PTR_ERR(filp_open(at("dir").c_str(), O_RDWR, 0)); }, -EISDIR},
      {"mkdir over a directory", [&] { return (long)vfs_mkdir(at("dir").c_str(), 0755); }, -EEXIST},
      {"mkdir over a file", [&] { return (long)vfs_mkdir(at("file").c_str(), 0755); }, -EEXIST},
      {"mkdir below a missing directory",
       [&] { return (long)vfs_mkdir(at("nope/d").c_str(), 0755); }, -ENOENT},
      {"mkdir below a file", [&] { return (long)vfs_mkdir(at("file/d").c_str(), 0755); }, -ENOTDIR},
      {"unlink a missing name", [&] { return (long)vfs_unlink(at("nope").c_str()); }, -ENOENT},
      {"unlink a directory", [&] { return (long)vfs_unlink(at("dir").c_str()); }, -EISDIR},
      {"rmdir a directory with entries", [&] { return (long)vfs_rmdir(at("dir").c_str()); },
       -ENOTEMPTY},
      {"rmdir a file", [&] { return (long)vfs_rmdir(at("file").c_str()); }, -ENOTDIR},
      {"rmdir a missing name", [&] { return (long)vfs_rmdir(at("nope").c_str()); }, -ENOENT},
      {"stat a missing name", [&] { return (long)vfs_stat(at("nope").c_str(), &st); }, -ENOENT},
      {"stat below a file", [&] { return (long)vfs_stat(at("file/x").c_str(), &st); }, -ENOTDIR},
      {"look up a missing name", [&] { return (long)kern_path(at("nope").c_str(), 0, &p); },
       -ENOENT},
      {"look up a file as a directory",
       [&] { return (long)kern_path(at("file").c_str(), LOOKUP_DIRECTORY, &p); }, -ENOTDIR},
      {"look up an empty name", [&] { return (long)kern_path("", LOOKUP_FOLLOW, &p); }, -ENOENT},
  };
  for (const auto &tc : cases) {
    SCOPED_TRACE(tc.what);
    EXPECT_EQ(tc.call(), tc.want);
  }
  // Nothing the failures touched changed.
  EXPECT_EQ(contents(at("file")), "x");
  EXPECT_EQ(contents(at("dir/inner")), "y");
}

TEST_F(PlatformVfs, DirectoriesAreMadeWithTheirExactModeAndRemoved) {
  // The kernel's own mkdir applies no umask.
  mode_t old = umask(077);
  int r1 = vfs_mkdir(at("a").c_str(), 0755);
  int r2 = vfs_mkdir(at("a/5").c_str(), 0755);
  umask(old);
  ASSERT_EQ(r1, 0);
  ASSERT_EQ(r2, 0);
  struct kstat st;
  ASSERT_EQ(vfs_stat(at("a/5").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.mode));
  EXPECT_EQ(st.mode & 07777, 0755);

  put(at("a/5/f"), "data");
  EXPECT_EQ(vfs_unlink(at("a/5/f").c_str()), 0);
  EXPECT_EQ(vfs_stat(at("a/5/f").c_str(), &st), -ENOENT);
  EXPECT_EQ(vfs_rmdir(at("a/5").c_str()), 0);
  EXPECT_EQ(vfs_stat(at("a/5").c_str(), &st), -ENOENT);
}

TEST_F(PlatformVfs, LookupFollowsLinksWhenAskedAndGivesCurrentStatus) {
  ASSERT_EQ(vfs_mkdir(at("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink(at("real").c_str(), at("link").c_str()), 0);
  put(at("real/f"), "12345");
  long before = alloc_outstanding();

  struct path p;
  ASSERT_EQ(kern_path(at("link").c_str(), LOOKUP_FOLLOW | LOOKUP_DIRECTORY, &p), 0);
  EXPECT_TRUE(S_ISDIR(p.mode));
  char *real = realpath(at("real").c_str(), nullptr);
  EXPECT_STREQ(p.name, real);
  free(real);
  path_put(&p);

  ASSERT_EQ(kern_path(at("link").c_str(), 0, &p), 0);
  EXPECT_TRUE(S_ISLNK(p.mode)) << "without LOOKUP_FOLLOW the link itself is found";
  path_put(&p);

  ASSERT_EQ(kern_path(at("link/f").c_str(), LOOKUP_FOLLOW, &p), 0);
  put(at("real/f"), "1234567");
  struct kstat st;
  ASSERT_EQ(vfs_getattr(&p, &st), 0);
  EXPECT_EQ(st.size, 7) << "the status is read when asked, not at lookup";
  EXPECT_TRUE(S_ISREG(st.mode));
  ASSERT_EQ(vfs_unlink(p.name), 0);
  EXPECT_EQ(vfs_getattr(&p, &st), -ENOENT);
  path_put(&p);
  EXPECT_EQ(alloc_outstanding(), before) << "path_put frees what the lookup kept";

  ASSERT_EQ(vfs_lstat(at("link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.mode));
  ASSERT_EQ(vfs_stat(at("link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.mode));
}

TEST_F(PlatformVfs, PassedDescriptorIsAFileTheFileCallsWorkOn) {
  const std::string name = at("image");
  put(name, "passed data");
  int fd = open(name.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const int nums[] = {5};
  const int os_fds[] = {fd};
  struct user_context ctx = {nullptr, 0, 0, nums, os_fds, 1};
  set_user_context(&ctx);
  struct file *f = fget(5);
  struct file *none = fget(6);
  set_user_context(nullptr);
  close(fd);  // the file holds its own duplicate
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(none, nullptr);

  char buf[32] = {};
  loff_t pos = 7;
  EXPECT_EQ(kernel_read(f, buf, sizeof(buf), &pos), 4);
  EXPECT_EQ(std::string(buf, 4), "data");
  pos = 0;
  EXPECT_EQ(kernel_write(f, "PASSED", 6, &pos), 6);
  EXPECT_EQ(vfs_fsync(f, 1), 0);
  fput(f);
  EXPECT_EQ(contents(name), "PASSED data");

  // A file opened by path is dropped the same way.
  struct file *g = filp_open(name.c_str(), O_RDONLY, 0);
  ASSERT_FALSE(IS_ERR(g));
  pos = 0;
  EXPECT_EQ(kernel_read(g, buf, 6, &pos), 6);
  EXPECT_EQ(std::string(buf, 6), "PASSED");
  fput(g);
}

// A passed pipe has no position: both directions go through it as a
// stream and leave the position given untouched.
TEST_F(PlatformVfs, PassedPipeIsReadAndWrittenAsAStream) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  const int nums[] = {3, 4};
  const int os_fds[] = {fds[0], fds[1]};
  struct user_context ctx = {nullptr, 0, 0, nums, os_fds, 2};
  set_user_context(&ctx);
  struct file *rd = fget(3);
  struct file *wr = fget(4);
  set_user_context(nullptr);
  close(fds[0]);
  close(fds[1]);
  ASSERT_NE(rd, nullptr);
  ASSERT_NE(wr, nullptr);

  loff_t pos = 100;
  EXPECT_EQ(kernel_write(wr, "stream", 6, &pos), 6);
  EXPECT_EQ(pos, 100);
  char buf[16] = {};
  EXPECT_EQ(kernel_read(rd, buf, sizeof(buf), &pos), 6);
  EXPECT_EQ(std::string(buf, 6), "stream");
  EXPECT_EQ(pos, 100);
  fput(wr);
  fput(rd);
}

#ifdef MIRVOL_ATOMIC_CHECKS
TEST(PlatformVfsDeathTest, FileCallsUnderASpinlockAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        spinlock_t l;
        spin_lock_init(&l);
        spin_lock(&l);
        struct kstat st;
        vfs_stat("/", &st);
      },
      "sleeping function called from atomic context");
}
#endif

}  // namespace
