// The module's load-time interfaces: /proc entries read on demand by the
// host, and the module loader's parameter parsing.

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

using testutil::eventually;
using testutil::KThread;
using testutil::LogCapture;

namespace {

// Reads a /proc file; the error (0 on success) goes to *err.
std::string read_proc(const char *path, int *err) {
  char *data = nullptr;
  size_t len = 0;
  *err = proc_read(path, &data, &len);
  std::string s = data ? std::string(data, len) : std::string();
  proc_read_free(data);
  return s;
}

std::vector<std::string> list_proc(const char *path, int *err) {
  std::vector<std::string> names;
  *err = proc_list(
      path,
      [](void *arg, const char *name, umode_t) {
        static_cast<std::vector<std::string> *>(arg)->emplace_back(name);
      },
      &names);
  return names;
}

// Removes a top-level entry at the end of a test, whatever happened.
struct ProcCleanup {
  const char *name;
  ~ProcCleanup() { remove_proc_subtree(name, nullptr); }
};

int show_minor(struct seq_file *m, void *) {
  seq_printf(m, "minor %d\n", *static_cast<int *>(m->private_data));
  return 0;
}
const struct proc_file_ops minor_ops = {show_minor, nullptr};

TEST(PlatformProc, TreeOfFilesAndDirectoriesIsCreatedReadAndRemoved) {
  ProcCleanup c1{"tp_stat"}, c2{"tp_perf"};
  static int stat_value = 7;
  int minors[2] = {3, 1};
  ASSERT_NE(proc_create_data("tp_stat", 0, nullptr, &minor_ops, &stat_value), nullptr);
  struct proc_dir_entry *dir = proc_mkdir("tp_perf", nullptr);
  ASSERT_NE(dir, nullptr);
  ASSERT_NE(proc_create_data("NMP3", 0644, dir, &minor_ops, &minors[0]), nullptr);
  ASSERT_NE(proc_create_single_data("NMP1", 0644, dir, show_minor, &minors[1]), nullptr);

  umode_t mode = 0;
  ASSERT_EQ(proc_getattr("tp_stat", &mode), 0);
  EXPECT_EQ(mode, S_IFREG | 0444) << "no mode bits: a regular file readable by all";
  ASSERT_EQ(proc_getattr("tp_perf", &mode), 0);
  EXPECT_EQ(mode, S_IFDIR | 0555);
  ASSERT_EQ(proc_getattr("/tp_perf/NMP3", &mode), 0);
  EXPECT_EQ(mode, S_IFREG | 0644);

  int err;
  auto top = list_proc("", &err);
  EXPECT_EQ(err, 0);
  EXPECT_NE(std::find(top.begin(), top.end(), "tp_stat"), top.end());
  EXPECT_NE(std::find(top.begin(), top.end(), "tp_perf"), top.end());
  EXPECT_EQ(list_proc("tp_perf", &err), (std::vector<std::string>{"NMP3", "NMP1"}));
  list_proc("tp_stat", &err);
  EXPECT_EQ(err, -ENOTDIR);

  EXPECT_EQ(read_proc("tp_stat", &err), "minor 7\n");
  EXPECT_EQ(err, 0);
  EXPECT_EQ(read_proc("tp_perf/NMP3", &err), "minor 3\n");
  EXPECT_EQ(read_proc("tp_perf/NMP1", &err), "minor 1\n");
  read_proc("tp_perf", &err);
  EXPECT_EQ(err, -EISDIR);

  // A name taken, a file as parent, a path as name: refused.
  EXPECT_EQ(proc_create_data("NMP3", 0, dir, &minor_ops, &minors[0]), nullptr);
  struct proc_dir_entry *file = proc_create_data("tp_file", 0, dir, &minor_ops, &minors[0]);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(proc_mkdir("below_a_file", file), nullptr);
  EXPECT_EQ(proc_mkdir("a/b", nullptr), nullptr);

  // Removing the directory takes its files with it.
  EXPECT_EQ(remove_proc_subtree("tp_perf", nullptr), 0);
  EXPECT_EQ(proc_getattr("tp_perf", &mode), -ENOENT);
  read_proc("tp_perf/NMP3", &err);
  EXPECT_EQ(err, -ENOENT);
  EXPECT_EQ(remove_proc_subtree("tp_perf", nullptr), -ENOENT);

  remove_proc_entry("tp_stat", nullptr);
  read_proc("tp_stat", &err);
  EXPECT_EQ(err, -ENOENT) << "a removed file reads as missing";
  list_proc("tp_perf", &err);
  EXPECT_EQ(err, -ENOENT);
}

TEST(PlatformProc, RemovingANonEmptyDirectoryWarnsAndRemovesItsFiles) {
  ProcCleanup c{"tp_full"};
  int v = 0;
  struct proc_dir_entry *dir = proc_mkdir("tp_full", nullptr);
  ASSERT_NE(dir, nullptr);
  ASSERT_NE(proc_create_data("inner", 0, dir, &minor_ops, &v), nullptr);
  LogCapture log;
  remove_proc_entry("tp_full", nullptr);
  EXPECT_TRUE(log.contains("removing non-empty directory"));
  umode_t mode;
  EXPECT_EQ(proc_getattr("tp_full/inner", &mode), -ENOENT);
  // The name is free again.
  ASSERT_NE(proc_mkdir("tp_full", nullptr), nullptr);
}

// A show routine that writes a given text with every seq_file call.
struct BigText {
  int lines;
  int calls = 0;
};
int show_big(struct seq_file *m, void *) {
  auto *b = static_cast<BigText *>(m->private_data);
  b->calls++;
  for (int i = 0; i < b->lines; i++) seq_printf(m, "line %05d of the status text\n", i);
  seq_puts(m, "end");
  seq_putc(m, '\n');
  static const char bin[3] = {'a', 0, 'b'};
  seq_write(m, bin, sizeof(bin));
  return 0;
}

TEST(PlatformProc, OneShowMakesATextLargerThanAPage) {
  ProcCleanup c{"tp_big"};
  BigText b{5000};
  static const struct proc_file_ops ops = {show_big, nullptr};
  ASSERT_NE(proc_create_data("tp_big", 0, nullptr, &ops, &b), nullptr);
  std::string want;
  char line[64];
  for (int i = 0; i < b.lines; i++) {
    snprintf(line, sizeof(line), "line %05d of the status text\n", i);
    want += line;
  }
  want += "end\n";
  want += std::string("a\0b", 3);
  ASSERT_GT(want.size(), 4096u * 30);
  int err;
  EXPECT_EQ(read_proc("tp_big", &err), want);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(b.calls, 1) << "one read runs show once";
  EXPECT_EQ(read_proc("tp_big", &err), want);
  EXPECT_EQ(b.calls, 2) << "every read makes the text afresh";
}

struct ShowCase {
  const char *what;
  std::function<int(struct seq_file *)> show;
  int want_err;
  size_t want_len;
};
int show_case(struct seq_file *m, void *) {
  return (*static_cast<std::function<int(struct seq_file *)> *>(m->private_data))(m);
}

TEST(PlatformProc, ShowResultsDecideTheRead) {
  const ShowCase cases[] = {
      {"an error from show", [](struct seq_file *m) { seq_puts(m, "partial"); return -EIO; },
       -EIO, 0},
      {"SEQ_SKIP gives an empty text",
       [](struct seq_file *m) { seq_puts(m, "dropped"); return SEQ_SKIP; }, 0, 0},
      {"no output", [](struct seq_file *) { return 0; }, 0, 0},
      {"a text at the limit",
       [](struct seq_file *m) {
         std::string chunk(4096, 'x');
         for (size_t i = 0; i < PROC_READ_MAX / chunk.size(); i++)
           seq_write(m, chunk.data(), chunk.size());
         return 0;
       },
       0, PROC_READ_MAX},
      {"a text past the limit",
       [](struct seq_file *m) {
         std::string chunk(4096, 'x');
         for (size_t i = 0; i <= PROC_READ_MAX / chunk.size(); i++)
           seq_printf(m, "%s", chunk.c_str());
         EXPECT_TRUE(seq_has_overflowed(m));
         return 0;
       },
       -EFBIG, 0},
  };
  for (const auto &tc : cases) {
    SCOPED_TRACE(tc.what);
    ProcCleanup c{"tp_case"};
    auto fn = tc.show;
    ASSERT_NE(proc_create_single_data("tp_case", 0, nullptr, show_case, &fn), nullptr);
    int err;
    std::string text = read_proc("tp_case", &err);
    EXPECT_EQ(err, tc.want_err);
    EXPECT_EQ(text.size(), tc.want_len);
  }
}

// Show holds until the test releases it.
struct HeldShow {
  struct completion entered, release;
  std::atomic<bool> finished{false};
  int *data;
};
int show_held(struct seq_file *m, void *) {
  auto *h = static_cast<HeldShow *>(m->private_data);
  complete(&h->entered);
  bool released = wait_for_completion_timeout(&h->release, 30 * HZ) != 0;
  seq_printf(m, "value %d\n", *h->data);
  h->finished = true;
  return released ? 0 : -ETIMEDOUT;
}

TEST(PlatformProc, RemoveWaitsForARunningShowAndReadsAfterItFail) {
  ProcCleanup c{"tp_held"};
  HeldShow h;
  init_completion(&h.entered);
  init_completion(&h.release);
  auto data = std::make_unique<int>(42);
  h.data = data.get();
  ASSERT_NE(proc_create_single_data("tp_held", 0, nullptr, show_held, &h), nullptr);

  // Lets a held show go however the test ends, before its threads are joined.
  struct Release {
    struct completion *c;
    ~Release() { complete_all(c); }
  };
  std::string text;
  int read_err = 1;
  KThread reader([&] {
    text = read_proc("tp_held", &read_err);
    return 0;
  }, "tp_reader");
  Release release_reader{&h.release};
  ASSERT_NE(wait_for_completion_timeout(&h.entered, 10 * HZ), 0u) << "show never ran";

  std::atomic<bool> removed{false}, finished_before_return{false};
  KThread remover([&] {
    remove_proc_entry("tp_held", nullptr);
    finished_before_return = h.finished.load();
    removed = true;
    // The driver frees the entry's data once the removal has returned.
    data.reset();
    return 0;
  }, "tp_remover");
  Release release_remover{&h.release};

  // Once the entry is gone from the tree, new reads fail at once while the
  // removal still waits for the show inside.
  umode_t mode;
  ASSERT_TRUE(eventually([] {
    umode_t m;
    return proc_getattr("tp_held", &m) == -ENOENT;
  }));
  int err;
  read_proc("tp_held", &err);
  EXPECT_EQ(err, -ENOENT);
  EXPECT_FALSE(eventually([&] { return removed.load(); }, 100))
      << "remove returned while show was running";
  complete(&h.release);

  ASSERT_TRUE(reader.wait_done(10000));
  ASSERT_TRUE(remover.wait_done(10000));
  EXPECT_TRUE(finished_before_return.load());
  EXPECT_EQ(read_err, 0);
  EXPECT_EQ(text, "value 42\n");
  EXPECT_EQ(proc_getattr("tp_held", &mode), -ENOENT);
}

struct ChurnData {
  int value;
};
int show_churn(struct seq_file *m, void *) {
  seq_printf(m, "value %d\n", static_cast<ChurnData *>(m->private_data)->value);
  return 0;
}

TEST(PlatformProc, ReadersRaceCreationAndRemovalSafely) {
  ProcCleanup c{"tp_churn"};
  constexpr int kRounds = 300;
  std::atomic<bool> stop{false};
  std::atomic<int> good_reads{0}, bad_reads{0};
  std::vector<std::unique_ptr<KThread>> readers;
  for (int r = 0; r < 3; r++) {
    readers.push_back(std::make_unique<KThread>([&] {
      while (!stop) {
        int err;
        std::string s = read_proc("tp_churn/f", &err);
        if (err == 0 && s == "value 42\n") good_reads++;
        else if (err != -ENOENT) bad_reads++;
        umode_t mode;
        proc_getattr("tp_churn", &mode);
        int lerr;
        list_proc("tp_churn", &lerr);
      }
      return 0;
    }, "tp_churn_rd"));
  }
  struct Stop {
    std::atomic<bool> &s;
    ~Stop() { s = true; }
  } stop_readers{stop};
  for (int i = 0; i < kRounds; i++) {
    auto *d = new ChurnData{42};
    struct proc_dir_entry *dir = proc_mkdir("tp_churn", nullptr);
    ASSERT_NE(dir, nullptr);
    ASSERT_NE(proc_create_single_data("f", 0, dir, show_churn, d), nullptr);
    std::this_thread::yield();
    if (i % 2) remove_proc_subtree("tp_churn", nullptr);
    else proc_remove(dir);
    // Freed at once: a show still running on it would be caught by ASan.
    d->value = -1;
    delete d;
  }
  stop = true;
  for (auto &r : readers) EXPECT_TRUE(r->wait_done(10000));
  readers.clear();
  EXPECT_EQ(bad_reads.load(), 0);
}

long write_keep(void *data, const char *buf, size_t count, loff_t *) {
  static_cast<std::string *>(data)->append(buf, count);
  return (long)count;
}
int show_string(struct seq_file *m, void *) {
  seq_puts(m, static_cast<std::string *>(m->private_data)->c_str());
  return 0;
}

TEST(PlatformProc, WritesReachTheWriteRoutineOnly) {
  ProcCleanup c1{"tp_w"}, c2{"tp_ro"};
  std::string got;
  static const struct proc_file_ops rw = {show_string, write_keep};
  ASSERT_NE(proc_create_data("tp_w", 0644, nullptr, &rw, &got), nullptr);
  ASSERT_NE(proc_create_single_data("tp_ro", 0, nullptr, show_string, &got), nullptr);
  EXPECT_EQ(proc_write("tp_w", "abc", 3, 0), 3);
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(proc_write("tp_ro", "x", 1, 0), -EINVAL);
  EXPECT_EQ(proc_write("tp_none", "x", 1, 0), -ENOENT);
  EXPECT_EQ(got, "abc");
}

// --- module parameters ---

// Parameters declared the way the driver declares its own.
int tm_major = 218;
module_param(tm_major, int, 0);
MODULE_PARM_DESC(tm_major, "test major");
int tm_minor[4];
unsigned int tm_minor_num;
module_param_array(tm_minor, int, &tm_minor_num, 0600);
char *tm_name;
module_param(tm_name, charp, 0);

TEST(PlatformModparam, DeclaredParametersAreSetAndResetToTheirStartValues) {
  const char *argv[] = {"tm_major=0x10", "tm_minor=3,1,7", "tm_name=hist"};
  ASSERT_EQ(module_params_parse(3, argv), 0);
  EXPECT_EQ(tm_major, 16);
  EXPECT_EQ(tm_minor_num, 3u);
  EXPECT_EQ(tm_minor[0], 3);
  EXPECT_EQ(tm_minor[2], 7);
  ASSERT_NE(tm_name, nullptr);
  EXPECT_STREQ(tm_name, "hist");

  LogCapture log;
  const char *bad[] = {"tm_nosuch=1"};
  EXPECT_EQ(module_params_parse(1, bad), -ENOENT);
  EXPECT_TRUE(log.contains("mirvol: Unknown parameter `tm_nosuch'"));

  module_params_reset();
  EXPECT_EQ(tm_major, 218);
  EXPECT_EQ(tm_minor_num, 0u);
  EXPECT_EQ(tm_minor[0], 0);
  EXPECT_EQ(tm_name, nullptr);
}

// Each parameter is listed once, in declaration order, with the description
// declared beside it, and without one where none was declared.
TEST(PlatformModparam, ParametersAreListedWithTheirDescriptions) {
  std::vector<std::pair<std::string, std::string>> got;
  module_params_for_each(
      [](const struct kernel_param *p, const char *desc, void *ctx) {
        static_cast<std::vector<std::pair<std::string, std::string>> *>(ctx)->emplace_back(
            p->name, desc ? desc : "(none)");
      },
      &got);
  std::vector<std::pair<std::string, std::string>> mine;
  for (auto &e : got)
    if (e.first.rfind("tm_", 0) == 0) mine.push_back(e);
  std::vector<std::pair<std::string, std::string>> want = {
      {"tm_major", "test major"}, {"tm_minor", "(none)"}, {"tm_name", "(none)"}};
  EXPECT_EQ(mine, want);
}

// The driver's own parameters, in a table of the test's.
struct Params {
  int nmp_minor[64] = {};
  unsigned int minor_num = 0;
  int g_nmp_count = 0;
  int g_mirvol_major = 218;
  unsigned int u = 0;
  bool b = false;
  char *name = nullptr;
  char str[8] = "";
  std::vector<struct kernel_param> table() {
    return {
        kparam_array_int("nmp_minor", nmp_minor, 64, &minor_num, 0600),
        kparam_int("g_nmp_count", &g_nmp_count, 0),
        kparam_int("g_mirvol_major", &g_mirvol_major, 0),
        kparam_uint("u", &u, 0),
        kparam_bool("b", &b, 0),
        kparam_charp("name", &name, 0),
        kparam_string("str", str, sizeof(str), 0),
    };
  }
};

std::string values(int n, int first = 0) {
  std::string s = "nmp_minor=";
  for (int i = 0; i < n; i++) {
    if (i) s += ',';
    s += std::to_string(first + i);
  }
  return s;
}

TEST(PlatformModparam, ArgumentsAreParsedAsTheModuleLoaderDoes) {
  const std::string v64 = values(64), v65 = values(65);
  struct Case {
    std::vector<std::string> args;
    int want;
    std::function<void(const Params &)> check;
    const char *log;
  };
  const Case cases[] = {
      {{"nmp_minor=3,1,7"}, 0,
       [](const Params &p) {
         EXPECT_EQ(p.minor_num, 3u);
         EXPECT_EQ(p.nmp_minor[0], 3);
         EXPECT_EQ(p.nmp_minor[1], 1);
         EXPECT_EQ(p.nmp_minor[2], 7);
         EXPECT_EQ(p.nmp_minor[3], 0);
       },
       nullptr},
      {{v64}, 0,
       [](const Params &p) {
         EXPECT_EQ(p.minor_num, 64u);
         EXPECT_EQ(p.nmp_minor[63], 63);
       },
       nullptr},
      {{v65}, -EINVAL, [](const Params &p) { EXPECT_EQ(p.minor_num, 0u); },
       "nmp_minor: can only take 64 arguments"},
      {{"nmp_minor=1,2", "nmp_minor=9"}, 0,
       [](const Params &p) { EXPECT_EQ(p.minor_num, 1u); EXPECT_EQ(p.nmp_minor[0], 9); }, nullptr},
      {{"nmp_minor=3,,7"}, -EINVAL, nullptr, "`3,,7' invalid for parameter `nmp_minor'"},
      {{"nmp_minor=3,1,"}, -EINVAL, nullptr, nullptr},
      {{"g_mirvol_major=0x10"}, 0, [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, 16); },
       nullptr},
      {{"g_mirvol_major=010"}, 0, [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, 8); }, nullptr},
      {{"g_mirvol_major=-5"}, 0, [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, -5); },
       nullptr},
      {{"g_mirvol_major=-2147483648"}, 0,
       [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, INT_MIN); }, nullptr},
      {{"g_mirvol_major=2147483648"}, -ERANGE, nullptr, "invalid for parameter `g_mirvol_major'"},
      {{"g_mirvol_major=12abc"}, -EINVAL, nullptr, nullptr},
      {{"g_mirvol_major=0x"}, -EINVAL, nullptr, nullptr},
      {{"g_mirvol_major=09"}, -EINVAL, nullptr, nullptr},
      {{"g_mirvol_major=42\n"}, 0, [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, 42); },
       nullptr},
      {{"g-mirvol-major=7"}, 0, [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, 7); }, nullptr},
      {{"g_mirvol_major"}, -EINVAL, [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, 218); },
       "`' invalid for parameter `g_mirvol_major'"},
      {{"g_mirvol_major="}, -EINVAL, nullptr, nullptr},
      {{"nosuch=1"}, -ENOENT, nullptr, "mirvol: Unknown parameter `nosuch'"},
      // The loader stops at the first failure; what came before stays set.
      {{"g_mirvol_major=5", "bogus", "g_nmp_count=9"}, -ENOENT,
       [](const Params &p) { EXPECT_EQ(p.g_mirvol_major, 5); EXPECT_EQ(p.g_nmp_count, 0); },
       "Unknown parameter `bogus'"},
      {{"u=4294967295"}, 0, [](const Params &p) { EXPECT_EQ(p.u, 4294967295u); }, nullptr},
      {{"u=-1"}, -EINVAL, nullptr, nullptr},
      {{"u=4294967296"}, -ERANGE, nullptr, nullptr},
      {{"b"}, 0, [](const Params &p) { EXPECT_TRUE(p.b); }, nullptr},
      {{"b=y", "b=off"}, 0, [](const Params &p) { EXPECT_FALSE(p.b); }, nullptr},
      {{"b=maybe"}, -EINVAL, nullptr, nullptr},
      {{"name=/var/hist"}, 0, [](const Params &p) { EXPECT_STREQ(p.name, "/var/hist"); }, nullptr},
      {{"str=1234567"}, 0, [](const Params &p) { EXPECT_STREQ(p.str, "1234567"); }, nullptr},
      {{"str=12345678"}, -ENOSPC, [](const Params &p) { EXPECT_STREQ(p.str, ""); },
       "`12345678' too large for parameter `str'"},
  };
  for (const auto &tc : cases) {
    SCOPED_TRACE(tc.args.front());
    Params p;
    auto table = p.table();
    std::vector<const char *> argv;
    for (auto &a : tc.args) argv.push_back(a.c_str());
    LogCapture log;
    EXPECT_EQ(module_params_parse_table(table.data(), (unsigned)table.size(), (int)argv.size(),
                                        argv.data(), "mirvol"),
              tc.want);
    if (tc.check) tc.check(p);
    if (tc.log) {
      EXPECT_TRUE(log.contains(tc.log)) << "missing log line: " << tc.log;
    }
    if (tc.want == 0) {
      EXPECT_TRUE(log.texts().empty());
    }
  }
}

}  // namespace
