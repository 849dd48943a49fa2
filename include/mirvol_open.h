// The bottom layer of the driver: the log routine, the per-device locking
// record, and one-line adapters over kernel services.
#pragma once

#include "include/mirvol_common.h"

// --- log routine ---

#define MIRVOL_PRINTK_BUF_SIZE 1024

// Prints one message: mirvol_printk(format, event, ...). `format` begins with
// a level marker and the frame (MIRVOL_ERR, MIRVOL_WARN or MIRVOL_INFO), so
// the event number is the first argument after it. Repeats of one text within
// a second are printed once more, then counted; the count is reported before
// the next different message. Never sleeps; callable in atomic context.
int mirvol_printk(const char *format, ...) __attribute__((format(printf, 1, 2)));
void mirvol_printk_init(void);

// Formats into buffer, never writing more than size bytes (terminator
// included); returns the number of characters written.
int mirvol_sprintf(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// --- per-device locking record ---

struct nmp_sys_variable {
  spinlock_t nmp_lock;             // port flags, error flags, Cluster Partition times
  struct semaphore cp_sem;         // serialises single-block Cluster Partition I/O
  struct semaphore send_sem;       // owns the outgoing DATA connection, one message at a time;
                                   // taken before network_list_lock
  wait_queue_head_t nmp_wq;        // general device waits (writes held by a recovery window)
  wait_queue_head_t nmp_send_data_wq;  // wakes the asynchronous send-data thread
  wait_queue_head_t heartbeat_wq;  // the heartbeat client's pauses
  struct timer_list connect_timer;  // watchdog of a connect call
  struct timer_list send_timer;     // watchdog of a send on the DATA connection
  spinlock_t recovery_lock;        // the recovery lock window
  spinlock_t request_queue_lock;   // the request_queue
  spinlock_t bitmap_lock;          // the device's bitmap state
  spinlock_t wrt_queue_lock;       // in-flight write table; taken before recovery_lock
  spinlock_t serial_lock;          // the asynchronous serial-number counter
};

struct nmp_sys_variable *mirvol_malloc_nmp_sys_variable(void);
void mirvol_init_nmp_sys_variable(struct nmp_sys_variable *var);

// --- adapters ---

unsigned long mirvol_copy_from_user(void *dest, const void __user *src, unsigned long len);
unsigned long mirvol_copy_to_user(void __user *dest, const void *src, unsigned long len);

void *mirvol_kmalloc(size_t len);
void *mirvol_loop_kmalloc(size_t len);
void mirvol_kfree(void **ptr);
template <typename T>
static inline void mirvol_kfree(T **ptr) {
  mirvol_kfree(reinterpret_cast<void **>(ptr));
}
void mirvol_memset(void *buf, int value, size_t len);

spinlock_t *spinlock_t_malloc(void);
void mirvol_spin_lock_init(spinlock_t *lock);
void mirvol_spin_lock_irqsave(spinlock_t *lock, unsigned long *flags);
void mirvol_spin_unlock_irqrestore(spinlock_t *lock, unsigned long *flags);

struct sys_var *mirvol_queue_head_spinlock_malloc(void);
struct semaphore *mirvol_semaphore_malloc(void);
void mirvol_init_MUTEX(struct semaphore *sem);
void mirvol_down(struct semaphore *sem);
void mirvol_up(struct semaphore *sem);

wait_queue_head_t *mirvol_wait_queue_head_t_malloc(void);
void mirvol_init_waitqueue_head(wait_queue_head_t *wq);
void mirvol_wake_up(wait_queue_head_t *wq);
void mirvol_wake_up_interruptible(wait_queue_head_t *wq);
long mirvol_interruptible_sleep_on_timeout(wait_queue_head_t *wq, long ticks);
long mirvol_sleep_on_timeout(wait_queue_head_t *wq, long ticks);

u64 mirvol_jiffies(void);
s64 mirvol_current_time(void);

void mirvol_timer_setting(struct timer_list *timer, void (*function)(unsigned long),
                          unsigned long datum, long seconds);
int mirvol_add_timer(struct timer_list *timer);
int mirvol_del_timer(struct timer_list *timer);

int mirvol_kernel_thread(int (*fn)(void *), void *device, const char *name);
// Starts a thread and fills its record (running flag, pid, pid handle)
// before the thread runs a line, so a stop that comes at once still sees
// it; the thread clears the running flag as it leaves, and the stopper then
// joins it. Returns the pid, or -1.
int mirvol_kernel_thread_info(int (*fn)(void *), void *device, const char *name,
                              struct nmp_thread_info *info);
int mirvol_kill_proc_info(struct nmp_thread_info *info);

u32 mirvol_MKDEV(u32 major, u32 minor);

// --- block devices and bios ---

struct nmp_info;
unsigned int mirvol_get_logical_block_size(struct block_device *bdev);
unsigned int mirvol_get_physical_block_size(struct block_device *bdev);
u64 mirvol_get_blk_size(struct block_device *bdev);
int mirvol_get_blksize_size(struct block_device *bdev);
int mirvol_own_device_get_blksize(struct block_device *bdev);
int mirvol_set_blocksize(struct block_device *bdev, int size);
void mirvol_adjust_block_size(struct nmp_info *nmp);
// Waits for a one-page synchronous bio whose private record is a
// struct mirvol_bio_wait.
struct mirvol_bio_wait {
  struct completion done;
};
void wait_for_bio(struct bio *bio);
void loop_free_buffer_head(struct bio *bio);
void mirvol_put_bio(struct bio *bio);

// --- sockets ---

int mirvol_sock_create(int family, int type, int protocol, struct socket **res);
// Keepalive: `probes` probes `interval` seconds apart after `time` seconds
// idle; restarts the keepalive timer and switches keepalive on.
void mirvol_sock_tcp_parameter(struct socket *sock, int probes, int time, int interval);
void mirvol_tcp_reset_keepalive_timer(struct socket *sock, unsigned long ticks);
void mirvol_tcp_delete_keepalive_timer(struct socket *sock);
int mirvol_sock_recvmsg(struct socket *sock, struct kmsghdr *msg, struct kvec *vec, size_t len,
                        int flags);
// Sends one kernel buffer as one message, to `addr` when given. The flags
// argument is not used.
int mirvol_sys_sendto(void *buf, size_t len, unsigned int flags, struct ksockaddr *addr,
                      int addr_len, struct socket *sock);
// One receive into a kernel buffer. When signal 24 (the watchdog of the
// caller's timer) is pending afterwards it is cleared and the result is
// -ETIME, whatever was received: on a stream socket those bytes are gone,
// so a caller must treat -ETIME as the end of that connection.
int mirvol_sys_recvfrom(void *buf, size_t len, unsigned int flags, struct ksockaddr *addr,
                        int *addr_len, struct socket *sock);

void mirvol_put_ipaddress(u8 *dest, const u8 *src);
void mirvol_get_ipaddress(u8 *dest, const u8 *src);
void big_to_little(u32 *words, int count);
