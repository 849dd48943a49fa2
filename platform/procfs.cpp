// procfs: the tree of entries, seq_file output, and reads by the host.
//
// The tree is guarded by tree_mu. A reader finds its entry and counts itself
// as a user under that lock, runs the show routine without it, and drops
// the count under it again. A removal unlinks the entries under the lock,
// so no new user can find them, waits for their user counts to reach zero,
// and then frees them.

#include "procfs.h"

#include <errno.h>

#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "printk.h"
#include "task.h"
#include "procfs_host.h"

struct proc_dir_entry {
  std::string name;
  umode_t mode = 0;
  struct proc_dir_entry *parent = nullptr;
  std::vector<struct proc_dir_entry *> children;  // creation order; owned
  const struct proc_file_ops *ops = nullptr;
  proc_show_fn show = nullptr;  // for single-show files without an ops table
  void *data = nullptr;
  int users = 0;  // show and write routines running on it
};

namespace {

constexpr size_t kNameMax = 255;
constexpr size_t kFirstBuffer = 4096;

std::mutex tree_mu;
std::condition_variable users_cv;  // a user count dropped
struct proc_dir_entry *root_entry() {
  static auto *root = [] {
    auto *r = new proc_dir_entry;
    r->mode = S_IFDIR | S_IRUGO | S_IXUGO;
    return r;
  }();
  return root;
}
// Every entry in the tree, for checking the parents callers pass.
std::unordered_set<const struct proc_dir_entry *> &live() {
  static auto *set = new std::unordered_set<const struct proc_dir_entry *>;
  return *set;
}

// "/proc/a/b" of an entry, for log lines (tree_mu held).
std::string full_name(const struct proc_dir_entry *e) {
  std::string s;
  for (; e && e != root_entry(); e = e->parent) s = "/" + e->name + s;
  return "/proc" + s;
}

struct proc_dir_entry *child_of(const struct proc_dir_entry *dir, const char *name, size_t len) {
  for (auto *c : dir->children)
    if (c->name.size() == len && memcmp(c->name.data(), name, len) == 0) return c;
  return nullptr;
}

// The entry at a host path (tree_mu held); null when there is none.
struct proc_dir_entry *lookup(const char *path) {
  struct proc_dir_entry *e = root_entry();
  const char *p = path ? path : "";
  for (;;) {
    while (*p == '/') p++;
    if (!*p) return e;
    const char *end = strchr(p, '/');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    if (!S_ISDIR(e->mode)) return nullptr;
    e = child_of(e, p, len);
    if (!e) return nullptr;
    p += len;
  }
}

bool valid_name(const char *name) {
  if (!name || !*name || strchr(name, '/')) return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  return strlen(name) <= kNameMax;
}

struct proc_dir_entry *parent_dir(struct proc_dir_entry *parent) {
  return parent ? parent : root_entry();
}

struct proc_dir_entry *add_entry(const char *name, umode_t mode, struct proc_dir_entry *parent,
                                 const struct proc_file_ops *ops, proc_show_fn show, void *data) {
  if (!valid_name(name)) {
    printk(KERN_ERR "procfs: invalid entry name '%s'\n", name ? name : "(null)");
    return nullptr;
  }
  auto *e = new (std::nothrow) proc_dir_entry;
  if (!e) return nullptr;
  e->name = name;
  e->mode = mode;
  e->ops = ops;
  e->show = show;
  e->data = data;

  std::lock_guard<std::mutex> g(tree_mu);
  struct proc_dir_entry *dir = parent_dir(parent);
  if (parent && !live().count(parent)) {
    printk(KERN_ERR "procfs: parent of '%s' is not a live entry\n", name);
  } else if (!S_ISDIR(dir->mode)) {
    printk(KERN_ERR "procfs: parent %s of '%s' is not a directory\n", full_name(dir).c_str(),
           name);
  } else if (child_of(dir, name, strlen(name))) {
    printk(KERN_WARNING "proc_dir_entry '%s/%s' already registered\n", full_name(dir).c_str(),
           name);
  } else {
    e->parent = dir;
    dir->children.push_back(e);
    live().insert(e);
    return e;
  }
  delete e;
  return nullptr;
}

void collect_subtree(struct proc_dir_entry *e, std::vector<struct proc_dir_entry *> *out) {
  out->push_back(e);
  for (auto *c : e->children) collect_subtree(c, out);
}

// Unlinks e and everything below it, waits until no routine runs on any of
// them, and frees them. Takes tree_mu.
void unlink_and_free(std::unique_lock<std::mutex> &lk, struct proc_dir_entry *e) {
  auto &sib = e->parent->children;
  for (auto it = sib.begin(); it != sib.end(); ++it) {
    if (*it == e) {
      sib.erase(it);
      break;
    }
  }
  std::vector<struct proc_dir_entry *> gone;
  collect_subtree(e, &gone);
  for (auto *g : gone) live().erase(g);
  users_cv.wait(lk, [&] {
    for (auto *g : gone)
      if (g->users) return false;
    return true;
  });
  lk.unlock();
  for (auto *g : gone) delete g;
}

// Finds the file at a host path and counts the caller as its user.
int get_file(const char *path, struct proc_dir_entry **out) {
  std::lock_guard<std::mutex> g(tree_mu);
  struct proc_dir_entry *e = lookup(path);
  if (!e) return -ENOENT;
  if (S_ISDIR(e->mode)) return -EISDIR;
  e->users++;
  *out = e;
  return 0;
}

void put_file(struct proc_dir_entry *e) {
  std::lock_guard<std::mutex> g(tree_mu);
  if (--e->users == 0) users_cv.notify_all();
}

// Makes room for `more` bytes of text and `slack` bytes after them (the
// terminator a formatter writes); false when the text would outgrow the cap.
bool seq_reserve(struct seq_file *m, size_t more, size_t slack = 0) {
  if (m->overflowed) return false;
  size_t need = m->count + more;
  if (need > PROC_READ_MAX) {
    m->overflowed = true;
    return false;
  }
  if (need + slack <= m->size) return true;
  size_t size = m->size ? m->size : kFirstBuffer;
  while (size < need + slack) size *= 2;
  if (size > PROC_READ_MAX + 1) size = PROC_READ_MAX + 1;
  auto *nb = static_cast<char *>(realloc(m->buf, size));
  if (!nb) {
    m->overflowed = true;
    return false;
  }
  m->buf = nb;
  m->size = size;
  return true;
}

}  // namespace

void seq_vprintf(struct seq_file *m, const char *fmt, va_list ap) {
  if (m->overflowed) return;
  va_list ap2;
  va_copy(ap2, ap);
  size_t room = m->size - m->count;
  int n = vsnprintf(m->buf ? m->buf + m->count : nullptr, m->buf ? room : 0, fmt, ap);
  if (n >= 0 && (size_t)n >= room) {
    // Grow (with room for the terminator vsnprintf writes) and format again.
    if (seq_reserve(m, (size_t)n, 1))
      n = vsnprintf(m->buf + m->count, (size_t)n + 1, fmt, ap2);
    else
      n = -1;
  }
  va_end(ap2);
  if (n > 0) m->count += (size_t)n;
}

void seq_printf(struct seq_file *m, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  seq_vprintf(m, fmt, ap);
  va_end(ap);
}

int seq_write(struct seq_file *m, const void *data, size_t len) {
  if (!seq_reserve(m, len)) return -1;
  if (len) memcpy(m->buf + m->count, data, len);
  m->count += len;
  return 0;
}

void seq_puts(struct seq_file *m, const char *s) { seq_write(m, s, strlen(s)); }

void seq_putc(struct seq_file *m, char c) { seq_write(m, &c, 1); }

int seq_has_overflowed(struct seq_file *m) { return m->overflowed; }

struct proc_dir_entry *proc_mkdir_mode(const char *name, umode_t mode,
                                       struct proc_dir_entry *parent) {
  umode_t perm = mode & S_IALLUGO;
  if (!perm) perm = S_IRUGO | S_IXUGO;
  return add_entry(name, S_IFDIR | perm, parent, nullptr, nullptr, nullptr);
}

struct proc_dir_entry *proc_mkdir(const char *name, struct proc_dir_entry *parent) {
  return proc_mkdir_mode(name, 0, parent);
}

static umode_t file_mode(umode_t mode) {
  umode_t perm = mode & S_IALLUGO;
  if (!perm) perm = S_IRUGO;
  return S_IFREG | perm;
}

struct proc_dir_entry *proc_create_data(const char *name, umode_t mode,
                                        struct proc_dir_entry *parent,
                                        const struct proc_file_ops *ops, void *data) {
  if (!ops || !ops->show) {
    printk(KERN_ERR "procfs: '%s' has no show routine\n", name ? name : "(null)");
    return nullptr;
  }
  return add_entry(name, file_mode(mode), parent, ops, nullptr, data);
}

struct proc_dir_entry *proc_create(const char *name, umode_t mode, struct proc_dir_entry *parent,
                                   const struct proc_file_ops *ops) {
  return proc_create_data(name, mode, parent, ops, nullptr);
}

struct proc_dir_entry *proc_create_single_data(const char *name, umode_t mode,
                                               struct proc_dir_entry *parent, proc_show_fn show,
                                               void *data) {
  if (!show) {
    printk(KERN_ERR "procfs: '%s' has no show routine\n", name ? name : "(null)");
    return nullptr;
  }
  return add_entry(name, file_mode(mode), parent, nullptr, show, data);
}

void remove_proc_entry(const char *name, struct proc_dir_entry *parent) {
  might_sleep_check("remove_proc_entry");
  std::unique_lock<std::mutex> lk(tree_mu);
  if (parent && !live().count(parent)) {
    printk(KERN_ERR "remove_proc_entry: parent of '%s' is not a live entry\n",
           name ? name : "(null)");
    return;
  }
  struct proc_dir_entry *dir = parent_dir(parent);
  struct proc_dir_entry *e = name ? child_of(dir, name, strlen(name)) : nullptr;
  if (!e) {
    printk(KERN_WARNING "remove_proc_entry: removing non-existing entry '%s/%s'\n",
           full_name(dir).c_str(), name ? name : "(null)");
    return;
  }
  if (!e->children.empty())
    printk(KERN_WARNING "remove_proc_entry: removing non-empty directory '%s', with '%s'\n",
           full_name(e).c_str(), e->children.front()->name.c_str());
  unlink_and_free(lk, e);
}

int remove_proc_subtree(const char *name, struct proc_dir_entry *parent) {
  might_sleep_check("remove_proc_subtree");
  std::unique_lock<std::mutex> lk(tree_mu);
  if (parent && !live().count(parent)) return -ENOENT;
  struct proc_dir_entry *e = name ? child_of(parent_dir(parent), name, strlen(name)) : nullptr;
  if (!e) return -ENOENT;
  unlink_and_free(lk, e);
  return 0;
}

void proc_remove(struct proc_dir_entry *de) {
  if (!de) return;
  might_sleep_check("proc_remove");
  std::unique_lock<std::mutex> lk(tree_mu);
  if (!live().count(de)) {
    printk(KERN_ERR "proc_remove: not a live entry\n");
    return;
  }
  unlink_and_free(lk, de);
}

int proc_getattr(const char *path, umode_t *mode) {
  std::lock_guard<std::mutex> g(tree_mu);
  struct proc_dir_entry *e = lookup(path);
  if (!e) return -ENOENT;
  if (mode) *mode = e->mode;
  return 0;
}

int proc_list(const char *path, proc_list_fn fn, void *arg) {
  std::vector<std::pair<std::string, umode_t>> names;
  {
    std::lock_guard<std::mutex> g(tree_mu);
    struct proc_dir_entry *e = lookup(path);
    if (!e) return -ENOENT;
    if (!S_ISDIR(e->mode)) return -ENOTDIR;
    for (auto *c : e->children) names.emplace_back(c->name, c->mode);
  }
  for (auto &n : names) fn(arg, n.first.c_str(), n.second);
  return 0;
}

int proc_read(const char *path, char **data, size_t *len) {
  *data = nullptr;
  *len = 0;
  struct proc_dir_entry *e;
  int err = get_file(path, &e);
  if (err) return err;

  struct seq_file m = {};
  m.private_data = e->data;
  proc_show_fn show = e->ops ? e->ops->show : e->show;
  int r = show(&m, nullptr);
  if (r >= 0 && m.overflowed) {
    printk(KERN_WARNING "procfs: %s made more than %lu bytes; read refused\n", path,
           (unsigned long)PROC_READ_MAX);
    r = -EFBIG;
  }
  put_file(e);

  if (r < 0 || r == SEQ_SKIP || m.count == 0) {
    free(m.buf);
    return r < 0 ? r : 0;
  }
  *data = m.buf;
  *len = m.count;
  return 0;
}

void proc_read_free(char *data) { free(data); }

long proc_write(const char *path, const char *buf, size_t len, loff_t pos) {
  struct proc_dir_entry *e;
  int err = get_file(path, &e);
  if (err) return err;
  long r = -EINVAL;
  if (e->ops && e->ops->write) r = e->ops->write(e->data, buf, len, &pos);
  put_file(e);
  return r;
}
