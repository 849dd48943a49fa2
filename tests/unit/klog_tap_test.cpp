// The per-thread log tap a host uses to return a control command's log
// lines: it sees the lines of its own thread, with their levels, and none of
// another thread's or after it is removed.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/printk_host.h"

namespace {

void collect(void *ctx, int level, const char *text) {
  *static_cast<std::string *>(ctx) += std::to_string(level) + ":" + text + "\n";
}

TEST(KlogTap, SeesOnlyItsOwnThreadsLinesUntilRemoved) {
  std::string seen;
  klog_set_thread_tap(collect, &seen);
  printk(KERN_WARNING "tap test: mine %d\n", 1);
  std::thread other([] { printk(KERN_ERR "tap test: another thread's\n"); });
  other.join();
  printk("tap test: default level\n");
  klog_set_thread_tap(nullptr, nullptr);
  printk(KERN_INFO "tap test: after removal\n");
  EXPECT_EQ(seen, "4:tap test: mine 1\n4:tap test: default level\n");
}

}  // namespace
