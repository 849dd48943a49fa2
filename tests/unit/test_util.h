// Small helpers shared by the unit tests.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/host_side.h"
#include "platform/kernel.h"

namespace testutil {

// Polls `cond` until it holds or `ms` of real time pass.
inline bool eventually(const std::function<bool()> &cond, int ms = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return cond();
}

// The names of this process's threads, as /proc shows them.
inline std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR *d = opendir("/proc/self/task");
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(f, name)) names.push_back(name);
  }
  closedir(d);
  return names;
}

// Kernel log lines logged since construction.
class LogCapture {
 public:
  LogCapture() : from_(klog_count()) {}
  std::vector<klog_line> lines() const {
    std::vector<klog_line> out;
    u64 end = klog_count();
    for (u64 i = from_; i < end; i++) {
      klog_line l;
      if (klog_get(i, &l)) out.push_back(l);
    }
    return out;
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (auto &l : lines()) out.emplace_back(l.text);
    return out;
  }
  bool contains(const std::string &needle) const {
    for (auto &t : texts())
      if (t.find(needle) != std::string::npos) return true;
    return false;
  }
  // Every captured line, for a failure message.
  std::string dump() const {
    std::string out;
    for (auto &t : texts()) out += t;
    return out;
  }
  // Waits up to ms for a line containing needle.
  bool wait_for(const std::string &needle, unsigned ms = 5000) const {
    return klog_wait_for(from_, needle.c_str(), ms) >= 0;
  }

 private:
  u64 from_;
};

// Stops the platform clock where it stands for the object's life: no sleep
// ends by its time-out and no timer fires until the clock runs again.
class StoppedClock {
 public:
  StoppedClock() { clock_set_manual(get_jiffies_64()); }
  ~StoppedClock() { clock_set_automatic(); }
  StoppedClock(const StoppedClock &) = delete;
  StoppedClock &operator=(const StoppedClock &) = delete;
};

// A kernel thread that runs `body` and signals completion, joined (with a
// time limit on the wait) when the object goes.
class KThread {
 public:
  explicit KThread(std::function<int()> body, const char *name = "test_kthread")
      : body_(std::move(body)) {
    init_completion(&done_);
    task_ = kthread_run(&KThread::trampoline, this, name);
    // Our own reference: the platform drops its one when it reaps the
    // thread after it has left.
    if (task_) get_task_struct(task_);
  }
  ~KThread() {
    if (!task_) return;
    if (!wait_done(10000)) {
      ADD_FAILURE() << "kernel thread did not finish; signalling it";
      send_sig(SIGTERM, task_, 1);
      send_sig(SIGXCPU, task_, 1);
    }
    kthread_join(task_);
    put_task_struct(task_);
  }
  struct task_struct *task() const { return task_; }
  // Real-time wait, independent of the platform clock (which a test may
  // have stopped).
  bool wait_done(int ms) {
    return eventually([this] { return completion_done(&done_); }, ms);
  }
  int result() const { return result_; }

 private:
  static int trampoline(void *arg) {
    auto *self = static_cast<KThread *>(arg);
    self->result_ = self->body_();
    complete_all(&self->done_);
    return self->result_;
  }
  std::function<int()> body_;
  struct completion done_;
  struct task_struct *task_ = nullptr;
  int result_ = 0;
};

}  // namespace testutil
