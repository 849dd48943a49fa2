// The bottom layer of the driver: the log routine with its suppression of
// repeated messages, the per-device locking record, and the adapters over
// kernel services that the rest of the driver calls.

#include "include/mirvol_open.h"

#include "include/mirvol.h"

#include <cstdarg>

// --- log routine ---

// Guards the three fields below.
static spinlock_t g_mirvol_printk_lock;
static char g_mirvol_printk_prev_msg[MIRVOL_PRINTK_BUF_SIZE];
static u64 g_mirvol_printk_last_jif;
static s32 g_mirvol_printk_same_cnt;

// Used when no buffer can be allocated. Shared by every such caller, so it
// is held under its own lock from formatting until the text is printed: one
// message never mixes with another's.
static char g_mirvol_printk_buf[MIRVOL_PRINTK_BUF_SIZE];
static spinlock_t g_mirvol_printk_buf_lock;

static struct printk_locks_init {
  printk_locks_init() {
    spin_lock_init(&g_mirvol_printk_lock);
    spin_lock_init(&g_mirvol_printk_buf_lock);
  }
} g_printk_locks_init;

void mirvol_printk_init(void) {
  unsigned long flags;
  spin_lock_irqsave(&g_mirvol_printk_lock, flags);
  memset(g_mirvol_printk_prev_msg, 0, sizeof(g_mirvol_printk_prev_msg));
  g_mirvol_printk_last_jif = 0;
  g_mirvol_printk_same_cnt = 0;
  spin_unlock_irqrestore(&g_mirvol_printk_lock, flags);
}

int mirvol_printk(const char *format, ...) {
  u64 now = get_jiffies_64();
  unsigned long flags;
  bool fallback = false;
  char *buf = static_cast<char *>(kmalloc(MIRVOL_PRINTK_BUF_SIZE, GFP_ATOMIC));
  if (!buf) {
    printk(MIRVOL_WARN "Failed to allocate printk_buf, other area used instead.\n", 147);
    spin_lock(&g_mirvol_printk_buf_lock);
    buf = g_mirvol_printk_buf;
    fallback = true;
  }

  // The event number is the first argument after the format.
  va_list args;
  va_start(args, format);
  vsnprintf_k(buf, MIRVOL_PRINTK_BUF_SIZE, format, args);
  va_end(args);

  bool print = true;
  int repeated = 0;
  spin_lock_irqsave(&g_mirvol_printk_lock, flags);
  if (strncmp(buf, g_mirvol_printk_prev_msg, MIRVOL_PRINTK_BUF_SIZE) == 0 &&
      now - g_mirvol_printk_last_jif <= HZ - 1) {
    g_mirvol_printk_last_jif = now;
    g_mirvol_printk_same_cnt++;
    print = g_mirvol_printk_same_cnt == 1;
  } else {
    memcpy(g_mirvol_printk_prev_msg, buf, MIRVOL_PRINTK_BUF_SIZE);
    g_mirvol_printk_last_jif = now;
    repeated = g_mirvol_printk_same_cnt;
    g_mirvol_printk_same_cnt = 0;
  }
  spin_unlock_irqrestore(&g_mirvol_printk_lock, flags);

  if (repeated > 1)
    printk(MIRVOL_INFO "--- Previous mirvol message repeated %d %s ---\n", 331, repeated - 1,
           repeated - 1 == 1 ? "time" : "times");
  if (print) printk("%s", buf);

  if (fallback)
    spin_unlock(&g_mirvol_printk_buf_lock);
  else
    kfree(buf);
  return 0;
}

int mirvol_sprintf(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = vsnprintf_k(buffer, size, format, args);
  va_end(args);
  if (n < 0) return 0;
  return size == 0 ? 0 : ((size_t)n >= size ? (int)size - 1 : n);
}

// --- per-device locking record ---

struct nmp_sys_variable *mirvol_malloc_nmp_sys_variable(void) {
  return static_cast<struct nmp_sys_variable *>(mirvol_kmalloc(sizeof(struct nmp_sys_variable)));
}

void mirvol_init_nmp_sys_variable(struct nmp_sys_variable *var) {
  if (!var) return;
  spin_lock_init(&var->nmp_lock);
  sema_init(&var->cp_sem, 1);
  sema_init(&var->send_sem, 1);
  init_waitqueue_head(&var->nmp_wq, "&nmp_var->nmp_wq");
  init_waitqueue_head(&var->nmp_send_data_wq, "&nmp_var->nmp_send_data_wq");
  init_waitqueue_head(&var->heartbeat_wq, "&nmp_var->heartbeat_wq");
  init_timer(&var->connect_timer);
  init_timer(&var->send_timer);
  spin_lock_init(&var->recovery_lock);
  spin_lock_init(&var->request_queue_lock);
  spin_lock_init(&var->bitmap_lock);
  spin_lock_init(&var->wrt_queue_lock);
  spin_lock_init(&var->serial_lock);
}

// --- user copies ---

unsigned long mirvol_copy_from_user(void *dest, const void __user *src, unsigned long len) {
  return copy_from_user(dest, src, len);
}

unsigned long mirvol_copy_to_user(void __user *dest, const void *src, unsigned long len) {
  return copy_to_user(dest, src, len);
}

// --- allocation ---

void *mirvol_kmalloc(size_t len) { return kmalloc(len, GFP_ATOMIC); }

void *mirvol_loop_kmalloc(size_t len) {
  for (int i = 0; i < 5; i++) {
    void *p = kmalloc(len, GFP_ATOMIC);
    if (p) return p;
    if (i == 4) break;
    flush_scheduled_work();
    msleep_interruptible(1000);
  }
  return nullptr;
}

void mirvol_kfree(void **ptr) {
  if (!ptr || !*ptr) return;
  kfree(*ptr);
  *ptr = nullptr;
}

void mirvol_memset(void *buf, int value, size_t len) { memset(buf, value, len); }

// --- locks ---

spinlock_t *spinlock_t_malloc(void) {
  spinlock_t *lock = static_cast<spinlock_t *>(mirvol_kmalloc(sizeof(spinlock_t)));
  if (lock) spin_lock_init(lock);
  return lock;
}

void mirvol_spin_lock_init(spinlock_t *lock) { spin_lock_init(lock); }

void mirvol_spin_lock_irqsave(spinlock_t *lock, unsigned long *flags) {
  spin_lock_irqsave(lock, *flags);
}

void mirvol_spin_unlock_irqrestore(spinlock_t *lock, unsigned long *flags) {
  spin_unlock_irqrestore(lock, *flags);
}

struct sys_var *mirvol_queue_head_spinlock_malloc(void) {
  struct sys_var *var = static_cast<struct sys_var *>(mirvol_kmalloc(sizeof(struct sys_var)));
  if (!var) return nullptr;
  spin_lock_init(&var->lock);
  init_waitqueue_head(&var->wq, "&sys_var->wq");
  return var;
}

struct semaphore *mirvol_semaphore_malloc(void) {
  struct semaphore *sem = static_cast<struct semaphore *>(mirvol_kmalloc(sizeof(struct semaphore)));
  if (sem) sema_init(sem, 1);
  return sem;
}

void mirvol_init_MUTEX(struct semaphore *sem) { sema_init(sem, 1); }
void mirvol_down(struct semaphore *sem) { down(sem); }
void mirvol_up(struct semaphore *sem) { up(sem); }

// --- wait queues ---

wait_queue_head_t *mirvol_wait_queue_head_t_malloc(void) {
  return static_cast<wait_queue_head_t *>(mirvol_kmalloc(sizeof(wait_queue_head_t)));
}

void mirvol_init_waitqueue_head(wait_queue_head_t *wq) {
  init_waitqueue_head(wq, "(wait_queue_head_t *)wq");
}

// Every sleeper is woken, as the kernel's wake_up does; each re-checks what
// it waits for.
void mirvol_wake_up(wait_queue_head_t *wq) { wake_up(wq); }
void mirvol_wake_up_interruptible(wait_queue_head_t *wq) { wake_up_interruptible(wq); }

long mirvol_interruptible_sleep_on_timeout(wait_queue_head_t *wq, long ticks) {
  return interruptible_sleep_on_timeout(wq, ticks);
}

long mirvol_sleep_on_timeout(wait_queue_head_t *wq, long ticks) {
  return sleep_on_timeout(wq, ticks);
}

// --- time ---

u64 mirvol_jiffies(void) { return get_jiffies_64(); }
s64 mirvol_current_time(void) { return ktime_get_real_seconds(); }

void mirvol_timer_setting(struct timer_list *timer, void (*function)(unsigned long),
                          unsigned long datum, long seconds) {
  setup_timer(timer, function, datum);
  timer->expires = (unsigned long)get_jiffies_64() + (unsigned long)(seconds * HZ);
}

int mirvol_add_timer(struct timer_list *timer) {
  add_timer(timer);
  return 0;
}

// Waits for a callback of this timer that already runs: the timer often
// lives inside a record that is freed right after.
int mirvol_del_timer(struct timer_list *timer) {
  if (timer) del_timer_sync(timer);
  return 0;
}

// --- threads ---

int mirvol_kernel_thread(int (*fn)(void *), void *device, const char *name) {
  struct task_struct *task = kthread_run(fn, device, name);
  if (!task) return -1;
  return task_pid_nr(task);
}

int mirvol_kernel_thread_info(int (*fn)(void *), void *device, const char *name,
                              struct nmp_thread_info *info) {
  struct task_struct *task = kthread_create(fn, device, name);
  if (!task) return -1;
  if (info->pid_handle) put_pid(info->pid_handle);
  info->pid = task_pid_nr(task);
  info->pid_handle = get_task_pid(task);
  smp_store_release(&info->running, 1);
  wake_up_process(task);
  return info->pid;
}

int mirvol_kill_proc_info(struct nmp_thread_info *info) {
  if (smp_load_acquire(&info->running) && info->pid && info->pid_handle)
    kill_pid(info->pid_handle, SIGTERM, 1);
  return 0;
}

// --- numbers and addresses ---

u32 mirvol_MKDEV(u32 major, u32 minor) { return (major << 20) | minor; }

void mirvol_put_ipaddress(u8 *dest, const u8 *src) { memcpy(dest, src, 16); }
void mirvol_get_ipaddress(u8 *dest, const u8 *src) { memcpy(dest, src, 16); }

void big_to_little(u32 *words, int count) {
  for (int i = 0; i < count; i++) {
    u32 w = words[i];
    words[i] = ((w & 0x00ff00ffU) << 8) | ((w & 0xff00ff00U) >> 8);
  }
}

// --- sockets ---

int mirvol_sock_create(int family, int type, int protocol, struct socket **res) {
  return sock_create_kern(family, type, protocol, res);
}

void mirvol_sock_tcp_parameter(struct socket *sock, int probes, int time, int interval) {
  kernel_setsockopt(sock, SOL_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
  kernel_setsockopt(sock, SOL_TCP, TCP_KEEPIDLE, &time, sizeof(time));
  kernel_setsockopt(sock, SOL_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
  inet_csk_reset_keepalive_timer(sock->sk, (unsigned long)time * HZ);
  int on = 1;
  kernel_setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
}

void mirvol_tcp_reset_keepalive_timer(struct socket *sock, unsigned long ticks) {
  inet_csk_reset_keepalive_timer(sock->sk, ticks);
}

void mirvol_tcp_delete_keepalive_timer(struct socket *sock) {
  inet_csk_delete_keepalive_timer(sock->sk);
}

int mirvol_sock_recvmsg(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t len,
                        int flags) {
  return kernel_recvmsg(sock, msg, vec, 1, len, flags);
}

int mirvol_sys_sendto(void *buf, size_t len, unsigned int flags, struct ksockaddr *addr,
                      int addr_len, struct socket *sock) {
  (void)flags;
  struct kvec vec = {buf, len};
  struct kmsghdr msg = {addr, addr ? addr_len : 0, 0};
  return kernel_sendmsg(sock, &msg, &vec, 1, len);
}

int mirvol_sys_recvfrom(void *buf, size_t len, unsigned int flags, struct ksockaddr *addr,
                        int *addr_len, struct socket *sock) {
  struct kvec vec = {buf, len};
  struct kmsghdr msg = {addr, addr && addr_len ? *addr_len : 0, 0};
  int r = kernel_recvmsg(sock, addr ? &msg : nullptr, &vec, 1, len, (int)flags);
  if (addr && addr_len) *addr_len = msg.msg_namelen;
  struct task_struct *self = get_current();
  if (sigismember_pending(self, SIGXCPU)) {
    clear_pending_signal(self, SIGXCPU);
    return -ETIME;
  }
  return r;
}

// --- block devices and bios ---

unsigned int mirvol_get_logical_block_size(struct block_device *bdev) {
  struct request_queue *q = bdev_get_queue(bdev);
  if (!q) return 512;
  unsigned int size = queue_logical_block_size(q);
  return size ? size : 512;
}

unsigned int mirvol_get_physical_block_size(struct block_device *bdev) {
  return queue_physical_block_size(bdev_get_queue(bdev));
}

u64 mirvol_get_blk_size(struct block_device *bdev) { return get_capacity(bdev->bd_disk); }

int mirvol_get_blksize_size(struct block_device *bdev) { return (int)block_size(bdev); }
int mirvol_own_device_get_blksize(struct block_device *bdev) { return (int)block_size(bdev); }
int mirvol_set_blocksize(struct block_device *bdev, int size) { return set_blocksize(bdev, size); }

void mirvol_adjust_block_size(struct nmp_info *nmp) {
  int size = mirvol_own_device_get_blksize(nmp->own_bdev);
  mirvol_set_blocksize(nmp->dp_bdev, size);
  nmp->dp_block_size = (u32)size;
}


void wait_for_bio(struct bio *bio) {
  wait_for_completion(&static_cast<struct mirvol_bio_wait *>(bio->bi_private)->done);
}

void loop_free_buffer_head(struct bio *bio) {
  if (!bio) return;
  if (bio->bi_vcnt) __free_page(bio->bi_io_vec[0].bv_page);
  kfree(bio->bi_private);
  bio_put(bio);
}

void mirvol_put_bio(struct bio *bio) {
  if (!bio) return;
  if (bio_data_dir(bio) == WRITE)
    for (unsigned int i = 0; i < bio->bi_vcnt; i++) __free_page(bio->bi_io_vec[i].bv_page);
  bio_put(bio);
}
