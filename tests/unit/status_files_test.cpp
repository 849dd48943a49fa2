// The status files "mirvolstat" and "mirvolinner" as whole texts: golden
// texts of two devices (IPv4 and synchronous, IPv6 and asynchronous, every
// network state, times above 2^31, the disk-error flag and the reset
// request), no devices, and reads against module unload.

#include <atomic>
#include <regex>
#include <sstream>

#include "include/mirvol_main.h"
#include "module_fixture.h"

namespace {

using testutil::eventually;
using testutil::FakeDevice;
using testutil::KThread;
using testutil::ModuleLoad;

std::string read_proc(const char *name) {
  char *text = nullptr;
  size_t len = 0;
  int r = proc_read(name, &text, &len);
  EXPECT_EQ(r, 0) << name;
  std::string s = text ? std::string(text, len) : std::string();
  proc_read_free(text);
  return s;
}

// Address bytes as stored from the control record (network order); an IPv4
// address in the last four bytes.
std::array<u8, 16> v4(u8 a, u8 b, u8 c, u8 d) {
  std::array<u8, 16> x{};
  x[12] = a;
  x[13] = b;
  x[14] = c;
  x[15] = d;
  return x;
}
std::array<u8, 16> v6(std::initializer_list<u16> groups) {
  std::array<u8, 16> x{};
  int i = 0;
  for (u16 g : groups) {
    x[2 * i] = (u8)(g >> 8);
    x[2 * i + 1] = (u8)g;
    i++;
  }
  return x;
}

struct Net {
  std::array<u8, 16> self, opponent;
  u32 state;
};

void add_networks(struct nmp_info *nmp, u32 ip_version, const std::vector<Net> &nets) {
  nmp->ip_version = ip_version;
  nmp->mdc_cnt = (u32)nets.size();
  struct network **tail = &nmp->network_list;
  for (const Net &n : nets) {
    auto *nw = static_cast<struct network *>(kzalloc(sizeof(struct network), GFP_KERNEL));
    memcpy(nw->self_addr, n.self.data(), 16);
    memcpy(nw->opponent_addr, n.opponent.data(), 16);
    nw->state = n.state;
    *tail = nw;
    tail = &nw->next;
  }
}

class StatusFiles : public testing::Test {
 protected:
  void SetUp() override {
    load_ = std::make_unique<ModuleLoad>(std::vector<std::string>{"nmp_minor=3,1,7"});
    ASSERT_EQ(load_->result(), 0);
  }
  void TearDown() override {
    devices_.clear();
    load_.reset();
  }
  // NMP3 "alpha": synchronous, IPv4, both networks FREE; NMP1 "beta":
  // asynchronous, IPv6, USING and ERROR.
  void make_devices() {
    devices_.push_back(std::make_unique<FakeDevice>(3, 1 << 20, 1));
    devices_.push_back(std::make_unique<FakeDevice>(1, 1 << 20, 0));
    struct nmp_info *a = devices_[0]->nmp();
    strcpy(a->name, "alpha");
    a->dp_major = 8;
    a->dp_minor = 17;
    a->cp_major = 8;
    a->cp_minor = 18;
    a->data_port = 7001;
    a->io_port = 1;
    a->nw_port = 0;
    a->mount_port = 1;
    a->disconnect_time = 0;
    a->last_update_time = 0x80000001ull;
    a->mirror_break_time = 0x100000005ull;
    a->disk_error_flag = 1;
    a->reset_request = 1;
    add_networks(a, 4,
                 {{v4(192, 0, 2, 1), v4(192, 0, 2, 2), NW_FREE},
                  {v4(198, 51, 100, 1), v4(198, 51, 100, 200), NW_FREE}});
    struct nmp_info *b = devices_[1]->nmp();
    strcpy(b->name, "beta");
    b->dp_major = 8;
    b->dp_minor = 33;
    b->cp_major = 8;
    b->cp_minor = 34;
    b->data_port = 7002;
    b->io_port = 1;
    b->nw_port = 1;
    b->mount_port = 0;
    b->disconnect_time = 1700000000;
    b->send_queue_cnt = 65535;
    add_networks(b, 6,
                 {{v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}),
                   v6({0x2001, 0xdb8, 0, 1, 0, 0, 0, 0xabcd}), NW_USING},
                  {v6({0x2001, 0xdb8, 0xffff, 0, 0, 0, 0, 2}),
                   v6({0x2001, 0xdb8, 0xffff, 0, 0, 0, 0, 3}), NW_ERROR}});
    unsigned long flags;
    spin_lock_irqsave(&b->nmp_variable->request_queue_lock, flags);
    b->request_queue_cnt = 3;
    spin_unlock_irqrestore(&b->nmp_variable->request_queue_lock, flags);
    spin_lock_irqsave(&g_max_lock, flags);
    g_make_request_cnt = 5;
    g_make_request_peak = 9;
    g_make_request_max_cnt = 300;
    spin_unlock_irqrestore(&g_max_lock, flags);
  }
  // Nothing queued is left for unload to find.
  void forget_queued() {
    struct nmp_info *b = devices_[1]->nmp();
    unsigned long flags;
    spin_lock_irqsave(&b->nmp_variable->request_queue_lock, flags);
    b->request_queue_cnt = 0;
    spin_unlock_irqrestore(&b->nmp_variable->request_queue_lock, flags);
  }
  // The build date line differs per build: checked for its form, then cut.
  static std::string without_build_date(const std::string &text) {
    size_t a = text.find('\n') + 1, b = text.find('\n', a) + 1;
    std::string line = text.substr(a, b - a);
    EXPECT_TRUE(std::regex_match(line, std::regex("The compilation date:  [A-Z][a-z]{2} [ 123][0-9] "
                                                  "[0-9]{4}  [0-9]{2}:[0-9]{2}:[0-9]{2}\n")))
        << line;
    return text.substr(0, a) + text.substr(b);
  }

  std::unique_ptr<ModuleLoad> load_;
  std::vector<std::unique_ptr<FakeDevice>> devices_;
};

const char kStatHeader[] =
    "Tessalorium-4.1.0-1\n"
    "current request count:5  peak request count:9  max request count:300\n"
    "\n"
    "NMPs' detail:\n"
    "\n";

const char kStatDevices[] =
    "alpha                major:218       minor:3         blksize:4096\n"
    "data partition:      major:8         minor:17        blksize:4096\n"
    "cluster partition:   major:8         minor:18\n"
    "driver port:7001     I/O port:open   com port:close  mount port:open   \n"
    "self IP: 192.0.2.1 opponent IP: 192.0.2.2 status: using   \n"
    "self IP: 198.51.100.1 opponent IP: 198.51.100.200 status: free    \n"
    "\n"
    "beta                 major:218       minor:1         blksize:4096\n"
    "data partition:      major:8         minor:33        blksize:4096\n"
    "cluster partition:   major:8         minor:34\n"
    "driver port:7002     I/O port:open   com port:open   mount port:close  \n"
    "send request count:  max:65535       current:3        \n"
    "self IP: 2001:db8:0:0:0:0:0:1 opponent IP: 2001:db8:0:1:0:0:0:abcd status: using   \n"
    "self IP: 2001:db8:ffff:0:0:0:0:2 opponent IP: 2001:db8:ffff:0:0:0:0:3 status: error   \n"
    "\n";

// Each address word is four stored bytes read little-endian; times are the
// signed low 32 bits.
const char kInner[] =
    "2\n"
    "alpha\n"
    "2\n"
    "1 4 0 0 0 16908480 0 0 0 33685696\n"
    "0 4 0 0 0 23344070 0 0 0 3362010054\n"
    "0 -2147483647 5 0 1 1 1 1\n"
    "beta\n"
    "2\n"
    "1 6 3087860000 0 0 16777216 3087860000 16777216 0 3450535936\n"
    "2 6 3087860000 65535 0 33554432 3087860000 65535 0 50331648\n"
    "1700000000 0 0 1 1 0 0 0\n";

TEST_F(StatusFiles, BothFilesMatchTheirGoldenTexts) {
  make_devices();
  std::string stat = read_proc("mirvolstat");
  EXPECT_EQ(without_build_date(stat), std::string(kStatHeader) + kStatDevices);
  EXPECT_EQ(read_proc("mirvolinner"), kInner);
  // The first FREE network was made the current one, and stays so.
  EXPECT_EQ(devices_[0]->nmp()->network_list->state, (u32)NW_USING);
  EXPECT_EQ(devices_[0]->nmp()->network_list->next->state, (u32)NW_FREE);
  EXPECT_EQ(read_proc("mirvolinner"), kInner);
  forget_queued();
}

TEST_F(StatusFiles, ReadingLeavesTheStoredAddressesAsTheyWere) {
  make_devices();
  struct nmp_info *b = devices_[1]->nmp();
  std::vector<u8> before;
  for (struct network *nw = b->network_list; nw; nw = nw->next) {
    before.insert(before.end(), nw->self_addr, nw->self_addr + 16);
    before.insert(before.end(), nw->opponent_addr, nw->opponent_addr + 16);
  }
  std::string first = read_proc("mirvolstat");
  std::string second = read_proc("mirvolstat");
  read_proc("mirvolinner");
  EXPECT_EQ(first, second);
  std::vector<u8> after;
  for (struct network *nw = b->network_list; nw; nw = nw->next) {
    after.insert(after.end(), nw->self_addr, nw->self_addr + 16);
    after.insert(after.end(), nw->opponent_addr, nw->opponent_addr + 16);
  }
  EXPECT_EQ(after, before) << "the sockets use these addresses";
  forget_queued();
}

TEST_F(StatusFiles, WithoutDevicesOnlyTheHeaderAndACountOfZero) {
  std::string stat = read_proc("mirvolstat");
  EXPECT_EQ(without_build_date(stat),
            "Tessalorium-4.1.0-1\n"
            "current request count:0  peak request count:0  max request count:4096\n"
            "\n"
            "NMPs' detail:\n"
            "\n");
  EXPECT_EQ(read_proc("mirvolinner"), "0\n");
}

// Unload holds g_proc_sem while it removes the files, and the removal waits
// for the reads running on them. A read that is waiting for the semaphore
// when unload begins, or that starts after, answers the unloading line
// without it, so unload always finishes.
TEST_F(StatusFiles, UnloadFinishesAgainstReadsWaitingForTheSemaphore) {
  // A read in progress holds the semaphore.
  down(&g_proc_sem);
  std::string early_text, late_text;
  KThread early([&] {
    early_text = read_proc("mirvolinner");
    return 0;
  }, "test_early");
  std::unique_ptr<ModuleLoad> unloading = std::move(load_);
  KThread unload([&] {
    unloading.reset();
    return 0;
  }, "test_unload");
  ASSERT_TRUE(eventually([] { return __atomic_load_n(&g_unloading, __ATOMIC_ACQUIRE) != 0; }));
  KThread late([&] {
    late_text = read_proc("mirvolstat");
    return 0;
  }, "test_late");
  // Both reads end while the semaphore is still held.
  EXPECT_TRUE(early.wait_done(30000));
  EXPECT_TRUE(late.wait_done(30000));
  EXPECT_EQ(early_text, "Driver is being unloaded.\n");
  EXPECT_EQ(late_text, "Driver is being unloaded.\n");
  up(&g_proc_sem);
  EXPECT_TRUE(unload.wait_done(30000)) << "unload did not finish";
}

// Parses "mirvolinner" by position as the cluster service does; false when
// the count and the blocks after it disagree.
bool inner_consistent(const std::string &text, int *count) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line)) return false;
  *count = std::stoi(line);
  for (int d = 0; d < *count; d++) {
    std::string name, mdc, flags;
    if (!std::getline(in, name) || !std::getline(in, mdc)) return false;
    for (int i = 0; i < std::stoi(mdc); i++)
      if (!std::getline(in, line)) return false;
    if (!std::getline(in, flags)) return false;
    std::istringstream f(flags);
    int fields = 0;
    std::string x;
    while (f >> x) fields++;
    if (fields != 8) return false;
  }
  return !std::getline(in, line);  // nothing after the last block
}

// A device appended while a read is between its count and its blocks: the
// read holds to the devices it counted. The read is held inside the first
// device's block by its network_list_lock while the device is appended.
TEST(StatusFilesSnapshot, TheDeviceCountAgreesWithTheBlocksWhileDevicesAreAppended) {
  ModuleLoad load({"nmp_minor=3,1,7,5,9"});
  ASSERT_EQ(load.result(), 0);
  std::vector<std::unique_ptr<FakeDevice>> devices;
  devices.push_back(std::make_unique<FakeDevice>(3, 1 << 20));
  spinlock_t *held = devices[0]->nmp()->network_list_lock;
  for (int minor : {1, 7, 5, 9}) {
    SCOPED_TRACE(minor);
    std::atomic<bool> read_go{false}, append_go{false};
    std::string text;
    KThread reader([&] {
      if (!eventually([&] { return read_go.load(); }, 30000)) return 1;
      text = read_proc("mirvolinner");
      return 0;
    }, "test_reader");
    KThread appender([&] {
      if (!eventually([&] { return append_go.load(); }, 30000)) return 1;
      devices.push_back(std::make_unique<FakeDevice>(minor, 1 << 20));
      return 0;
    }, "test_append");
    unsigned long flags;
    spin_lock_irqsave(held, flags);
    read_go = true;
    // A chance for the read to count and reach the held lock; whether it
    // did is seen in its count below.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    append_go = true;
    bool appended = appender.wait_done(30000);
    spin_unlock_irqrestore(held, flags);
    ASSERT_TRUE(appended);
    ASSERT_TRUE(reader.wait_done(30000));
    int count = 0;
    EXPECT_TRUE(inner_consistent(text, &count)) << text;
    if (count < (int)devices.size()) break;  // the read was caught between
  }
}

}  // namespace
