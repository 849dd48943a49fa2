#include "device_fixture.h"

#include "include/mirvol_main.h"
#include "include/mirvol_nmp_init.h"

struct nmp_info *testsupport_make_device(int minor, const char *dp_path, u32 nw_port) {
  struct block_device *own = bdget(MKDEV((u32)g_mirvol_major, (u32)minor));
  if (!own) return nullptr;
  struct block_device *dp = blkdev_get_by_path(dp_path, FMODE_READ | FMODE_WRITE, nullptr);
  if (IS_ERR(dp)) {
    bdput(own);
    return nullptr;
  }
  auto *nmp = static_cast<struct nmp_info *>(kzalloc(sizeof(struct nmp_info), GFP_KERNEL));
  nmp->major = (u32)g_mirvol_major;
  nmp->minor = (u32)minor;
  nmp->mode = 1;
  nmp->io_port = 1;
  nmp->nw_port = nw_port;
  nmp->ack_timeout = 100;
  nmp->bmp_size_in_sec = 8;
  nmp->nmp_variable = mirvol_malloc_nmp_sys_variable();
  mirvol_init_nmp_sys_variable(nmp->nmp_variable);
  mirvol_init_nmp_clients(nmp);
  // The receive, ACK1 and history queues exist on every device the
  // driver makes: command 74 starts the threads that wait on them.
  nmp->remote_write_head.sys_var = mirvol_queue_head_spinlock_malloc();
  nmp->send_ack1_head.sys_var = mirvol_queue_head_spinlock_malloc();
  nmp->history_head.sys_var = mirvol_queue_head_spinlock_malloc();
  // Every device the driver creates has a statistics area.
  nmp->perf_area = mirvol_perf_init_nmp();
  nmp->own_bdev = own;
  nmp->dp_bdev = dp;
  mirvol_sprintf(nmp->name, sizeof(nmp->name), "NMP%d", minor);
  mirvol_set_nmp_queue_stack_limits(nmp);
  sector_t size = bdev_nr_sectors(dp);
  my_disk[minor] = size;
  set_capacity(own->bd_disk, size);

  mirvol_add_nmp_list(nmp);
  return nmp;
}
