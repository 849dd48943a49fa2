// History files: when the send queue of an asynchronous device is full, the
// data of a new write waits in a file of its own, "<dir>/<minor>/%016llX.dat"
// after its serial number, until the send-data thread reads it back just
// before sending it and deletes it.
//
// File I/O goes through 64 KiB buffers of a module-wide pool, two per
// device set up. The per-device history thread "mirvol_nmp%02d_09" runs
// record writes and file writes one at a time for the senders, who wait for
// each job.

#include "include/mirvol_history.h"
#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_trans.h"

// --- the buffer pool ---

struct fileio_buffer {
  u32 state;  // 0 empty, 1 free, 2 in use
  void *buffer;
};

static struct {
  spinlock_t lock;  // guards the slots and the filled count, never held across allocation
  s32 capacity;
  s32 filled;
  s32 order;
  struct fileio_buffer slot[MIRVOL_FILEIO_NUM];
} g_fileio_buffers;

void mirvol_initialize_fileio_buffers(void) {
  spin_lock_init(&g_fileio_buffers.lock);
  g_fileio_buffers.capacity = MIRVOL_FILEIO_NUM;
  g_fileio_buffers.order = MIRVOL_FILEIO_ORDER;
  g_fileio_buffers.filled = 0;
  memset(g_fileio_buffers.slot, 0, sizeof(g_fileio_buffers.slot));
}

void mirvol_destroy_fileio_buffers(void) {
  for (int i = 0; i < MIRVOL_FILEIO_NUM; i++) {
    unsigned long flags;
    spin_lock_irqsave(&g_fileio_buffers.lock, flags);
    void *b = nullptr;
    if (g_fileio_buffers.slot[i].state != 0) {
      b = g_fileio_buffers.slot[i].buffer;
      g_fileio_buffers.slot[i].buffer = nullptr;
      g_fileio_buffers.slot[i].state = 0;
    }
    spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
    kfree(b);
  }
  unsigned long flags;
  spin_lock_irqsave(&g_fileio_buffers.lock, flags);
  g_fileio_buffers.filled = 0;
  spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
}

int mirvol_create_fileio_buffers(struct nmp_info *nmp, int count) {
  (void)nmp;
  for (int i = 0; i < count; i++) {
    unsigned long flags;
    spin_lock_irqsave(&g_fileio_buffers.lock, flags);
    bool full = g_fileio_buffers.filled >= g_fileio_buffers.capacity;
    spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
    if (full) return HIS_STAT_FAILED;
    void *b = kmalloc(MIRVOL_FILEIO_SIZE, GFP_KERNEL);
    if (!b) return HIS_NOMEM;
    // Filled under the lock, counted again there: another device's set-up
    // may have filled the last slot meanwhile.
    spin_lock_irqsave(&g_fileio_buffers.lock, flags);
    full = g_fileio_buffers.filled >= g_fileio_buffers.capacity;
    if (!full) {
      struct fileio_buffer *s = &g_fileio_buffers.slot[g_fileio_buffers.filled++];
      s->buffer = b;
      s->state = 1;
    }
    spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
    if (full) {
      kfree(b);
      return HIS_STAT_FAILED;
    }
  }
  return 0;
}

void *mirvol_get_fileio_buffer(void) {
  void *b = nullptr;
  unsigned long flags;
  spin_lock_irqsave(&g_fileio_buffers.lock, flags);
  for (int i = 0; i < g_fileio_buffers.filled && !b; i++) {
    if (g_fileio_buffers.slot[i].state == 1) {
      g_fileio_buffers.slot[i].state = 2;
      b = g_fileio_buffers.slot[i].buffer;
    }
  }
  spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
  return b;
}

void mirvol_put_fileio_buffer(void *buffer) {
  unsigned long flags;
  spin_lock_irqsave(&g_fileio_buffers.lock, flags);
  for (int i = 0; i < g_fileio_buffers.filled; i++)
    if (g_fileio_buffers.slot[i].buffer == buffer) g_fileio_buffers.slot[i].state = 1;
  spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
}

int mirvol_fileio_buffers_filled(void) {
  unsigned long flags;
  spin_lock_irqsave(&g_fileio_buffers.lock, flags);
  int n = g_fileio_buffers.filled;
  spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
  return n;
}

int mirvol_fileio_buffers_free(void) {
  unsigned long flags;
  spin_lock_irqsave(&g_fileio_buffers.lock, flags);
  int n = 0;
  for (int i = 0; i < g_fileio_buffers.filled; i++) n += g_fileio_buffers.slot[i].state == 1;
  spin_unlock_irqrestore(&g_fileio_buffers.lock, flags);
  return n;
}

// --- file adapters ---

static struct file *mirvol_file_open(const char *path, int flags, umode_t mode) {
  return filp_open(path, flags, mode);
}

static void mirvol_file_close(struct file *f) { filp_close(f, nullptr); }

// Moves all `len` bytes or fails: a call that moves nothing is a failure.
static long mirvol_file_write(struct file *f, const u8 *buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    long n = kernel_write(f, buf + done, len - done, &f->f_pos);
    if (n < 0) return n;
    if (n == 0) return -EIO;
    done += (size_t)n;
  }
  return (long)done;
}

static long mirvol_file_read(struct file *f, u8 *buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    long n = kernel_read(f, buf + done, len - done, &f->f_pos);
    if (n < 0) return n;
    if (n == 0) return -EIO;  // the file is shorter than its write
    done += (size_t)n;
  }
  return (long)done;
}

// Unlinks the name itself, never what a link there points to.
static int mirvol_vfs_unlink(const char *path) { return vfs_unlink(path); }

// --- the directory ---

int mirvol_history_dir_init(struct nmp_info *nmp, char *dir, const char *configured) {
  int minor = (int)nmp->minor;
  if (configured[0] != '/') {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d Internal error. (%s:initialize history files store directory:not "
                  "absolute path)\n",
                  330, minor, configured);
    return HIS_LOOKUP_FAILED;
  }
  memset(dir, 0, MIRVOL_NAME_LEN);
  size_t len = strnlen(configured, MIRVOL_NAME_LEN - 1);
  memcpy(dir, configured, len);
  while (len > 1 && dir[len - 1] == '/') dir[--len] = 0;
  if (len == 1) len = 0;  // the root alone: "/<minor>"
  int n = snprintf_k(dir + len, MIRVOL_NAME_LEN - len, "/%d", minor);
  if (n < 0 || len + (size_t)n > MIRVOL_HISTORY_DIR_MAX) {
    dir[len] = 0;
    mirvol_printk(MIRVOL_ERR
                  "NMP%d Internal error. (%s:initialize history files store directory:path too "
                  "long)\n",
                  330, minor, dir);
    dir[0] = 0;
    return HIS_LOOKUP_FAILED;
  }
  // A directory on a file system that lies on a mirror disk would have the
  // history thread wait for writes that wait for the history thread.
  char fs_type[64];
  if (vfs_loop_backing_fs_type(dir, fs_type, sizeof(fs_type)) == 0 &&
      strcmp(fs_type, MIRVOL_DISK_FS_TYPE) == 0) {
    mirvol_printk(MIRVOL_ERR "NMP%d history_dir (%s) is invalid. (on a mirror device)\n", 182,
                  minor, dir);
    dir[0] = 0;
    return HIS_LOOKUP_FAILED;
  }
  int r = mirvol_create_fileio_buffers(nmp, 2);
  if (r) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate fileio buffer.:%d\n", 145, minor, r);
    return r;
  }
  struct path p;
  int err = kern_path(dir, LOOKUP_FOLLOW | LOOKUP_DIRECTORY, &p);
  if (err == 0) {
    path_put(&p);
    return 0;
  }
  if (err == -ENOENT) return mirvol_history_create_dir(nmp, dir);
  mirvol_printk(MIRVOL_ERR
                "NMP%d Internal error. (%s:initialize history files store directory:failed to get "
                "path information:%d)\n",
                330, minor, dir, err);
  return HIS_LOOKUP_FAILED;
}

int mirvol_history_create_dir(struct nmp_info *nmp, const char *path) {
  int minor = (int)nmp->minor;
  char *buf = static_cast<char *>(mirvol_kmalloc(MIRVOL_NAME_LEN));
  if (!buf) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate temporary path.\n", 145, minor);
    return HIS_NOMEM;
  }
  memset(buf, 0, MIRVOL_NAME_LEN);
  size_t len = strnlen(path, MIRVOL_NAME_LEN - 1);
  memcpy(buf, path, len);
  // Up: cut at the last '/' until a prefix exists.
  size_t cut = len;
  int result = 0;
  for (;;) {
    size_t i = cut;
    while (i > 0 && buf[i - 1] != '/') i--;
    if (i <= 1) {
      cut = 0;  // the walk ends at the root
      break;
    }
    cut = i - 1;
    buf[cut] = 0;
    struct kstat st;
    int err = vfs_stat(buf, &st);
    if (err == 0) {
      if (!S_ISDIR(st.mode)) {
        mirvol_printk(MIRVOL_ERR
                      "NMP%d Internal error. (%s:create history files store directory:not "
                      "directory)\n",
                      330, minor, buf);
        result = HIS_NOT_DIR;
      }
      break;
    }
    if (err != -ENOENT) {
      mirvol_printk(MIRVOL_ERR
                    "NMP%d Internal error. (%s:create history files store directory:failed to get "
                    "file status:%d)\n",
                    330, minor, buf, err);
      result = HIS_STAT_FAILED;
      break;
    }
  }
  // Down: make each missing component in turn.
  while (result == 0 && cut < len) {
    size_t end = cut + 1;
    while (end < len && path[end] != '/') end++;
    memcpy(buf, path, end);
    buf[end] = 0;
    char parent[MIRVOL_NAME_LEN];
    if (cut == 0) {
      parent[0] = '/';
      parent[1] = 0;
    } else {
      memcpy(parent, path, cut);
      parent[cut] = 0;
    }
    struct path p;
    int err = kern_path(parent, LOOKUP_FOLLOW | LOOKUP_DIRECTORY, &p);
    if (err) {
      mirvol_printk(MIRVOL_ERR
                    "NMP%d Internal error. (%s:create history files store directory:failed to get "
                    "path information:%d)\n",
                    330, minor, parent, err);
      result = HIS_LOOKUP_FAILED;
      break;
    }
    err = vfs_mkdir(buf, 0755);
    path_put(&p);
    if (err && err != -EEXIST) {
      mirvol_printk(MIRVOL_ERR
                    "NMP%d Internal error. (%s:create history files store directory:failed to "
                    "create directory:%d)\n",
                    330, minor, buf, err);
      result = HIS_MKDIR_FAILED;
      break;
    }
    cut = end;
  }
  kfree(buf);
  return result;
}

// --- files ---

bool mirvol_history_file_name(struct io_request *req, char *buf, size_t size) {
  struct history_info *h = req->nmp->history;
  if (!h->dir[0]) return false;
  int n = snprintf_k(buf, size, "%s/%016llX.dat", h->dir, (unsigned long long)req->async_serial);
  return n > 0 && (size_t)n < size;
}

static void his_bytes_add(struct history_info *h, u64 n) {
  unsigned long flags;
  spin_lock_irqsave(&h->file_lock, flags);
  h->file_bytes += n;
  spin_unlock_irqrestore(&h->file_lock, flags);
}

static void his_bytes_sub(struct history_info *h, u64 n) {
  unsigned long flags;
  spin_lock_irqsave(&h->file_lock, flags);
  h->file_bytes = h->file_bytes > n ? h->file_bytes - n : 0;
  spin_unlock_irqrestore(&h->file_lock, flags);
}

u64 mirvol_history_file_bytes(struct history_info *h) {
  unsigned long flags;
  spin_lock_irqsave(&h->file_lock, flags);
  u64 n = h->file_bytes;
  spin_unlock_irqrestore(&h->file_lock, flags);
  return n;
}

// Undoes a file write that failed after `added` bytes were counted: its
// file (if any) is removed, and what stays counted is what stays on disk.
static void his_write_undo(struct history_info *h, const char *name, bool created, u64 added) {
  u64 left = 0;
  if (created) {
    struct kstat st;
    bool had = vfs_lstat(name, &st) == 0;
    if (mirvol_vfs_unlink(name) != 0 && had) left = (u64)st.size;
  }
  if (h->file_limit) {
    his_bytes_sub(h, added);
    if (left) his_bytes_add(h, left);
  }
}

static const char *null_field(struct io_request *req) {
  if (!req) return "req";
  if (!req->nmp) return "req->nmp";
  if (!req->nmp->history) return "req->nmp->history";
  return nullptr;
}

int mirvol_write_history_file_main(struct io_request *req) {
  const char *missing = null_field(req);
  if (!missing && !req->buff_list) missing = "req->buff_list";
  if (missing) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (%s:write history file:NULL)\n", 330,
                  req && req->nmp ? (int)req->nmp->minor : 0, missing);
    return HIS_INTERNAL;
  }
  struct nmp_info *nmp = req->nmp;
  struct history_info *h = nmp->history;
  int minor = (int)nmp->minor;
  u64 bytes = req->bytes;

  u64 added = 0;
  if (h->file_limit) {
    unsigned long flags;
    spin_lock_irqsave(&h->file_lock, flags);
    bool over = h->file_bytes + bytes > h->file_limit;
    if (!over) h->file_bytes += bytes;
    spin_unlock_irqrestore(&h->file_lock, flags);
    if (over) {
      mirvol_printk(MIRVOL_ERR "NMP%d failed to write a history file. (overflow)\n", 323, minor);
      return HIS_OVER_LIMIT;
    }
    added = bytes;
  }

  char *name = static_cast<char *>(mirvol_kmalloc(MIRVOL_NAME_LEN));
  if (!name) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate temporary path.\n", 145, minor);
    his_write_undo(h, nullptr, false, added);
    return HIS_NOMEM;
  }
  struct file *f = static_cast<struct file *>(ERR_PTR(-ENOENT));
  if (mirvol_history_file_name(req, name, MIRVOL_NAME_LEN)) {
    const int oflags = O_RDWR | O_CREAT | O_EXCL | O_LARGEFILE | O_NOFOLLOW;
    f = mirvol_file_open(name, oflags, 0666);
    // A file of this name in the device's own directory is left from before
    // a crash (serial numbers start again at 0): it is removed once.
    if (IS_ERR(f) && PTR_ERR(f) == -EEXIST) {
      mirvol_printk(MIRVOL_WARN "NMP%d removing a stale history file. (%s)\n", 322, minor, name);
      if (mirvol_vfs_unlink(name) == 0) f = mirvol_file_open(name, oflags, 0666);
    }
  } else {
    name[0] = 0;
  }
  if (IS_ERR(f)) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d failed to write a history file. (%s:failed to open history file:%d)\n",
                  322, minor, name, (int)PTR_ERR(f));
    his_write_undo(h, name, false, added);
    kfree(name);
    return HIS_OPEN_FAILED;
  }
  u8 *buf = static_cast<u8 *>(mirvol_get_fileio_buffer());
  if (!buf) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d failed to write a history file. (%s:failed to allocate write buffer)\n",
                  322, minor, name);
    mirvol_file_close(f);
    his_write_undo(h, name, true, added);
    kfree(name);
    return HIS_FILE_WRITE_FAILED;
  }
  long err = 0;
  u32 fill = 0, left = req->bytes;
  for (struct buff_list *b = req->buff_list; b && left && err >= 0; b = b->next) {
    u32 n = b->len < left ? b->len : left;
    if (fill + n > MIRVOL_FILEIO_SIZE) {
      err = mirvol_file_write(f, buf, fill);
      memset(buf, 0, fill);
      fill = 0;
      if (err < 0) break;
    }
    memcpy(buf + fill, page_address(b->page), n);
    fill += n;
    left -= n;
  }
  if (err >= 0 && fill) err = mirvol_file_write(f, buf, fill);
  if (err >= 0 && left) err = -EINVAL;  // the buffers hold fewer bytes than the write
  mirvol_put_fileio_buffer(buf);
  mirvol_file_close(f);
  if (err < 0) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to write a history file. (%s:%d)\n", 322, minor, name,
                  (int)err);
    his_write_undo(h, name, true, added);
    kfree(name);
    return HIS_FILE_WRITE_FAILED;
  }
  kfree(name);
  return 0;
}

int mirvol_read_history_file(struct io_request *req) {
  const char *missing = null_field(req);
  if (!missing && !req->buff_list) missing = "req->buff_list";
  if (missing) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (%s:read history file:NULL)\n", 330,
                  req && req->nmp ? (int)req->nmp->minor : 0, missing);
    return HIS_INTERNAL;
  }
  int minor = (int)req->nmp->minor;
  char *name = static_cast<char *>(mirvol_kmalloc(MIRVOL_NAME_LEN));
  if (!name) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate temporary path.\n", 145, minor);
    return HIS_NOMEM;
  }
  struct file *f = static_cast<struct file *>(ERR_PTR(-ENOENT));
  if (mirvol_history_file_name(req, name, MIRVOL_NAME_LEN))
    f = mirvol_file_open(name, O_RDWR | O_LARGEFILE | O_NOFOLLOW, 0);
  else
    name[0] = 0;
  if (IS_ERR(f)) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d failed to read a history file. (%s:failed to open history file:%d)\n",
                  321, minor, name, (int)PTR_ERR(f));
    kfree(name);
    return HIS_OPEN_FAILED;
  }
  u8 *buf = static_cast<u8 *>(mirvol_get_fileio_buffer());
  if (!buf) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d failed to read a history file. (%s:failed to allocate read buffer)\n",
                  321, minor, name);
    mirvol_file_close(f);
    kfree(name);
    return HIS_FILE_READ_FAILED;
  }
  long err = 0;
  u32 left = req->bytes;
  struct buff_list *b = req->buff_list;
  u32 in_seg = 0;  // bytes already in the current buffer
  while (left && err >= 0) {
    u32 chunk = left < MIRVOL_FILEIO_SIZE ? left : MIRVOL_FILEIO_SIZE;
    err = mirvol_file_read(f, buf, chunk);
    if (err < 0) break;
    // A segment may take bytes from two chunks.
    for (u32 at = 0; at < chunk;) {
      if (!b) {
        err = -EINVAL;
        break;
      }
      u32 room = b->len - in_seg;
      u32 n = chunk - at < room ? chunk - at : room;
      memcpy(static_cast<u8 *>(page_address(b->page)) + in_seg, buf + at, n);
      at += n;
      in_seg += n;
      if (in_seg == b->len) {
        b = b->next;
        in_seg = 0;
      }
    }
    left -= chunk;
  }
  mirvol_put_fileio_buffer(buf);
  mirvol_file_close(f);
  if (err < 0) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to read a history file. (%s:%d)\n", 321, minor, name,
                  (int)err);
    kfree(name);
    return HIS_FILE_READ_FAILED;
  }
  kfree(name);
  return mirvol_delete_history_file(req) == 0 ? 0 : HIS_UNLINK_FAILED;
}

int mirvol_delete_history_file(struct io_request *req) {
  const char *missing = null_field(req);
  if (missing) {
    mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (%s:delete history file:NULL)\n", 330,
                  req && req->nmp ? (int)req->nmp->minor : 0, missing);
    return HIS_INTERNAL;
  }
  struct history_info *h = req->nmp->history;
  int minor = (int)req->nmp->minor;
  char *name = static_cast<char *>(mirvol_kmalloc(MIRVOL_NAME_LEN));
  if (!name) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate temporary path.\n", 145, minor);
    return HIS_NOMEM;
  }
  int result = 0;
  struct kstat st;
  int err = mirvol_history_file_name(req, name, MIRVOL_NAME_LEN) ? vfs_lstat(name, &st) : -ENOENT;
  if (err) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d Internal error. (%s:delete history file:failed to get path "
                  "information:%d)\n",
                  330, minor, name, err);
    result = HIS_LOOKUP_FAILED;
  } else if ((err = mirvol_vfs_unlink(name)) != 0) {
    const char *last = name;
    for (const char *p = name; *p; p++)
      if (*p == '/') last = p + 1;
    mirvol_printk(MIRVOL_ERR "NMP%d failed to delete a history file. (%s:%d)\n", 324, minor, last,
                  err);
    result = HIS_UNLINK_FAILED;
  } else if (h->file_limit) {
    his_bytes_sub(h, (u64)st.size);
  }
  kfree(name);
  return result;
}

// --- the history thread and its jobs ---

struct history_queue {
  struct history_queue *next, *prev;
  struct io_request *req;
  struct completion done;
  s32 type;  // 1 record, 2 file
  s32 result;
};

static bool his_thread_running(struct nmp_info *nmp) {
  return smp_load_acquire(&nmp->thread[NMP_THREAD_HISTORY].running) != 0;
}

int mirvol_history_request(struct io_request *req, int type, void **slot) {
  struct nmp_info *nmp = req->nmp;
  auto *q = static_cast<struct history_queue *>(kzalloc(sizeof(struct history_queue), GFP_NOIO));
  if (!q) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate history_queue.\n", 145, (int)nmp->minor);
    return HIS_NOMEM;
  }
  kfree(*slot);  // the node of an earlier job of this type
  *slot = q;
  q->req = req;
  q->type = type;
  q->result = 0;
  init_completion(&q->done);
  struct sys_var *sv = nmp->history_head.sys_var;
  if (!sv) return HIS_INTERNAL;
  unsigned long flags;
  spin_lock_irqsave(&sv->lock, flags);
  // A thread that has left (or never ran) would leave the caller waiting.
  if (!his_thread_running(nmp)) {
    spin_unlock_irqrestore(&sv->lock, flags);
    return HIS_INTERNAL;
  }
  auto *tail = static_cast<struct history_queue *>(nmp->history_head.tail);
  q->prev = tail;
  if (tail)
    tail->next = q;
  else
    nmp->history_head.head = q;
  nmp->history_head.tail = q;
  spin_unlock_irqrestore(&sv->lock, flags);
  wake_up(&sv->wq);
  wait_for_completion(&q->done);
  return q->result;
}

static struct history_queue *his_pop(struct nmp_info *nmp) {
  struct sys_var *sv = nmp->history_head.sys_var;
  unsigned long flags;
  spin_lock_irqsave(&sv->lock, flags);
  auto *q = static_cast<struct history_queue *>(nmp->history_head.head);
  if (q) {
    nmp->history_head.head = q->next;
    if (q->next)
      q->next->prev = nullptr;
    else
      nmp->history_head.tail = nullptr;
    q->next = q->prev = nullptr;
  }
  spin_unlock_irqrestore(&sv->lock, flags);
  return q;
}

static bool his_queue_empty(struct nmp_info *nmp) {
  struct sys_var *sv = nmp->history_head.sys_var;
  unsigned long flags;
  spin_lock_irqsave(&sv->lock, flags);
  bool empty = nmp->history_head.head == nullptr;
  spin_unlock_irqrestore(&sv->lock, flags);
  return empty;
}

int mirvol_history_thread(void *arg) {
  struct nmp_info *nmp = static_cast<struct nmp_info *>(arg);
  struct sys_var *sv = nmp->history_head.sys_var;
  allow_signal(SIGTERM);
  for (;;) {
    wait_event_interruptible_timeout(sv->wq, !his_queue_empty(nmp), HZ);
    if (signal_pending(get_current())) break;
    // A stop between two jobs leaves the rest to the leaving path below.
    struct history_queue *q;
    while (!signal_pending(get_current()) && (q = his_pop(nmp))) {
      int r;
      if (q->type == 1) {
        r = mirvol_write_history_info_main(q->req);
      } else if (q->type == 2) {
        r = mirvol_write_history_file_main(q->req);
      } else {
        mirvol_printk(MIRVOL_ERR "NMP%d Internal error. (error=%d, mirvol_history_thread)\n", 330,
                      (int)nmp->minor, 2);
        r = HIS_INTERNAL;
      }
      q->result = r;
      complete(&q->done);
    }
  }
  mirvol_printk(MIRVOL_INFO "NMP%d killing thread......OK (mirvol_history_thread)\n", 132,
                (int)nmp->minor);
  // No new job gets in once the flag is clear (callers test it under the
  // queue lock); the ones already queued end with 2.
  unsigned long flags;
  spin_lock_irqsave(&sv->lock, flags);
  auto *q = static_cast<struct history_queue *>(nmp->history_head.head);
  nmp->history_head.head = nmp->history_head.tail = nullptr;
  smp_store_release(&nmp->thread[NMP_THREAD_HISTORY].running, 0);
  spin_unlock_irqrestore(&sv->lock, flags);
  while (q) {
    struct history_queue *next = q->next;
    q->result = HIS_INTERNAL;
    complete(&q->done);  // the caller may free the node from here on
    q = next;
  }
  return 0;
}
