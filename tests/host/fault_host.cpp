// mirvold with the real driver and a write fault on an image, for the
// disk-error tests: the real host has no way to make a partition's writes
// fail, and the platform's fault rules can only be added in its process.
//
// MIRVOL_FIXTURE_WRITE_FAULT=PATH,FIRST,COUNT[,HITS] makes every write that
// touches sectors FIRST..FIRST+COUNT-1 of the image PATH fail (the first HITS
// of them when HITS is given), for the life of the process: the image is
// opened here at load and held, so the device that is later created over it
// (by the device-creation command) gets the same block device, with the rule.
//
// MIRVOL_FIXTURE_WRITE_FAULT_FILE=TRIGGER adds the same kind of rule later:
// a thread looks for the file TRIGGER every 20 ms and, once it is there,
// adds the rule it holds (one line in the form above) to the image PATH,
// which a device of this host already has open. So a test can make a running
// device's writes start failing at a moment of its choice.
//
// Both are set up by the host's after-load hook (host/test_hooks.h).

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/test_hooks.h"
#include "platform/blkdev.h"
#include "platform/host_side.h"

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

int mirvold::test_after_load(void) {
  const char *fault = getenv("MIRVOL_FIXTURE_WRITE_FAULT");
  if (fault && !add_write_fault(fault)) {
    fprintf(stderr, "fault host: cannot add the write fault %s\n", fault);
    return -EIO;
  }
  const char *trigger = getenv("MIRVOL_FIXTURE_WRITE_FAULT_FILE");
  if (trigger && *trigger) std::thread(watch_trigger, std::string(trigger)).detach();
  return 0;
}
