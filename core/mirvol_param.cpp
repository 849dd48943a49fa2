// Run-time device settings: parameters and the time-out ratio, the in-flight
// request limits, the send queue limit, the disk-error actions, the sync
// switch flags and the mode, the size and bitmap granule, the port flags and
// the networks of an existing device.

#include "include/mirvol_records.h"
#include "include/mirvol_param.h"

#include "include/mirvol_bitmap.h"
#include "include/mirvol_ext.h"
#include "include/mirvol_main.h"
#include "include/mirvol_mdcsw.h"
#include "include/mirvol_recv.h"

// The device the dispatcher found, or the device of this minor; none
// answers STATUS_NO_DEVICE.
static struct nmp_info *param_device(unsigned int minor, struct nmp_info *nmp, u8 *rec,
                                     const char *fn) {
  if (nmp) return nmp;
  nmp = mirvol_get_nmp_info(mirvol_MKDEV((u32)g_mirvol_major, minor));
  if (!nmp) {
    mirvol_printk(MIRVOL_WARN "NMP%d device does not exist. (%s)\n", 141, (int)minor, fn);
    mirvol_rec::rec_put_status(rec, STATUS_NO_DEVICE);
  }
  return nmp;
}

#define MIRVOL_SEND_QUEUE_MAX 999999
#define MIRVOL_SEND_QUEUE_DEFAULT 65535
#define MIRVOL_BAND_LIMIT_MAX 999999

// --- command 8: run-time parameters ---

struct param_range {
  const char *name;
  uint32_t mirvol_rec::nmp_init_record::*init_field;  // in the device-init record
  uint32_t mirvol_rec::nmp_param_record::*param_field;  // in the parameter record
  u32 nmp_info::*field;
  u32 min, max, def;
};

// In the order they are checked; values are taken as unsigned, so 0 and
// negative numbers are out of range.
#define PARAM_FIELDS(f) &mirvol_rec::nmp_init_record::f, &mirvol_rec::nmp_param_record::f
static const struct param_range mirvol_param_ranges[] = {
    {"hb_interval", PARAM_FIELDS(hb_interval), &nmp_info::hb_interval, 1, 600, 10},
    {"hb_recv_timeout", PARAM_FIELDS(hb_recv_timeout), &nmp_info::hb_recv_timeout, 1, 100, 2},
    {"hb_recv_retry", PARAM_FIELDS(hb_recv_retry), &nmp_info::hb_recv_retry, 1, 50, 8},
    {"ack_timeout", PARAM_FIELDS(ack_timeout), &nmp_info::ack_timeout, 1, 600, 100},
    {"connect_timeout", PARAM_FIELDS(connect_timeout), &nmp_info::connect_timeout, 1, 100, 10},
    {"send_timeout", PARAM_FIELDS(send_timeout), &nmp_info::send_timeout, 1, 100, 30},
    {"keepalive_time", PARAM_FIELDS(keepalive_time), &nmp_info::keepalive_time, 1, 100, 30},
    {"keepalive_probe", PARAM_FIELDS(keepalive_probe), &nmp_info::keepalive_probe, 1, 100, 3},
    {"keepalive_interval", PARAM_FIELDS(keepalive_interval), &nmp_info::keepalive_interval, 1, 100, 1},
    {"lastupdate_delay", PARAM_FIELDS(lastupdate_delay), &nmp_info::lastupdate_delay, 1, 100, 5},
    {"receive_normal_timeout", PARAM_FIELDS(receive_normal_timeout), &nmp_info::receive_normal_timeout, 1, 600, 100},
};

static void mirvol_log_hb_ignored(struct nmp_info *nmp) {
  mirvol_printk(MIRVOL_INFO
                "NMP%d hb_recv_timeout is 0. Heartbeat of mirror disk connection will be "
                "ignored.\n",
                183, nmp->minor);
}

#undef PARAM_FIELDS

void mirvol_check_params(struct nmp_info *nmp, const u8 *rec, bool init_record) {
  mirvol_rec::nmp_init_record init{};
  mirvol_rec::nmp_param_record param{};
  if (init_record)
    init = mirvol_rec::rec_load<mirvol_rec::nmp_init_record>(rec);
  else
    param = mirvol_rec::rec_load<mirvol_rec::nmp_param_record>(rec);
  for (const struct param_range &r : mirvol_param_ranges) {
    u32 v = init_record ? init.*r.init_field : param.*r.param_field;
    if (r.field == &nmp_info::hb_recv_timeout && v == 0) {
      mirvol_log_hb_ignored(nmp);
    } else if (v < r.min || v > r.max) {
      mirvol_printk(MIRVOL_WARN
                    "NMP%d %s (%d) is invalid. The default setting (%d) will be used instead.\n",
                    180, nmp->minor, r.name, (int)v, (int)r.def);
      v = r.def;
    }
    WRITE_ONCE(nmp->*r.field, v);
  }
}

u64 mirvol_check_send_queue_cnt(struct nmp_info *nmp, u64 queue) {
  if (queue <= MIRVOL_SEND_QUEUE_MAX) return queue;
  mirvol_printk(MIRVOL_WARN
                "NMP%d send_queue_cnt (%lu) is invalid. The default setting (%d) will be used "
                "instead.\n",
                180, nmp->minor, (unsigned long)queue, MIRVOL_SEND_QUEUE_DEFAULT);
  return MIRVOL_SEND_QUEUE_DEFAULT;
}

u32 mirvol_check_band_limit(struct nmp_info *nmp, u32 mode, u32 limit) {
  if (mode == 1) {
    if (limit <= MIRVOL_BAND_LIMIT_MAX) return limit;
    mirvol_printk(MIRVOL_WARN
                  "NMP%d band_limit (%d) is invalid. The default setting (%d) will be used "
                  "instead.\n",
                  180, nmp->minor, (int)limit, 0);
  } else if (mode != 0) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d band_limit_mode (%d) is invalid. The default setting (%d) will be used "
                  "instead.\n",
                  180, nmp->minor, (int)mode, 0);
  }
  return 0;
}

// Each value is checked before it is stored, so the device threads, which
// read the values without a lock, never see one out of range; each store is
// atomic, as are the threads' reads (mirvol_timeout). The base
// time-outs of creation stay as they are: the ratio keeps scaling those.
void mirvol_set_nmp_param(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_set_nmp_param");
  if (!nmp) return;

  auto r = mirvol_rec::rec_load<mirvol_rec::nmp_param_record>(rec);
  WRITE_ONCE(nmp->send_queue_cnt, mirvol_check_send_queue_cnt(nmp, r.send_queue_cnt));
  u32 band = mirvol_check_band_limit(nmp, r.band_limit_mode, r.band_limit);
  WRITE_ONCE(nmp->band_limit, nmp->mode == 1 ? 0 : band * 1024);
  mirvol_check_params(nmp, rec, false);
  mirvol_rec::rec_put_status(rec, STATUS_OK);
}

// --- command 61: the time-out ratio ---

struct ratio_range {
  const char *name;
  u32 nmp_info::*field;
  u32 nmp_info::*base;
  u32 max;
};

// In the order they are checked.
static const struct ratio_range mirvol_ratio_ranges[] = {
    {"hb_recv_timeout", &nmp_info::hb_recv_timeout, &nmp_info::base_hb_recv_timeout, 100},
    {"ack_timeout", &nmp_info::ack_timeout, &nmp_info::base_ack_timeout, 600},
    {"connect_timeout", &nmp_info::connect_timeout, &nmp_info::base_connect_timeout, 100},
    {"send_timeout", &nmp_info::send_timeout, &nmp_info::base_send_timeout, 100},
    {"keepalive_time", &nmp_info::keepalive_time, &nmp_info::base_keepalive_time, 100},
    {"receive_normal_timeout", &nmp_info::receive_normal_timeout,
     &nmp_info::base_receive_normal_timeout, 600},
};

// Scales the creation time-outs by the ratio. The product is taken in 64
// bits, so a large ratio saturates at the maximum instead of wrapping round
// to a small (or zero) time-out.
void mirvol_set_ratio(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_set_ratio");
  if (!nmp) return;
  s32 ratio = (s32)mirvol_rec::rec_load<mirvol_rec::value_record>(rec).value;
  if (ratio <= 0) {
    mirvol_printk(MIRVOL_ERR "NMP%d the ratio value (%d) is invalid. (mirvol_set_ratio)\n", 182,
                  nmp->minor, ratio);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  for (const struct ratio_range &r : mirvol_ratio_ranges) {
    u64 v = (u64)(u32)ratio * (u64)(nmp->*r.base);
    if (r.field == &nmp_info::hb_recv_timeout && v == 0) {
      mirvol_log_hb_ignored(nmp);
    } else if (v < 1 || v > r.max) {
      // The figure shown stops at the largest the message can print.
      int shown = v > 0x7fffffffu ? 0x7fffffff : (int)v;
      mirvol_printk(MIRVOL_INFO
                    "NMP%d %s (%d) is invalid. The maximum number (%d) will be used instead.\n",
                    181, nmp->minor, r.name, shown, (int)r.max);
      v = r.max;
    }
    WRITE_ONCE(nmp->*r.field, (u32)v);
  }
  mirvol_rec::rec_put_status(rec, STATUS_OK);
}

// --- commands 50, 51, 52: the module-wide in-flight request limit ---

void mirvol_request_count_operation(unsigned int cmd, unsigned int minor, struct nmp_info *nmp,
                                    u8 *rec) {
  if (!param_device(minor, nmp, rec, "mirvol_request_count_operation")) return;
  auto r = mirvol_rec::rec_load<mirvol_rec::value_record>(rec);
  unsigned long flags;
  spin_lock_irqsave(&g_max_lock, flags);
  if (cmd == 50) {
    r.value = (u32)g_make_request_max_cnt;
  } else {
    u32 v = r.value;
    if (v != 0) {
      if (v <= mirvol_min_request_count)
        v = mirvol_min_request_count;
      else if (v >= mirvol_max_request_count)
        v = mirvol_max_request_count;
    }
    g_make_request_max_cnt = v;
  }
  spin_unlock_irqrestore(&g_max_lock, flags);
  r.status = STATUS_OK;
  mirvol_rec::rec_store(rec, r);
}

void mirvol_request_count_get(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  mirvol_request_count_operation(50, minor, nmp, rec);
}

void mirvol_request_count_set(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  mirvol_request_count_operation(51, minor, nmp, rec);
}

// The clamps are stored whatever the limit; the limit only when it is 0 or
// lies within them. The request path reads the limit under g_max_lock, so
// it is stored under it too.
void mirvol_request_count_init(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  (void)nmp;
  auto r = mirvol_rec::rec_load<mirvol_rec::request_limit_record>(rec);
  u32 min = r.min, max = r.max, cur = r.current;
  u32 status = STATUS_OK;
  unsigned long flags;
  spin_lock_irqsave(&g_max_lock, flags);
  mirvol_min_request_count = min;
  mirvol_max_request_count = max;
  if (cur == 0 || (cur >= min && cur <= max))
    g_make_request_max_cnt = cur;
  else
    status = STATUS_INVALID_PARAMETER;
  spin_unlock_irqrestore(&g_max_lock, flags);
  mirvol_rec::rec_put_status(rec, status);
}

// --- commands 54, 55: the send queue limit ---

void mirvol_send_queue_size_operation(unsigned int cmd, unsigned int minor, struct nmp_info *nmp,
                                      u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_send_queue_size_operation");
  if (!nmp) return;
  auto r = mirvol_rec::rec_load<mirvol_rec::value_record>(rec);
  u64 v = cmd == 55 ? (u64)(s64)(s32)r.value : nmp->send_queue_cnt;
  if (v > MIRVOL_SEND_QUEUE_MAX) v = MIRVOL_SEND_QUEUE_DEFAULT;
  WRITE_ONCE(nmp->send_queue_cnt, v);
  if (cmd == 54) r.value = (u32)v;
  r.status = STATUS_OK;
  mirvol_rec::rec_store(rec, r);
}

void mirvol_send_queue_size_get(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  mirvol_send_queue_size_operation(54, minor, nmp, rec);
}

void mirvol_send_queue_size_set(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  mirvol_send_queue_size_operation(55, minor, nmp, rec);
}

// --- command 21: the module-wide disk-error actions ---

void mirvol_set_disk_error_action(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  (void)minor;
  (void)nmp;
  auto r = mirvol_rec::rec_load<mirvol_rec::disk_error_action_record>(rec);
  s32 action = (s32)r.action_flag, cp = (s32)r.cp_action, dp = (s32)r.dp_action;
  if (action < 0 || action > 1) {
    mirvol_printk(MIRVOL_ERR "action_flg(%d) is invalid. (mirvol_set_disk_error_action)\n", 182,
                  action);
  } else if (cp < 0 || cp > 1) {
    mirvol_printk(MIRVOL_ERR "cp_action(%d) is invalid. (mirvol_set_disk_error_action)\n", 182, cp);
  } else if (dp < 0 || dp > 2) {
    mirvol_printk(MIRVOL_ERR "dp_action(%d) is invalid. (mirvol_set_disk_error_action)\n", 182, dp);
  } else {
    g_disk_error_action[1] = action;
    g_disk_error_action[2] = cp;
    g_disk_error_action[3] = dp;
    mirvol_rec::rec_put_status(rec, STATUS_OK);
    return;
  }
  mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
}

// --- commands 66, 67, 70: the sync switch flags and the mode ---

#define SYNC_FLAG_LASTUPDATE 8  // the driver's own: a last-update time is set

static bool sync_flags_off(u32 flags) { return flags >= 1 && flags <= 255; }

// Stores flags with value 8 following the last-update time, under the
// device spinlock the request path takes for the same bit; the old flags.
static u32 sync_flags_store(struct nmp_info *nmp, u32 flags, bool keep, u32 *result) {
  unsigned long irq;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, irq);
  u32 old = nmp->sync_switch_flags;
  u32 v = keep ? old : flags;
  if (nmp->last_update_time)
    v |= SYNC_FLAG_LASTUPDATE;
  else
    v &= ~(u32)SYNC_FLAG_LASTUPDATE;
  nmp->sync_switch_flags = v;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, irq);
  *result = v;
  return old;
}

void mirvol_get_nmp_sync_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_get_nmp_sync_flag");
  if (!nmp) return;
  u32 v;
  sync_flags_store(nmp, 0, true, &v);
  mirvol_rec::rec_store(rec, mirvol_rec::value_record{STATUS_OK, v});
}

void mirvol_set_nmp_sync_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  s32 flags = (s32)mirvol_rec::rec_load<mirvol_rec::value_record>(rec).value;
  if (flags < 0) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d sync switch flag (%#x) is invalid. (mirvol_set_nmp_sync_flag)\n",
                  182, (int)minor, (unsigned int)flags);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  nmp = param_device(minor, nmp, rec, "mirvol_set_nmp_sync_flag");
  if (!nmp) return;
  u32 v;
  u32 old = sync_flags_store(nmp, (u32)flags, false, &v);
  char text[8];
  if (sync_flags_off(v))
    mirvol_printk(MIRVOL_INFO "NMP%d sync switch flag is set to OFF. %s\n", 191, nmp->minor,
                  mirvol_disp_sync_flag(v, text, sizeof(text)));
  else
    mirvol_printk(MIRVOL_INFO "NMP%d sync switch flag is set to ON.  %s\n", 190, nmp->minor,
                  mirvol_disp_sync_flag(v, text, sizeof(text)));
  mirvol_make_async_queue_empty(nmp, v, old);
  mirvol_rec::rec_put_status(rec, STATUS_OK);
}

void mirvol_get_nmp_sync_mode_flag(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_get_nmp_sync_mode_flag");
  if (!nmp) return;
  mirvol_rec::rec_store(rec, mirvol_rec::value_record{STATUS_OK, nmp->mode});
}

// --- commands 16, 17, 33, 40: size, granule and port flags ---

u64 mirvol_bitmap_room_bits(const struct nmp_info *nmp) {
  u64 last = mirvol_cp_is_4k(nmp) ? MIRVOL_BMP_LAST_INDEX_4K : MIRVOL_BMP_LAST_INDEX_1K;
  return (last - mirvol_bmp_first_index(nmp) + 1) * mirvol_bmp_bits_per_block(nmp);
}

// A granule of 0 would leave the bitmap without a size, and one of 2^31
// and up reads as non-positive where it is used signed: both are refused,
// as device creation refuses them. A size whose bits reach past the
// bitmap's room in the Cluster Partition is refused too: the bits beyond
// it could never be recorded, so unmirrored writes there would be lost.
void mirvol_set_nmp_size(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_set_nmp_size");
  if (!nmp) return;
  auto r = mirvol_rec::rec_load<mirvol_rec::size_record>(rec);
  u64 kib = r.size_kib;
  u64 sectors = kib * 2;
  u32 granule = r.granule;
  if (granule == 0 || granule >= 0x80000000u) {
    mirvol_printk(MIRVOL_ERR "NMP%d bmp_size_in_sec (%u) is invalid. (mirvol_set_nmp_size)\n", 182,
                  nmp->minor, granule);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  u64 room = mirvol_bitmap_room_bits(nmp);
  // Sizes whose sector count does not fit 64 bits cannot fit the room
  // either.
  if (kib > ~0ULL / 2 || sectors / granule + (sectors % granule ? 1 : 0) > room) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d size (%llu KB) is invalid with bmp_size_in_sec (%u): the bitmap holds "
                  "%llu bits. (mirvol_set_nmp_size)\n",
                  182, nmp->minor, (unsigned long long)kib, granule, (unsigned long long)room);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  if (nmp->own_bdev) set_capacity(nmp->own_bdev->bd_disk, sectors);
  // The request path reads the size without a lock while I/O runs.
  if (nmp->minor <= MIRVOL_MAX_MINOR) smp_store_release(&my_disk[nmp->minor], sectors);
  WRITE_ONCE(nmp->bmp_size_in_sec, granule);
  mirvol_rec::rec_put_status(rec, STATUS_OK);
}

void mirvol_get_bmp_blksize(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_get_bmp_blksize");
  if (!nmp) return;
  mirvol_rec::rec_store(rec, mirvol_rec::value_record{STATUS_OK, READ_ONCE(nmp->bmp_size_in_sec)});
}

int mirvol_get_bitmap_valid_num_main(struct nmp_info *nmp) {
  u64 granule = READ_ONCE(nmp->bmp_size_in_sec);
  if (granule == 0) return -1;
  u64 sectors = nmp->own_bdev ? get_capacity(nmp->own_bdev->bd_disk) : 0;
  u64 bits = sectors / granule + (sectors % granule ? 1 : 0);
  return bits > 0x7fffffffu ? -1 : (int)bits;
}

void mirvol_get_bitmap_valid_num(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_get_bitmap_valid_num");
  if (!nmp) return;
  int bits = mirvol_get_bitmap_valid_num_main(nmp);
  if (bits < 0) {
    mirvol_printk(MIRVOL_WARN
                  "NMP%d failed to get total_bitmap_in_bits (%d). (mirvol_get_bitmap_valid_num)\n",
                  203, nmp->minor, bits);
    mirvol_rec::rec_put_status(rec, STATUS_INVALID_PARAMETER);
    return;
  }
  mirvol_rec::rec_store(rec, mirvol_rec::value_record{STATUS_OK, (u32)bits});
}

void mirvol_get_drive_info(unsigned int minor, struct nmp_info *nmp, u8 *rec) {
  nmp = param_device(minor, nmp, rec, "mirvol_get_drive_info");
  if (!nmp) return;
  unsigned long flags;
  spin_lock_irqsave(&nmp->nmp_variable->nmp_lock, flags);
  u32 nw = nmp->nw_port, io = nmp->io_port, mount = nmp->mount_port, err = nmp->disk_error_flag;
  spin_unlock_irqrestore(&nmp->nmp_variable->nmp_lock, flags);
  auto r = mirvol_rec::rec_load<mirvol_rec::drive_info_record>(rec);
  r.status = STATUS_OK;
  r.nw = nw ? 1 : 0;
  r.io = io ? 1 : 0;
  r.mount = mount ? 1 : 0;
  r.disk_error = err ? 1 : 0;
  mirvol_rec::rec_store(rec, r);
}

// --- commands 9 and 73: the networks ---

static u32 netstatus_size(u32 mdc_cnt) {
  return MIRVOL_NETSTATUS_HEAD + MIRVOL_NET_DETAIL_SIZE * mdc_cnt;
}

static int copy_back(void __user *uptr, const void *rec, unsigned long len) {
  return mirvol_copy_to_user(uptr, rec, len) ? -EFAULT : 0;
}

// The caller sizes its record for the number of networks it expects. Only
// the one-network head is read before the counts agree, and only that much
// is written back when they do not, so a record sized for fewer networks
// than the device has is never read or written past its end.
int mirvol_get_nmp_netstatus(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                             unsigned long arg) {
  (void)bdev;
  (void)cmd;
  void __user *uptr = reinterpret_cast<void __user *>(arg);
  u8 head[MIRVOL_NETSTATUS_MIN];
  memset(head, 0, sizeof(head));
  if (mirvol_copy_from_user(head, uptr, MIRVOL_NETSTATUS_HEAD)) return -EFAULT;

  struct nmp_info *nmp = param_device(minor, nullptr, head, "mirvol_get_nmp_netstatus");
  if (!nmp) return copy_back(uptr, head, sizeof(head));
  if (!nmp->network_list || (s32)nmp->mdc_cnt <= 0) {
    mirvol_printk(MIRVOL_WARN "NMP%d N/W is not initialized yet. (mirvol_get_nmp_netstatus)\n", 142,
                  nmp->minor);
    mirvol_rec::rec_put_status(head, STATUS_NW_NOT_INITIALIZED);
    return copy_back(uptr, head, sizeof(head));
  }
  u32 count = nmp->mdc_cnt;
  if (mirvol_rec::rec_load<mirvol_rec::netstatus_record>(head).mdc_cnt != count) {
    mirvol_rec::rec_put_status(head, STATUS_INVALID_PARAMETER);
    return copy_back(uptr, head, sizeof(head));
  }

  // The list is built with the device and never changes length; the state
  // scratch covers it whole.
  u32 listed = 0;
  unsigned long flags;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  for (struct network *nw = nmp->network_list; nw; nw = nw->next) listed++;
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  u32 nstates = listed > count ? listed : count;

  u32 size = netstatus_size(count);
  u8 *rec = static_cast<u8 *>(mirvol_kmalloc(size + sizeof(int) * nstates));
  if (!rec) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate PG_NMP_NETSTATUS and PG_NETCARD_DETAIL.\n",
                  145, nmp->minor);
    mirvol_rec::rec_put_status(head, STATUS_NO_MEMORY);
    return copy_back(uptr, head, sizeof(head));
  }
  if (mirvol_copy_from_user(rec, uptr, size)) {
    mirvol_kfree(&rec);
    return -EFAULT;
  }
  int *states = reinterpret_cast<int *>(rec + size);
  memset(states, 0, sizeof(int) * nstates);
  mirvol_get_nmp_netstatus_for_proc(nmp, states);

  spin_lock_irqsave(nmp->network_list_lock, flags);
  u32 i = 0;
  for (struct network *nw = nmp->network_list; nw && i < count; nw = nw->next, i++) {
    u8 *e = rec + MIRVOL_NETSTATUS_HEAD + i * MIRVOL_NET_DETAIL_SIZE;
    auto ne = mirvol_rec::rec_load<mirvol_rec::net_entry>(e);
    mirvol_get_ipaddress(ne.self, nw->self_addr);
    mirvol_get_ipaddress(ne.peer, nw->opponent_addr);
    ne.state = (u32)states[i];
    mirvol_rec::rec_store(e, ne);
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);
  auto h = mirvol_rec::rec_load<mirvol_rec::netstatus_record>(rec);
  h.ip_version = nmp->ip_version;
  h.status = STATUS_OK;
  mirvol_rec::rec_store(rec, h);
  int ret = copy_back(uptr, rec, size);
  mirvol_kfree(&rec);
  return ret;
}

// New addresses and states for the device's networks. The states are taken
// as device creation takes them: above ERROR counts as ERROR, and only the
// first network in use stays in use. The DATA connections are then shut, so
// the connection threads reconnect over the new addresses.
int mirvol_nmp_mdc_update(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                          unsigned long arg) {
  (void)bdev;
  (void)cmd;
  void __user *uptr = reinterpret_cast<void __user *>(arg);
  u8 head[MIRVOL_NETSTATUS_MIN];
  memset(head, 0, sizeof(head));
  if (mirvol_copy_from_user(head, uptr, sizeof(head))) return -EFAULT;

  struct nmp_info *nmp = param_device(minor, nullptr, head, "mirvol_nmp_mdc_update");
  if (!nmp) return copy_back(uptr, head, sizeof(head));
  auto h = mirvol_rec::rec_load<mirvol_rec::netstatus_record>(head);
  u32 count = h.mdc_cnt, ip_version = h.ip_version;
  if (ip_version != nmp->ip_version || count != nmp->mdc_cnt || (s32)count <= 0) {
    mirvol_printk(MIRVOL_ERR
                  "NMP%d ip_version (%d) or mdc_cnt (%d) is invalid. (mirvol_nmp_mdc_update)\n",
                  182, nmp->minor, (int)ip_version, (int)count);
    mirvol_rec::rec_put_status(head, STATUS_INVALID_PARAMETER);
    return copy_back(uptr, head, sizeof(head));
  }
  u32 size = MIRVOL_NET_DETAIL_SIZE * count;
  u8 *entries = static_cast<u8 *>(mirvol_kmalloc(size));
  if (!entries) {
    mirvol_printk(MIRVOL_ERR "NMP%d failed to allocate PG_NETCARD_DETAIL.\n", 145, nmp->minor);
    mirvol_rec::rec_put_status(head, STATUS_NO_MEMORY);
    return copy_back(uptr, head, sizeof(head));
  }
  if (mirvol_copy_from_user(entries, static_cast<u8 __user *>(uptr) + MIRVOL_NETSTATUS_HEAD,
                            size)) {
    mirvol_kfree(&entries);
    return -EFAULT;
  }

  unsigned long flags;
  bool using_seen = false;
  spin_lock_irqsave(nmp->network_list_lock, flags);
  u32 i = 0;
  for (struct network *nw = nmp->network_list; nw && i < count; nw = nw->next, i++) {
    const auto e = mirvol_rec::rec_load<mirvol_rec::net_entry>(entries + i * MIRVOL_NET_DETAIL_SIZE);
    mirvol_put_ipaddress(nw->self_addr, e.self);
    mirvol_put_ipaddress(nw->opponent_addr, e.peer);
    nw->recv_latch = nw->report_latch = nw->send_latch = 1;
    nw->last_echo_time = 0;
    nw->last_result = 0;
    u32 state = e.state;
    if (state > NW_ERROR) state = NW_ERROR;
    if (state == NW_USING) {
      if (using_seen) state = NW_FREE;
      using_seen = true;
    }
    nw->state = state;
  }
  spin_unlock_irqrestore(nmp->network_list_lock, flags);

  mirvol_down(&nmp->nmp_variable->send_sem);
  if (nmp->data_sock) kernel_sock_shutdown(nmp->data_sock, SHUT_RDWR);
  // The DATA listener may be releasing the accepted socket right now: it
  // clears the pointer under this lock before it frees the socket.
  mirvol_recv_sock_lock();
  if (nmp->recv_sock) kernel_sock_shutdown(nmp->recv_sock, SHUT_RDWR);
  mirvol_recv_sock_unlock();
  mirvol_up(&nmp->nmp_variable->send_sem);

  mirvol_kfree(&entries);
  mirvol_rec::rec_put_status(head, STATUS_OK);
  return copy_back(uptr, head, sizeof(head));
}

// Command 83: the open and holder counts of the mirror disk the command
// came in on, optionally logged with the caller's text.
int mirvol_nmp_check_holders(struct block_device *bdev, unsigned int minor, unsigned int cmd,
                             unsigned long arg) {
  (void)cmd;
  mirvol_rec::check_holders_record rec;
  memset(&rec, 0, sizeof(rec));
  void __user *uptr = reinterpret_cast<void __user *>(arg);
  if (mirvol_copy_from_user(&rec, uptr, sizeof(rec))) return -EFAULT;
  int openers = 0, holders = 0;
  bdev_open_counts(bdev, &openers, &holders);
  rec.openers = openers;
  rec.holders = holders;
  rec.name[sizeof(rec.name) - 1] = 0;
  if (rec.log_flag)
    mirvol_printk(MIRVOL_INFO "NMP%d holder %d.%c(%s)\n", 148, (int)minor, holders / 2,
                  (holders & 1) ? '5' : ' ', rec.name);
  rec.status = STATUS_OK;
  return mirvol_copy_to_user(uptr, &rec, sizeof(rec)) ? -EFAULT : 0;
}
