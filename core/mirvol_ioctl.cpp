// Control commands: the command table and its dispatcher, the device
// lookups, and the standard block ioctls.

#include "include/mirvol_records.h"
#include "include/mirvol.h"
#include "include/mirvol_bitmap.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_extfs.h"
#include "include/mirvol_history.h"
#include "include/mirvol_bitmap_writer.h"
#include "include/mirvol_main.h"
#include "include/mirvol_mdcsw.h"
#include "include/mirvol_nmp_init.h"
#include "include/mirvol_nmp_stop.h"
#include "include/mirvol_param.h"
#include "include/mirvol_perf.h"
#include "include/mirvol_port.h"
#include "include/mirvol_recovery.h"

// Set by command 101; queue limits are stacked by method 1 until then.
struct driver_adj g_driver_adj = {0, 0, 0, 0, 1, 0};

struct nmp_info *mirvol_get_nmp_info(u32 dev) {
  if (!g_nmp_list.nmp_list_lock) return nullptr;
  u32 minor = dev & 0xfffff;
  struct nmp_info *found = nullptr;
  unsigned long flags;
  spin_lock_irqsave(g_nmp_list.nmp_list_lock, flags);
  for (struct nmp_info *nmp = g_nmp_list.head; nmp; nmp = nmp->next)
    if (nmp->minor == minor) {
      found = nmp;
      break;
    }
  spin_unlock_irqrestore(g_nmp_list.nmp_list_lock, flags);
  return found;
}

struct nmp_info *mirvol_get_nmp_info_by_cpdp(u32 dev) {
  if (!g_nmp_list.nmp_list_lock) return nullptr;
  struct nmp_info *found = nullptr;
  unsigned long flags;
  spin_lock_irqsave(g_nmp_list.nmp_list_lock, flags);
  for (struct nmp_info *nmp = g_nmp_list.head; nmp; nmp = nmp->next)
    if (mirvol_MKDEV(nmp->cp_major, nmp->cp_minor) == dev ||
        mirvol_MKDEV(nmp->dp_major, nmp->dp_minor) == dev) {
      found = nmp;
      break;
    }
  spin_unlock_irqrestore(g_nmp_list.nmp_list_lock, flags);
  return found;
}

// The state of every network, in list order; when none is in use, the
// first free one is taken into use. 1 when a network is (now) in use.
int mirvol_get_nmp_netstatus_for_proc(struct nmp_info *nmp, int *states) {
  if (!nmp->network_list_lock) return 0;
  unsigned long flags;
  int i = 0, using_found = 0;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  if (!nmp->network_list) {
    spin_unlock_irqrestore(nmp->network_list_lock, flags);
    return 0;
  }
  for (struct network *nw = nmp->network_list; nw; nw = nw->next, i++) {
    states[i] = (int)nw->state;
    if (nw->state == NW_USING) using_found = 1;
  }
  if (!using_found) {
    i = 0;
    for (struct network *nw = nmp->network_list; nw; nw = nw->next, i++)
      if (nw->state == NW_FREE) {
        nw->state = NW_USING;
        states[i] = NW_USING;
        using_found = 1;
        break;
      }
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  return using_found;
}

// --- the control command table ---

// A handler works on the kernel copy of its record: the dispatcher zeroes
// it, copies the caller's record in (refusing a record that cannot be read
// whole), looks the device up, calls the handler, and copies the record
// back. Handlers whose records vary in size copy for themselves.
typedef void (*mirvol_cmd_fn)(unsigned int minor, struct nmp_info *nmp, u8 *rec);
typedef int (*mirvol_cmd_raw_fn)(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                                 unsigned long arg);

enum mirvol_cmd_scope {
  CMD_DEVICE,      // on an existing device
  CMD_DRIVER,      // driver-wide: no device is looked up
  CMD_RAW,         // copies its own record
};

struct mirvol_cmd {
  unsigned int cmd;
  enum mirvol_cmd_scope scope;
  const char *name;     // the handler's name, in its messages
  unsigned int in, out;  // record bytes copied in and back
  mirvol_cmd_fn fn;      // null: the command is not available yet
  mirvol_cmd_raw_fn raw;
  // Commands whose value is checked before the device is looked up: true
  // when the record's value is one the handler accepts. A value it refuses
  // is answered by the handler, called without a device (it refuses the
  // value before it touches one), so a bad value gets its own status word
  // whether or not the device exists.
  bool (*value_ok)(const u8 *rec);
};

static int mirvol_nmp_init_cmd(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                               unsigned long arg) {
  (void)minor;
  (void)cmd;
  return mirvol_nmp_init(bdev, arg);
}

// The statistics commands allocate and copy their own records.
static int mirvol_nmp_set_perf_cmd(struct block_device *, unsigned int minor, unsigned int,
                                   unsigned long arg) {
  return mirvol_nmp_set_perf(minor, arg);
}
static int mirvol_nmp_get_perf_cmd(struct block_device *, unsigned int minor, unsigned int,
                                   unsigned long arg) {
  return mirvol_nmp_get_perf(minor, arg);
}

static void mirvol_put_status(u8 *rec, u32 status) { mirvol_rec::rec_put_status(rec, status); }



static const char *on_off(u32 flags, u32 bit) { return (flags & bit) ? "ON" : "OFF"; }

static void mirvol_nmp_set_compress_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  auto r = mirvol_rec::rec_load<mirvol_rec::compress_record>(rec);
  s32 flags = r.flags, value = r.value;
  if (flags != -1) WRITE_ONCE(nmp->compress_flags, (u32)flags);
  if (value != -1) WRITE_ONCE(nmp->compress_value2, (u32)value);
  u32 now = READ_ONCE(nmp->compress_flags);
  mirvol_printk(MIRVOL_INFO
                "NMP%d requested to change compress flag. (Sync data : %s) (Recovery data : %s)\n",
                280, nmp->minor, on_off(now, 1), on_off(now, 2));
  mirvol_put_status(rec, STATUS_OK);
}

static void mirvol_nmp_get_compress_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  mirvol_rec::rec_store(rec, mirvol_rec::compress_record{STATUS_OK, (s32)READ_ONCE(nmp->compress_flags),
                                                         (s32)READ_ONCE(nmp->compress_value2)});
}

// The block-size and bitmap-read commands tell their forms apart by number.
static void mirvol_block_size_get_cmd(unsigned int, struct nmp_info *nmp, u8 *rec) {
  mirvol_block_size_operate(14, nmp, rec);
}
static void mirvol_block_size_set_cmd(unsigned int, struct nmp_info *nmp, u8 *rec) {
  mirvol_block_size_operate(15, nmp, rec);
}
static void mirvol_bitmap_read_cmd(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  mirvol_bitmap_operate(30, minor, nmp, rec);
}
static void mirvol_bitmap_check_cmd(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  mirvol_bitmap_operate(31, minor, nmp, rec);
}

// The port command tells open, close and get apart by its number.
static void mirvol_port_open_cmd(unsigned int, struct nmp_info *nmp, u8 *rec) {
  mirvol_port_operate(5, nmp, rec);
}
static void mirvol_port_close_cmd(unsigned int, struct nmp_info *nmp, u8 *rec) {
  mirvol_port_operate(6, nmp, rec);
}
static void mirvol_port_get_cmd(unsigned int, struct nmp_info *nmp, u8 *rec) {
  mirvol_port_operate(7, nmp, rec);
}

#define CMD_DEV(name, in, out, fn) CMD_DEVICE, name, in, out, fn, nullptr, nullptr
#define CMD_DRV(name, in, out, fn) CMD_DRIVER, name, in, out, fn, nullptr, nullptr
// A device command whose value at offset 4 is checked first.
#define CMD_DEV_VALUE(name, in, out, fn, ok) CMD_DEVICE, name, in, out, fn, nullptr, ok

// The values of commands 3 and 68 (0 or 1), 13 (flags below 16) and 67
// (not negative).
static u32 record_value(const u8 *rec) {
  return mirvol_rec::rec_load<mirvol_rec::value_record>(rec).value;
}
static bool value_0_or_1(const u8 *rec) { return record_value(rec) <= 1; }
static bool clear_flags_ok(const u8 *rec) {
  return mirvol_rec::rec_load<mirvol_rec::cp_time_clear_record>(rec).flags < 16;
}
static bool sync_flags_ok(const u8 *rec) { return (s32)record_value(rec) >= 0; }

// Record sizes come from the record structures.
#define REC(r) sizeof(mirvol_rec::r)

// The commands with a handler. Those whose handlers have not come yet keep
// their record sizes and answer STATUS_FAILED.
static const struct mirvol_cmd mirvol_cmd_table[] = {
    {3, CMD_DEV_VALUE("mirvol_bitmap_clear", REC(value_record), REC(value_record),
                      mirvol_bitmap_clear, value_0_or_1)},
    {5, CMD_DEV("mirvol_port_operate", REC(port_record), REC(port_record), mirvol_port_open_cmd)},
    {6, CMD_DEV("mirvol_port_operate", REC(port_record), REC(port_record), mirvol_port_close_cmd)},
    {7, CMD_DEV("mirvol_port_operate", REC(port_record), REC(port_record), mirvol_port_get_cmd)},
    {8, CMD_DEV("mirvol_set_nmp_param", REC(nmp_param_record), REC(nmp_param_record),
                mirvol_set_nmp_param)},
    {9, CMD_RAW, "mirvol_get_nmp_netstatus", REC(netstatus_record), REC(netstatus_record), nullptr,
     mirvol_get_nmp_netstatus, nullptr},
    {10, CMD_DEV_VALUE("mirvol_block_trans", REC(recovery_record), REC(recovery_record),
                       mirvol_block_trans, mirvol_block_trans_args_ok)},
    {12,
     CMD_DEV("mirvol_read_cp_time", REC(cp_time_record), REC(cp_time_record), mirvol_read_cp_time)},
    {13, CMD_DEV_VALUE("mirvol_clear_cp_time", REC(cp_time_clear_record), REC(cp_time_clear_record),
                       mirvol_clear_cp_time, clear_flags_ok)},
    {14, CMD_DEV("mirvol_block_size_operate", REC(block_size_record), REC(block_size_record),
                 mirvol_block_size_get_cmd)},
    {15, CMD_DEV("mirvol_block_size_operate", REC(block_size_record), REC(block_size_record),
                 mirvol_block_size_set_cmd)},
    {16, CMD_DEV("mirvol_set_nmp_size", REC(size_record), REC(size_record), mirvol_set_nmp_size)},
    {17, CMD_DEV("mirvol_get_bmp_blksize", 0, REC(value_record), mirvol_get_bmp_blksize)},
    {21, CMD_DRV("mirvol_set_disk_error_action", REC(disk_error_action_record),
                 REC(disk_error_action_record), mirvol_set_disk_error_action)},
    {30, CMD_DEV_VALUE("mirvol_bitmap_operate", REC(bitmap_read_record), REC(bitmap_read_record),
                       mirvol_bitmap_read_cmd, mirvol_bitmap_operate_args_ok)},
    {31, CMD_DEV_VALUE("mirvol_bitmap_operate", REC(bitmap_read_record), REC(bitmap_read_record),
                       mirvol_bitmap_check_cmd, mirvol_bitmap_operate_args_ok)},
    {32, CMD_DEV("mirvol_bitmap_get_diff_size", REC(value_record), REC(value_record),
                 mirvol_bitmap_get_diff_size)},
    {33, CMD_DEV("mirvol_get_bitmap_valid_num", REC(value_record), REC(value_record),
                 mirvol_get_bitmap_valid_num)},
    {40, CMD_DEV("mirvol_get_drive_info", REC(drive_info_record), REC(drive_info_record),
                 mirvol_get_drive_info)},
    {50, CMD_DRV("mirvol_request_count_operation", REC(value_record), REC(value_record),
                 mirvol_request_count_get)},
    {51, CMD_DRV("mirvol_request_count_operation", REC(value_record), REC(value_record),
                 mirvol_request_count_set)},
    {52, CMD_DRV("mirvol_request_count_init", REC(request_limit_record), REC(request_limit_record),
                 mirvol_request_count_init)},
    {53, CMD_DEV("mirvol_wait_send_queue_empty", 4, 4, mirvol_wait_send_queue_empty)},
    {54, CMD_DEV("mirvol_send_queue_size_operation", REC(value_record), REC(value_record),
                 mirvol_send_queue_size_get)},
    {55, CMD_DEV("mirvol_send_queue_size_operation", REC(value_record), REC(value_record),
                 mirvol_send_queue_size_set)},
    {60, CMD_DEV("mirvol_wait_bitmap_queue", REC(status_record), REC(status_record),
                 mirvol_wait_bitmap_queue)},
    {61, CMD_DEV("mirvol_set_ratio", REC(value_record), REC(value_record), mirvol_set_ratio)},
    {66, CMD_DEV("mirvol_get_nmp_sync_flag", 0, REC(value_record), mirvol_get_nmp_sync_flag)},
    {67, CMD_DEV_VALUE("mirvol_set_nmp_sync_flag", REC(value_record), REC(value_record),
                       mirvol_set_nmp_sync_flag, sync_flags_ok)},
    {68, CMD_DEV_VALUE("mirvol_set_bitmap", REC(value_record), REC(value_record), mirvol_set_bitmap,
                       value_0_or_1)},
    {70,
     CMD_DEV("mirvol_get_nmp_sync_mode_flag", 0, REC(value_record), mirvol_get_nmp_sync_mode_flag)},
    {72, CMD_DEV("mirvol_set_nmp_to_reserve", 4, 4, mirvol_set_nmp_to_reserve)},
    {73, CMD_RAW, "mirvol_nmp_mdc_update", REC(netstatus_record), REC(netstatus_record), nullptr,
     mirvol_nmp_mdc_update, nullptr},
    {74, CMD_DEV("mirvol_nmp_thread_init", 4, 4, mirvol_nmp_thread_init)},
    {75, CMD_DEV("mirvol_nmp_set_compress_flag", REC(compress_record), REC(compress_record),
                 mirvol_nmp_set_compress_flag)},
    {76, CMD_DEV("mirvol_nmp_get_compress_flag", REC(compress_record), REC(compress_record),
                 mirvol_nmp_get_compress_flag)},
    {77, CMD_DEV("mirvol_nmp_set_bitmap_from_fs", REC(fs_bitmap_record), REC(fs_bitmap_record),
                 mirvol_nmp_set_bitmap_from_fs)},
    {78, CMD_DEV("mirvol_nmp_get_fs_block_count", REC(fs_count_record), REC(fs_count_record),
                 mirvol_nmp_get_fs_block_count)},
    {79, CMD_DEV("mirvol_nmp_mdc_switch", REC(mdc_switch_record), REC(mdc_switch_record),
                 mirvol_nmp_mdc_switch)},
    {80, CMD_DEV("mirvol_nmp_cancel_waiting_ack", REC(status_record), REC(status_record),
                 mirvol_nmp_cancel_waiting_ack)},
    {81, CMD_RAW, "mirvol_nmp_set_perf", REC(perf_set_record), REC(perf_set_record), nullptr,
     mirvol_nmp_set_perf_cmd, nullptr},
    {82, CMD_RAW, "mirvol_nmp_get_perf", REC(perf_get_record), REC(perf_get_record), nullptr,
     mirvol_nmp_get_perf_cmd, nullptr},
    {83, CMD_RAW, "mirvol_nmp_check_holders", REC(check_holders_record), REC(check_holders_record),
     nullptr, mirvol_nmp_check_holders, nullptr},
    {84, CMD_DEV("mirvol_clear_all_history_info_ioctl", REC(status_record), REC(status_record),
                 mirvol_clear_all_history_info_ioctl)},
    {85, CMD_DEV("mirvol_convert_history_info_ioctl", REC(status_record), REC(status_record),
                 mirvol_convert_history_info_ioctl)},
    {86, CMD_DEV("mirvol_set_time_and_wait_queue", 4, 4, mirvol_set_time_and_wait_queue)},
    {101, CMD_DRV("mirvol_network_init", REC(network_init_record), REC(network_init_record),
                  mirvol_network_init)},
    {102, CMD_RAW, "mirvol_nmp_init", REC(nmp_init_record), REC(nmp_init_record), nullptr,
     mirvol_nmp_init_cmd, nullptr},
};
#undef REC

#define MIRVOL_MAX_RECORD sizeof(mirvol_rec::nmp_init_record)

// Runs one table command on the caller's record.
static int mirvol_run_cmd(const struct mirvol_cmd *c, unsigned int minor, unsigned int cmd,
                          unsigned long arg) {
  u8 rec[MIRVOL_MAX_RECORD];
  memset(rec, 0, sizeof(rec));
  void __user *uptr = reinterpret_cast<void __user *>(arg);
  if (c->in && mirvol_copy_from_user(rec, uptr, c->in)) return -EFAULT;

  struct nmp_info *nmp = nullptr;
  if (c->value_ok && !c->value_ok(rec)) {
    c->fn(minor, nullptr, rec);
    return mirvol_copy_to_user(uptr, rec, c->out) ? -EFAULT : 0;
  }
  if (c->scope == CMD_DEVICE) {
    nmp = mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, minor));
    if (!nmp) {
      mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, (int)minor, c->name);
      mirvol_put_status(rec, STATUS_NO_DEVICE);
      // A record with no input (17, 66, 70) still answers the whole size.
      return mirvol_copy_to_user(uptr, rec, c->out) ? -EFAULT : 0;
    }
  }
  if (c->fn) {
    c->fn(minor, nmp, rec);
  } else {
    mirvol_printk(MIRVOL_WARN "NMP%d command %u (%s) is not available.\n", 185, (int)minor, cmd,
                  c->name);
    mirvol_put_status(rec, STATUS_FAILED);
  }
  return mirvol_copy_to_user(uptr, rec, c->out) ? -EFAULT : 0;
}

static const struct mirvol_cmd *mirvol_find_cmd(unsigned int cmd) {
  if (cmd < 3 || cmd > 102) return nullptr;
  for (const struct mirvol_cmd &c : mirvol_cmd_table)
    if (c.cmd == cmd) return &c;
  return nullptr;
}

int mirvol_ioctl_cmd_dispatch(struct block_device *bdev, unsigned int cmd, unsigned long arg) {
  unsigned int minor = bdev->bd_dev & 0xfffff;
  const struct mirvol_cmd *c = mirvol_find_cmd(cmd);
  if (!c) return mirvol_other_ioctl(cmd, minor, arg);
  if (c->scope == CMD_RAW) return c->raw(bdev, minor, cmd, arg);
  return mirvol_run_cmd(c, minor, cmd, arg);
}

// The block device's ioctl operation of every mirror disk.
int mirvol_ioctl(struct block_device *bdev, fmode_t mode, unsigned int cmd, unsigned long arg) {
  (void)mode;
  if (!bdev) {
    mirvol_printk(MIRVOL_WARN "ioctl() got block_device with NULL, exit.\n", 170);
    return -EINVAL;
  }
  return mirvol_ioctl_cmd_dispatch(bdev, cmd, arg);
}

// --- the standard block ioctls ---

static int put_user_bytes(unsigned long arg, const void *v, unsigned long n) {
  return mirvol_copy_to_user(reinterpret_cast<void __user *>(arg), v, n) ? -EFAULT : 0;
}

int mirvol_other_ioctl(unsigned int cmd, unsigned int minor, unsigned long arg) {
  struct nmp_info *nmp = mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, minor));
  if (!nmp) {
    mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (mirvol_other_ioctl %#x)\n", 141,
                  (int)minor, cmd);
    return -EINVAL;
  }
  switch (cmd) {
    case BLKGETSIZE: {
      // An unsigned long, as the caller passes it.
      u64 sectors = nmp->own_bdev ? get_capacity(nmp->own_bdev->bd_disk) : 0;
      return put_user_bytes(arg, &sectors, sizeof(sectors));
    }
    case BLKGETSIZE64: {
      u64 bytes = (nmp->own_bdev ? get_capacity(nmp->own_bdev->bd_disk) : 0) * 512;
      return put_user_bytes(arg, &bytes, sizeof(bytes));
    }
    case BLKROSET:
    case BLKROGET:
    case BLKFLSBUF:
      return 0;
    case BLKSSZGET: {
      // An int, as the caller passes it: 4 bytes, not 8.
      s32 size = nmp->dp_bdev ? (s32)mirvol_get_logical_block_size(nmp->dp_bdev) : 512;
      return put_user_bytes(arg, &size, sizeof(size));
    }
    case BLKPBSZGET: {
      s32 size = nmp->dp_bdev ? (s32)mirvol_get_physical_block_size(nmp->dp_bdev) : 512;
      return put_user_bytes(arg, &size, sizeof(size));
    }
    case BLKPG:
      if (!nmp->own_bdev) return -EINVAL;
      // The mirror disk's own ioctl would come back here; the kernel's
      // generic partition ioctl is what this stands for, and mirror disks
      // have no partitions.
      return -EINVAL;
    default:
      return -EINVAL;
  }
}
