// A stand-in module for the host tests: it takes the module parameters of
// the real one, registers a disk "NMP%d" per minor, and maps each disk 1:1
// onto a backing image (fake_image=PATH) so that the host's data path can be
// checked end to end. It also records the shape of every bio it is sent and
// shows it in /proc, beside a few files that exercise the /proc side. The
// real driver cannot show these: it keeps no record of the bios it is sent,
// its queue limits are not set by the test, and its /proc texts are short and
// read-only. Everything else of the data path is shown on the real driver
// (ctl_data_path_test.sh).
//
//   nmp_minor, g_nmp_count, g_mirvol_major   as the real module
//   fake_image=PATH       backing image of every disk (none: every I/O fails)
//   fake_max_sectors=N    queue limits of the disks (0: the defaults)
//   fake_max_segments=N
//   fake_block_size=N     logical block size of the disks (512 or 4096)
//   fake_fail_init=N      init_module returns -N
//
// /proc: mirvolstat (counters below), mirvolinner, mirvolperf/NMP%d,
// fakebig (a long text), fakectl (logs what is written to it).

#include <atomic>

#include "include/mirvol.h"
#include "include/mirvol_main.h"
#include "platform/blkdev.h"
#include "platform/kernel.h"
#include "platform/host_side.h"
#include "tests/host/stand_in_disks.h"

int nmp_minor[MIRVOL_MAX_NMP];
unsigned int minor_num;
int g_nmp_count;
int g_mirvol_major = 218;
module_param_array(nmp_minor, int, &minor_num, 0600);
module_param(g_nmp_count, int, 0);
module_param(g_mirvol_major, int, 0);

static char *fake_image;
static unsigned int fake_max_sectors;
static unsigned int fake_max_segments;
static unsigned int fake_block_size;
static int fake_fail_init;
module_param(fake_image, charp, 0);
module_param(fake_max_sectors, uint, 0);
module_param(fake_max_segments, uint, 0);
module_param(fake_block_size, uint, 0);
module_param(fake_fail_init, int, 0);

namespace {

stand_in_disks disks;
struct block_device *backing;
struct proc_dir_entry *perf_dir;
bool proc_made;

// What the disks were sent.
std::atomic<unsigned long> n_reads, n_writes, n_empty, n_bad_shape, n_errors;
std::atomic<unsigned int> max_bytes, max_vecs;

void raise_max(std::atomic<unsigned int> *v, unsigned int x) {
  unsigned int cur = v->load();
  while (x > cur && !v->compare_exchange_weak(cur, x)) {
  }
}

// A bio as a page cache builds it: aligned to the logical block size, every
// segment within its page and a whole number of blocks, within the limits.
bool well_shaped(struct request_queue *q, struct bio *bio) {
  unsigned int lbs = queue_logical_block_size(q);
  if ((bio->bi_iter.bi_sector * SECTOR_SIZE) % lbs || bio->bi_iter.bi_size % lbs) return false;
  if (bio->bi_vcnt > queue_max_segments(q)) return false;
  if (bio->bi_iter.bi_size > queue_max_sectors(q) * SECTOR_SIZE) return false;
  unsigned int sum = 0;
  struct bio_vec *bv;
  int i;
  bio_for_each_segment_all(bv, bio, i) {
    if (bv->bv_offset + bv->bv_len > PAGE_SIZE || bv->bv_len % lbs || bv->bv_offset % lbs)
      return false;
    if (bv->bv_len > queue_max_segment_size(q)) return false;
    sum += bv->bv_len;
  }
  return sum == bio->bi_iter.bi_size;
}

void fake_end_io(struct bio *clone) {
  struct bio *upper = static_cast<struct bio *>(clone->bi_private);
  upper->bi_status = clone->bi_status;
  if (clone->bi_status) n_errors++;
  bio_put(clone);
  bio_endio(upper);
}

void fake_make_request(struct request_queue *q, struct bio *bio) {
  bool write = bio_data_dir(bio) == WRITE;
  (write ? n_writes : n_reads)++;
  raise_max(&max_bytes, bio->bi_iter.bi_size);
  raise_max(&max_vecs, bio->bi_vcnt);
  if (write && !bio_has_data(bio)) {
    n_empty++;
    bio->bi_status = BLK_STS_NOTSUPP;
    bio_endio(bio);
    return;
  }
  if (!well_shaped(q, bio)) n_bad_shape++;
  if (!backing) {
    printk(KERN_WARNING "fake: NMP%d has no backing image\n", MINOR(bio->bi_bdev->bd_dev));
    bio_io_error(bio);
    return;
  }
  struct bio *clone = bio_clone(bio, GFP_NOIO);
  if (!clone) {
    bio_io_error(bio);
    return;
  }
  bio_set_dev(clone, backing);
  clone->bi_end_io = fake_end_io;
  clone->bi_private = bio;
  submit_bio(clone);
}

int show_stat(struct seq_file *m, void *) {
  seq_printf(m, "reads=%lu writes=%lu empty_writes=%lu bad_shape=%lu errors=%lu\n", n_reads.load(),
             n_writes.load(), n_empty.load(), n_bad_shape.load(), n_errors.load());
  seq_printf(m, "max_bytes=%u max_vecs=%u\n", max_bytes.load(), max_vecs.load());
  return 0;
}

int show_inner(struct seq_file *m, void *) {
  seq_printf(m, "%u\n", minor_num);
  return 0;
}

int show_perf(struct seq_file *m, void *v) {
  (void)v;
  seq_printf(m, "perf of NMP%d\n", (int)(long)m->private_data);
  return 0;
}

int show_big(struct seq_file *m, void *) {
  for (int i = 1; i <= 20000; i++) seq_printf(m, "%d\n", i);
  return 0;
}

long write_ctl(void *, const char *buf, size_t count, loff_t *) {
  printk(KERN_INFO "fake: fakectl got %.*s\n", (int)count, buf);
  return (long)count;
}

const struct proc_file_ops stat_ops = {show_stat, nullptr};
const struct proc_file_ops inner_ops = {show_inner, nullptr};
const struct proc_file_ops big_ops = {show_big, nullptr};
int show_ctl(struct seq_file *, void *) { return 0; }
const struct proc_file_ops ctl_file_ops = {show_ctl, write_ctl};

// The queue limits the parameters ask for.
void set_up_queue(struct request_queue *q) {
  if (fake_block_size) {
    blk_queue_logical_block_size(q, fake_block_size);
    blk_queue_physical_block_size(q, fake_block_size);
  }
  if (fake_max_sectors) blk_queue_max_hw_sectors(q, fake_max_sectors);
  if (fake_max_segments) blk_queue_max_segments(q, fake_max_segments);
}

void remove_all() {
  disks.remove();
  if (proc_made) {
    remove_proc_entry("fakectl", nullptr);
    remove_proc_entry("fakebig", nullptr);
    remove_proc_subtree("mirvolperf", nullptr);
    remove_proc_entry("mirvolinner", nullptr);
    remove_proc_entry("mirvolstat", nullptr);
  }
  proc_made = false;
  perf_dir = nullptr;
  if (backing) blkdev_put(backing, FMODE_READ | FMODE_WRITE);
  backing = nullptr;
}

}  // namespace

int init_module(void) {
  g_nmp_count = (int)minor_num;
  if (fake_fail_init) {
    printk(KERN_ERR "fake: failing the load with %d\n", -fake_fail_init);
    return -fake_fail_init;
  }
  if (!minor_num) {
    printk(KERN_ERR "fake: no nmp_minor\n");
    return -EIO;
  }
  proc_create("mirvolstat", 0, nullptr, &stat_ops);
  proc_create("mirvolinner", 0, nullptr, &inner_ops);
  perf_dir = proc_mkdir("mirvolperf", nullptr);
  proc_create("fakebig", 0, nullptr, &big_ops);
  proc_create("fakectl", 0644, nullptr, &ctl_file_ops);
  proc_made = true;

  if (fake_image) {
    backing = blkdev_get_by_path(fake_image, FMODE_READ | FMODE_WRITE, nullptr);
    if (IS_ERR(backing)) {
      int e = (int)PTR_ERR(backing);
      backing = nullptr;
      printk(KERN_ERR "fake: cannot open %s: %d\n", fake_image, e);
      remove_all();
      return e;
    }
  }
  int r = disks.add(fake_make_request, nullptr, backing ? bdev_nr_sectors(backing) : 1024,
                    set_up_queue);
  if (r) {
    remove_all();
    return r;
  }
  for (unsigned int i = 0; i < minor_num; i++)
    proc_create_single_data(disks.d[i].disk->disk_name, 0, perf_dir, show_perf,
                            (void *)(long)nmp_minor[i]);
  printk(KERN_INFO "fake: loaded %u disks\n", minor_num);
  return 0;
}

void cleanup_module(void) {
  remove_all();
  printk(KERN_INFO "fake: unloaded\n");
}
