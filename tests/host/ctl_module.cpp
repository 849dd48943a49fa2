// A stand-in module for the control socket's tests: it registers a disk
// "NMP%d" per minor (every bio fails) whose ioctl offers a few commands that
// show what a control command sees of its caller. The real driver cannot
// show this: its commands neither echo their buffers nor read the caller's
// descriptors back, wait on a key, or answer more than a few KiB.
//
//   1  flip     copies 16 bytes in, writes their complement back; returns the
//               bytes copied in (a shorter buffer gives fewer).
//   2  read fd  {i32 fd, u8 data[60]}: reads the caller's descriptor fd from
//               offset 0 into data; returns the bytes read, -EBADF when the
//               caller passed no descriptor of that number.
//   3  wait     {u32 key, u32 pad, u64 signals}: sleeps (interruptibly)
//               until command 4 releases key; returns 0, or -ERESTARTSYS
//               when a signal came first, with the pending signals in
//               `signals`.
//   4  release  {u32 key}: releases key (0 .. 63) for every waiter on it.
//   102 init    answers a device-init record (mirvol_rec::nmp_init_record)
//               as the driver does: STATUS_OK when the caller passed both
//               descriptors cp_fd and dp_fd name, else STATUS_FAILED; the
//               disk's minor in `minor`; the whole record copied back.
// Any other number: -ENOTTY.
//
// At unload it logs how many commands were still inside the module.

#include <atomic>

#include "include/mirvol.h"
#include "include/mirvol_main.h"
#include "include/mirvol_records.h"
#include "include/mirvol_status.h"
#include "platform/blkdev.h"
#include "platform/kernel.h"
#include "platform/vfs.h"
#include "platform/host_side.h"
#include "tests/host/stand_in_disks.h"

int nmp_minor[MIRVOL_MAX_NMP];
unsigned int minor_num;
int g_nmp_count;
int g_mirvol_major = 218;
module_param_array(nmp_minor, int, &minor_num, 0600);
module_param(g_nmp_count, int, 0);
module_param(g_mirvol_major, int, 0);

namespace {


stand_in_disks disks;
std::atomic<int> inside;

wait_queue_head_t release_wq;
std::atomic<unsigned long long> released;  // bit per key

void ctl_make_request(struct request_queue *, struct bio *bio) { bio_io_error(bio); }

int cmd_flip(unsigned long arg) {
  unsigned char b[16];
  unsigned long missing = copy_from_user(b, (void __user *)arg, sizeof(b));
  for (auto &c : b) c = (unsigned char)~c;
  copy_to_user((void __user *)arg, b, sizeof(b));
  return (int)(sizeof(b) - missing);
}

int cmd_read_fd(unsigned long arg) {
  struct {
    s32 fd;
    u8 data[60];
  } rec;
  copy_from_user(&rec, (void __user *)arg, sizeof(rec));
  struct file *f = fget((unsigned int)rec.fd);
  if (!f) return -EBADF;
  loff_t pos = 0;
  long n = kernel_read(f, rec.data, sizeof(rec.data), &pos);
  fput(f);
  copy_to_user((void __user *)arg, &rec, sizeof(rec));
  return (int)n;
}

int cmd_wait(unsigned long arg) {
  struct {
    u32 key;
    u32 pad;
    u64 signals;
  } rec;
  copy_from_user(&rec, (void __user *)arg, sizeof(rec));
  if (rec.key > 63) return -EINVAL;
  unsigned long long bit = 1ULL << rec.key;
  printk(KERN_INFO "ctltest: %s waits on key %u\n", task_comm(get_current()), rec.key);
  int r = wait_event_interruptible(release_wq, (released.load() & bit) != 0);
  rec.signals = 0;
  for (int sig = 1; sig <= KSIG_MAX; sig++)
    if (sigismember_pending(get_current(), sig)) rec.signals |= sigmask_k(sig);
  printk(KERN_INFO "ctltest: wait on key %u ended: %d\n", rec.key, r);
  copy_to_user((void __user *)arg, &rec, sizeof(rec));
  return r;
}

int cmd_release(unsigned long arg) {
  u32 key = 0;
  copy_from_user(&key, (void __user *)arg, sizeof(key));
  if (key > 63) return -EINVAL;
  released.fetch_or(1ULL << key);
  wake_up_interruptible(&release_wq);
  return 0;
}

int cmd_init(struct block_device *bdev, unsigned long arg) {
  mirvol_rec::nmp_init_record rec;
  memset(&rec, 0, sizeof(rec));
  copy_from_user(&rec, (void __user *)arg, sizeof(rec));
  struct file *cp = fget((unsigned int)rec.cp_fd);
  struct file *dp = fget((unsigned int)rec.dp_fd);
  rec.status = cp && dp ? STATUS_OK : STATUS_FAILED;
  if (cp) fput(cp);
  if (dp) fput(dp);
  rec.minor = (u16)MINOR(bdev->bd_dev);
  copy_to_user((void __user *)arg, &rec, sizeof(rec));
  return 0;
}

int ctl_ioctl(struct block_device *bdev, fmode_t, unsigned int cmd, unsigned long arg) {
  inside++;
  int r;
  switch (cmd) {
    case 1:
      r = cmd_flip(arg);
      break;
    case 2:
      r = cmd_read_fd(arg);
      break;
    case 3:
      r = cmd_wait(arg);
      break;
    case 4:
      r = cmd_release(arg);
      break;
    case 102:
      r = cmd_init(bdev, arg);
      break;
    default:
      r = -ENOTTY;
  }
  inside--;
  return r;
}

const struct block_device_operations ctl_fops = {nullptr, nullptr, ctl_ioctl, nullptr};

}  // namespace

int init_module(void) {
  init_waitqueue_head(&release_wq, "ctltest");
  if (!minor_num) return -EIO;
  return disks.add(ctl_make_request, &ctl_fops, 1024);
}

void cleanup_module(void) {
  printk(KERN_INFO "ctltest: unloading with %d commands inside\n", inside.load());
  disks.remove();
}
