// The disks of the host tests' stand-in modules: the block major and one
// disk "NMP%d" per minor of nmp_minor, each with a queue of its own,
// registered and removed together.
#pragma once

#include "include/mirvol.h"
#include "include/mirvol_main.h"
#include "platform/blkdev.h"
#include "platform/kernel.h"

struct stand_in_disks {
  struct one {
    struct gendisk *disk;
    struct request_queue *queue;
  } d[MIRVOL_MAX_NMP];
  bool major_registered;

  // Registers the major and adds a disk of `capacity` sectors for every
  // minor, whose queue sends bios to `make_request`; `setup` (when given)
  // sets a queue up before its disk is added. 0, or -errno with everything
  // removed again.
  int add(make_request_fn_t *make_request, const struct block_device_operations *fops,
          sector_t capacity, void (*setup)(struct request_queue *q) = nullptr) {
    if (register_blkdev(g_mirvol_major, "mirvol")) return -EIO;
    major_registered = true;
    for (unsigned int i = 0; i < minor_num; i++) {
      struct request_queue *q = blk_alloc_queue(GFP_KERNEL);
      struct gendisk *g = alloc_disk(1);
      d[i].queue = q;
      d[i].disk = g;
      if (!q || !g) {
        remove();
        return -ENOMEM;
      }
      blk_queue_make_request(q, make_request);
      if (setup) setup(q);
      g->major = g_mirvol_major;
      g->first_minor = nmp_minor[i];
      g->queue = q;
      g->fops = fops;
      snprintf_k(g->disk_name, sizeof(g->disk_name), "NMP%d", nmp_minor[i]);
      set_capacity(g, capacity);
      add_disk(g);
    }
    return 0;
  }

  void remove() {
    for (unsigned int i = 0; i < minor_num; i++) {
      if (d[i].disk) {
        del_gendisk(d[i].disk);
        put_disk(d[i].disk);
      }
      if (d[i].queue) blk_cleanup_queue(d[i].queue);
      d[i] = {};
    }
    if (major_registered) unregister_blkdev(g_mirvol_major, "mirvol");
    major_registered = false;
  }
};
