// mirvold with the real driver and a write fault on an image, for the
// disk-error tests: the real host has no way to make a partition's writes
// fail, and the platform's fault rules can only be added in its process.
//
// MIRVOL_FIXTURE_WRITE_FAULT=PATH,FIRST,COUNT[,HITS] makes every write that
// touches sectors FIRST..FIRST+COUNT-1 of the image PATH fail, for the life
// of the process (or only the first HITS such writes): the image is opened here at load and held, so the device that is
// later created over it (by the device-creation command) gets the same
// block device, with the rule.
//
// MIRVOL_FIXTURE_WRITE_FAULT_FILE=TRIGGER adds the same kind of rule later:
// a thread of the fixture looks for the file TRIGGER every 20 ms and, once
// it is there, adds the rule it holds (one line PATH,FIRST,COUNT[,HITS]) to the
// image PATH, which a device of this host already has open. So a test can
// make a running device's writes start failing at a moment of its choice.
//
// Linked with --wrap so that the host's call of init_module comes here.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "include/mirvol_main.h"
#include "platform/blkdev.h"

int real_init_module(void) __asm__("__real__Z11init_modulev");
int fixture_init_module(void) __asm__("__wrap__Z11init_modulev");

// Held until the process ends, so the rule stays with the image.
static struct block_device *g_faulty_image;

static bool add_write_fault(const char *text) {
  char path[4096];
  unsigned long long first = 0, count = 0;
  int hits = -1;
  if (sscanf(text, "%4095[^,],%llu,%llu,%d", path, &first, &count, &hits) < 3) return false;
  struct block_device *b = blkdev_get_by_path(path, FMODE_READ | FMODE_WRITE, nullptr);
  if (IS_ERR(b)) return false;
  struct blk_fault rule = {BLK_FAULT_WRITE, (sector_t)first, (sector_t)count, hits, 0, 1};
  if (bdev_fault_add(b, &rule) < 0) {
    blkdev_put(b, FMODE_READ | FMODE_WRITE);
    return false;
  }
  g_faulty_image = b;
  return true;
}

// Waits for the trigger file and adds its rule; runs until the process ends.
static void watch_trigger(std::string trigger) {
  for (;;) {
    FILE *f = fopen(trigger.c_str(), "r");
    if (f) {
      char line[4200] = {0};
      bool got = fgets(line, sizeof(line), f) != nullptr;
      fclose(f);
      if (got) {
        if (add_write_fault(line))
          fprintf(stderr, "fault host: write fault added: %s", line);
        else
          fprintf(stderr, "fault host: cannot add the write fault %s", line);
        return;
      }
    }
    usleep(20000);
  }
}

int fixture_init_module(void) {
  int r = real_init_module();
  const char *fault = getenv("MIRVOL_FIXTURE_WRITE_FAULT");
  if (!r && fault && !add_write_fault(fault)) {
    fprintf(stderr, "fault host: cannot add the write fault %s\n", fault);
    cleanup_module();
    return -EIO;
  }
  const char *trigger = getenv("MIRVOL_FIXTURE_WRITE_FAULT_FILE");
  if (!r && trigger && *trigger) std::thread(watch_trigger, std::string(trigger)).detach();
  return r;
}
