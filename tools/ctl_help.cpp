// mirvolctl's command table and help texts.

#include "tools/ctl_help.h"

#include "tools/ctl_lib.h"
#include "tools/ctl_wire.h"

namespace mirvolctl {

namespace {

const std::vector<command_doc> kDocs = {
    {"network-init", "[key=N]...",
     "driver-wide settings; the first command after mirvold starts (any device)",
     "Stores the driver-wide settings and starts the four driver-wide threads\n"
     "(mirvol_common_1..4) that do not run yet. Send it once, before init, on any\n"
     "NMPx of the host; sending it again changes the settings and starts only the\n"
     "threads that are missing. A value out of range is replaced by its default\n"
     "and the driver's warning is shown.\n"
     "Keys (default in parentheses):\n"
     "  interval=SECONDS          bitmap refresh interval, 1..600 (100)\n"
     "  max_cachenum=N            bitmap blocks kept in the cache, 1..512 (256)\n"
     "  mirvolperf=0|1            1 = make the statistics files proc/mirvolperf/NMPx (0)\n"
     "  printkperf=0|1            1 = write the statistics to the log at unload (0)\n"
     "  barrier_check_method=0|1  (0)\n"
     "  barrier_log_level=N       above 1 logs bios without data (0)\n"
     "  queue_limits_method=0..3  how a device takes its partitions' queue limits (1)\n"
     "  limits_log_flag=N         not 0 = log the queue limits of a new device (0)\n"
     "  history_cache_delnum=N    history cache delete number, above 0 (2)\n"
     "  status=N                  the status word sent (0; anything else is refused)"},
    {"init", "cp=PATH dp=PATH net=SELF,PEER[,STATE] active=1 [key=value]...",
     "create the mirror device NMPx over a Cluster and a Data Partition",
     "Creates the mirror device on minor x of this host (command 102). The\n"
     "device starts with size 0: give it its size with set-size once both\n"
     "servers are configured. A device can be created once per minor and load.\n"
     "  cp=PATH, dp=PATH     the Cluster Partition and the Data Partition: block\n"
     "                       devices or image files, two different ones. They are\n"
     "                       opened and passed to the driver; their device numbers\n"
     "                       fill cp_major/cp_minor and dp_major/dp_minor unless given.\n"
     "  net=SELF,PEER[,STATE]  a mirror network (at most 2, in priority order): this\n"
     "                       server's and the peer's IPv4 or IPv6 address; STATE\n"
     "                       FREE (default), USING or ERROR. Give the first USING.\n"
     "  active=1             the device runs its threads and keeps the peer addresses.\n"
     "                       Without it the driver drops the peers and starts nothing,\n"
     "                       so mirvolctl refuses a peer without active=1; an inactive\n"
     "                       device takes net=SELF only.\n"
     "  port=N               the DATA port (TCP), the same on both servers\n"
     "  ack2_port=N          the ACK2 port (TCP), the same on both servers\n"
     "  hb_port=N            the heartbeat port (TCP), the same on both servers\n"
     "  mode=sync|async      1 sync: a write completes when both copies hold it;\n"
     "                       0 async: it completes locally and is sent after (sync)\n"
     "  name=TEXT            the name shown first in proc/mirvolstat (empty)\n"
     "  bmp_size_in_sec=N    sectors per difference-bitmap bit (128 = 64 KiB)\n"
     "  hb_interval=SECONDS  heartbeat interval, 1..600 (10)\n"
     "  hb_recv_timeout=SECONDS  heartbeat answer time-out, 0 = ignore the\n"
     "                       heartbeat, 1..100 (2)\n"
     "  hb_recv_retry=N      heartbeat retries, 1..50 (8)\n"
     "  connect_timeout=SECONDS  1..100 (10)     send_timeout=SECONDS  1..100 (30)\n"
     "  keepalive_time=SECONDS   1..100 (30)     keepalive_probe=N     1..100 (3)\n"
     "  keepalive_interval=SECONDS 1..100 (1)    lastupdate_delay=SECONDS 1..100 (5)\n"
     "  ack_timeout=SECONDS  1..600 (100)        receive_normal_timeout=SECONDS 1..600 (100)\n"
     "  send_queue_cnt=N     most requests in the send queue, up to 999999 (65535)\n"
     "  compress=N           compression flags: bit 0 sync data, bit 1 recovery data;\n"
     "                       -1 = 0 (-1)\n"
     "  compress2=N          second compression setting, -1 = 1 (-1)\n"
     "  band_limit_mode=0|1  1 = limit the asynchronous send rate to band_limit (0)\n"
     "  band_limit=KB/S      up to 999999 (0)\n"
     "  iosize=KIB           the recovery I/O unit (64)\n"
     "  history_size=MIB, history_file_size=MIB, history_dir=PATH  asynchronous history\n"
     "  unplug_flags=N, unplug_flags_high=N, unplug_switch=0|1  queue unplugging (0)\n"
     "Out-of-range values are replaced by their defaults; the driver's warnings are\n"
     "shown. ip_version (4 or 6) and mdc_cnt (the number of networks) follow net=.\n"
     "Prints the answered record field by field."},
    {"port", "open|close|get io|nw|mount...",
     "open or close the I/O, N/W and mount ports; show all three",
     "The ports of a device (commands 5, 6, 7):\n"
     "  io     the I/O port: the mirror device takes reads and writes\n"
     "  nw     the N/W port: writes are mirrored to the peer; closed, they only mark\n"
     "         the difference bitmap (the mirror is broken)\n"
     "  mount  the mount port: open on the active server, closed on the standby\n"
     "The active server opens io, nw and mount; the standby opens io and nw and\n"
     "closes mount. Prints the ports after the change, for example\n"
     "  io=open nw=open mount=close"},
    {"set-size", "SIZE_KIB [granule=SECTORS]",
     "set the device's size in KiB and the bitmap granule",
     "Sets the size of the mirror device (command 16) in KiB, and the difference\n"
     "bitmap granule in 512-byte sectors per bit (default 128, 64 KiB per bit).\n"
     "Use the size of the Data Partition or less, the same on both servers. Prints\n"
     "the size and granule the driver then reports."},
    {"get-granule", "", "show the bitmap granule",
     "Prints granule=SECTORS: 512-byte sectors per difference-bitmap bit."},
    {"size", "", "show the device's size in bytes", "Prints size=BYTES (0 until set-size)."},
    {"set-param", "[key=N]...", "change the run-time parameters of the device",
     "Changes the device's run-time parameters (command 8). Keys not given are\n"
     "sent as their defaults (in parentheses); times are in seconds:\n"
     "  hb_interval 1..600 (10), hb_recv_timeout 0 = ignore, 1..100 (2),\n"
     "  hb_recv_retry 1..50 (8), connect_timeout 1..100 (10), send_timeout\n"
     "  1..100 (30), keepalive_time 1..100 (30), keepalive_probe 1..100 (3),\n"
     "  keepalive_interval 1..100 (1), lastupdate_delay 1..100 (5), ack_timeout\n"
     "  1..600 (100), receive_normal_timeout 1..600 (100), send_queue_cnt up to\n"
     "  999999 requests (65535), band_limit_mode 0|1 (0), band_limit KB/s up to\n"
     "  999999 (0).\n"
     "A value out of range is replaced by its default: the driver's warning is shown."},
    {"netstatus", "[networks=N]", "show the device's networks and their states",
     "Prints mdc_cnt, ip_version and for each network netN_self, netN_peer and\n"
     "netN_state (FREE, USING or ERROR). networks=N must be the device's number\n"
     "of networks (default 1)."},
    {"switch-network", "[PRIORITY]", "switch the mirror connections to another network",
     "Moves the device's connections to the network of priority PRIORITY (its\n"
     "place in init's net= list, 1 or 2; command 79), or with 0 or nothing to\n"
     "the next FREE network. The network left becomes FREE. Prints priority=N,\n"
     "the network now in use. Refused, and nothing changed:\n"
     "  STATUS_ALREADY_SWITCHED  the network asked is already in use\n"
     "  STATUS_NW_ERROR          the network asked is in ERROR\n"
     "  STATUS_ALL_NW_ERROR      no other network is FREE\n"
     "  STATUS_INVALID_PARAMETER PRIORITY below 0 or above the number of networks\n"
     "The N/W port is left as it is."},
    {"drive-info", "", "show the ports and the disk-error flag as numbers",
     "Prints nw, io and mount (1 open, 0 closed) and disk_error (1 when an I/O\n"
     "error was seen on a partition)."},
    {"get-request-limit", "", "show the driver-wide in-flight request limit",
     "Prints limit=N: the most write requests in flight at once (0 = no limit)."},
    {"set-request-limit", "LIMIT", "set the driver-wide in-flight request limit",
     "Sets the limit (0 = none); the driver clamps other values into its minimum\n"
     "and maximum (256 and 12288 at load). Prints the limit kept and says when it\n"
     "was clamped."},
    {"init-request-limit", "MIN MAX CURRENT", "set the clamps and the in-flight request limit",
     "Stores MIN and MAX as the clamps of set-request-limit; CURRENT becomes the\n"
     "limit when it is 0 or within them (otherwise STATUS_INVALID_PARAMETER, and\n"
     "the clamps are still stored). Prints the limit kept."},
    {"get-send-queue", "", "show the send queue limit",
     "Prints size=N: the most requests the send queue holds."},
    {"set-send-queue", "SIZE", "set the send queue limit",
     "Sets the most requests the send queue holds; a value above 999999 (or\n"
     "negative) becomes 65535. Prints the value kept."},
    {"set-ratio", "RATIO", "scale the configured time-outs",
     "Multiplies keepalive_time, ack_timeout, receive_normal_timeout,\n"
     "send_timeout, connect_timeout and hb_recv_timeout as given to init by RATIO\n"
     "(1 or more; 1 restores them); a product above its maximum becomes the maximum\n"
     "(the driver's note is shown)."},
    {"get-sync-flags", "", "show the sync switch flags",
     "Prints flags=N and what they mean: 0 and 256 or more mean mirroring is ON,\n"
     "1..255 OFF (writes only mark the bitmap). Bit 3 (8) is the driver's: set\n"
     "while a last-update time is recorded. Bit 1 (2) in async mode gives up the\n"
     "writes waiting for ACK1."},
    {"set-sync-flags", "FLAGS", "set the sync switch flags",
     "Sets the flags (0..2147483647; see get-sync-flags for the bits). Prints the\n"
     "flags the driver then reports (bit 3 is its own)."},
    {"get-mode", "", "show the mirroring mode", "Prints mode=1 (sync) or mode=0 (async)."},
    {"set-compress", "[flags=N] [value=N]", "set the compression flags",
     "flags: bit 0 compresses sync data, bit 1 recovery data; value: the second\n"
     "compression setting. -1 (the default) leaves a field as it is. Prints the\n"
     "flags the driver then reports."},
    {"get-compress", "", "show the compression flags", "Prints flags=N and value=N."},
    {"set-bitmap-from-fs", "", "keep only the bitmap bits of blocks the file system uses",
     "Reads the ext2, ext3 or ext4 file system on the Data Partition and rewrites\n"
     "the difference bitmap: a bit is 1 when a block of its granule is in use, else\n"
     "0 (command 77). Run it after every bit was set, before a full recovery, with\n"
     "the file system unmounted. Prints fs_type (EXT2, EXT3, or - for ext4),\n"
     "log_block_size (block size = 1024 << it), blocks, used (blocks in use) and\n"
     "bits_set. STATUS_FAILED, with the bitmap as it was, for a file system it\n"
     "cannot read safely: 64bit (every default ext4), meta_bg, mounted or not\n"
     "cleanly unmounted, larger than the device, or damaged."},
    {"get-fs-block-count", "", "show the file system's data block estimate and used blocks",
     "Reads the ext2, ext3 or ext4 superblock on the Data Partition (command 78).\n"
     "Prints estimate (blocks the file system can hold data in, in file system\n"
     "blocks) and used (blocks in use). STATUS_FAILED when it is not such a file\n"
     "system or its superblock is damaged."},
    {"prepare-recovery", "", "drain the ACK2 and bitmap queues before a recovery",
     "Waits until the device's ACK2 and bitmap queues are written (command 60).\n"
     "STATUS_PORT_CLOSED when the N/W port is closed; STATUS_TIMEOUT when the\n"
     "queues do not drain."},
    {"recover", "[FIRST LAST] [--chunk BITS]",
     "copy the ranges marked in the difference bitmap to the peer",
     "Copies ranges of the Data Partition that the difference bitmap marks to the\n"
     "peer (command 10), on the active server; the bits of a range copied are\n"
     "cleared. Each bit covers granule sectors (get-granule), 64 KiB by default.\n"
     "  FIRST LAST    bit numbers (both included): one copy of exactly that range,\n"
     "                whether its bits are set or not. Prints startbit, endbit and\n"
     "                the bits_left and bytes_left of the whole bitmap.\n"
     "  --chunk BITS  walk the range (without FIRST LAST: the whole bitmap) in\n"
     "                chunks of BITS bits (default 1024): a chunk with no bit set\n"
     "                is skipped, the others are copied from their first to their\n"
     "                last set bit, each followed by a line\n"
     "                  recovered=A-B status=STATUS_... bits_left=N\n"
     "                then status=, bits_left= and bytes_left=. The walk stops at\n"
     "                the first copy refused.\n"
     "The N/W port must be open (else STATUS_RECOVERY_PORT_CLOSED) and the peer\n"
     "reachable (else STATUS_SEND_FAILED); writes to a range wait while it is\n"
     "copied. STATUS_FAILED when another copy runs on the device;\n"
     "STATUS_CANCELLED after cancel-recovery or a heartbeat error."},
    {"cancel-recovery", "", "give up the copies waiting for the peer's answer",
     "Ends every recovery of the device that waits for the peer's recovery ACK\n"
     "(command 80); it answers STATUS_CANCELLED and its bits stay set. Answers\n"
     "STATUS_OK whether or not a copy was waiting."},
    {"diff-size", "", "show the bits set in the bitmap and the bytes they cover",
     "Prints bits=N, the bits set in the difference bitmap (command 32), and\n"
     "bytes=N x granule x 512: what a recovery copies (the device's last bit may\n"
     "cover less)."},
    {"read-bitmap", "[START_KB] [format=hex|bits]", "show one KiB of the difference bitmap",
     "Reads 1 KiB of the difference bitmap from KiB START_KB (default 0; command\n"
     "30). Each KiB holds 8192 bits; bit 0 is the most significant bit of byte 0.\n"
     "  format=hex   (default) prints bitmap=HEX, the 1024 bytes as read; past the\n"
     "               bitmap's last bit they are whatever the Cluster Partition holds\n"
     "  format=bits  prints set_bits=LIST, the numbers of the bits set counted from\n"
     "               the bitmap's start, as ranges (0-15,300), or none; only bits of\n"
     "               the bitmap are shown\n"
     "A negative START_KB is refused (STATUS_INVALID_PARAMETER)."},
    {"get-block-size", "", "show the block size of the mirror device",
     "Prints block_size=BYTES, the mirror device's block size (command 14)."},
    {"set-block-size", "BYTES", "set the block size of the mirror device",
     "Sets the mirror device's block size in bytes (command 15), and the Data\n"
     "Partition's follows: a power of two from the device's logical block size up\n"
     "to 4096. 0 or less is refused (STATUS_INVALID_PARAMETER). Prints the block\n"
     "size then reported and says when it is not the one asked."},
    {"clear-history", "", "clear the history journal without converting it",
     "Clears the asynchronous history journal on the Cluster Partition (command\n"
     "84): the writes it lists are forgotten, not marked in the bitmap. STATUS_OK\n"
     "at once when the journal is not in use; STATUS_FAILED when it cannot be\n"
     "written, or while the device's threads run (stop them first: stop, command 72)."},
    {"convert-history", "", "turn the history journal into difference-bitmap bits",
     "Marks every write the asynchronous history journal lists (written on the\n"
     "active but perhaps not on the peer) in the difference bitmap, then clears\n"
     "the journal (command 85). Run it after a failure in asynchronous mode,\n"
     "before a recovery. Prints bits= and bytes= of the bitmap after it.\n"
     "STATUS_INVALID_HISTORY when a record is not valid; STATUS_FAILED when the\n"
     "journal cannot be read or cleared, or while the device's threads run (stop\n"
     "them first: stop, command 72)."},
    {"set-perf", "PID [start=1] [clear=0] [control=N] [interval=SECONDS]",
     "subscribe to, clear or leave the device's statistics",
     "Command 81 for the polling process PID. start=1 subscribes (or keeps the\n"
     "subscription), start=0 ends it (STATUS_NOT_SUBSCRIBED when PID had none).\n"
     "clear=1 zeroes the counters and PID's peaks; the live gauges (writes in\n"
     "flight, waiting bytes, ACK1 time-out queue) keep their values. control is\n"
     "the device's control word (0x7fffffff): bit 30 clear makes\n"
     "/proc/mirvolperf, set removes it; bit 29 leaves the device out of the\n"
     "unload dump, bit 28 drops the file's last line. A subscriber silent for\n"
     "three intervals (SECONDS, 10) is dropped by another's get-perf."},
    {"get-perf", "PID", "show the device's statistics counters by name",
     "Command 82 for the subscriber PID (subscribe first with set-perf; else\n"
     "STATUS_NOT_SUBSCRIBED). Prints every counter as name=value: bytes read and\n"
     "written on the mirror device and its Data Partition, bytes sent on TCP and\n"
     "ICMP, sync and recovery data before and after compression, writes in\n"
     "flight, waiting bytes, the send queue, ACK1, ACK2 and recovery ACK counts\n"
     "and latencies (ms), the ACK1 time-out queue and the echo times of the\n"
     "network in use. my_ values are PID's own peaks since its last get-perf."},
    {"stop", "", "stop the device's threads and drain what is in flight",
     "Stops the device's mirroring, as before a failover (command 72): the device\n"
     "becomes inactive, its threads end (the DATA listener first), what is still\n"
     "in flight (the send queue, history files, unanswered and received writes)\n"
     "goes to the difference bitmap, the networks become ERROR, the DATA\n"
     "connections are released and the N/W port is closed. An open mount port is\n"
     "only logged. STATUS_TIMEOUT when a thread did not end or the bitmap queues\n"
     "did not drain in time; the device is stopped all the same."},
    {"start", "", "start the device's threads again",
     "Starts the threads of a stopped device (command 74) and reads its Cluster\n"
     "Partition times again; the device becomes active. Threads that still run\n"
     "are kept, only the missing ones start. STATUS_FAILED when a thread cannot\n"
     "be started: the ones started before it keep running and the device stays\n"
     "inactive (stop ends them)."},
    {"wait-send-queue", "", "wait until the send queue is empty",
     "Waits, napping 2 seconds at a time, until every queued write has been sent\n"
     "(command 53). Once the seconds waited exceed ack_timeout, the N/W port is\n"
     "closed and what is left goes to the difference bitmap (the driver logs it).\n"
     "Always answers STATUS_OK."},
    {"wait-drain", "", "write the times and drain the send queue into the bitmap",
     "Closes the N/W port, writes the last-update and mirror-break times to the\n"
     "Cluster Partition and puts every write still in the send queue into the\n"
     "difference bitmap (command 86). Answers STATUS_OK."},
    {"set-disk-error-action", "ACTION_FLAG CP_ACTION DP_ACTION",
     "driver-wide actions on a disk I/O error",
     "ACTION_FLAG 0|1 (1 at load); CP_ACTION, on a Cluster Partition error: 0 ask\n"
     "the cluster service to reset the server, 1 panic; DP_ACTION, on a Data\n"
     "Partition error: 0 reset, 1 panic, 2 break the mirror and go on. A value out\n"
     "of range is refused (STATUS_INVALID_PARAMETER) and nothing is stored."},
    {"status", "", "one readable view of the device",
     "Reads the device's size, mode, granule and bitmap size, its ports and\n"
     "disk-error flag, its networks and their states, its sync flags, and the\n"
     "times on its Cluster Partition, the bits set in the difference bitmap and\n"
     "the bytes they cover, and prints them with the mirror's state:\n"
     "mirroring, or broken (N/W port closed, or sync flags OFF)."},
    {"raw", "CMD [--size N] [--in HEX] [--fd NUM=PATH]...",
     "issue any control command with a record given in hex",
     "mirvolctl raw NMPx CMD ... sends a buffer of N bytes (default: the length of\n"
     "HEX) holding the HEX bytes and zeros after them; --fd opens PATH read-write\n"
     "and passes it as the caller's descriptor NUM. Prints ioctl=RESULT and\n"
     "record=HEX (the buffer after the call) and exits 0 whenever the call was\n"
     "carried, whatever its status word says."},
};

}  // namespace

const std::vector<command_doc> &command_docs(void) { return kDocs; }

const command_doc *find_command_doc(const std::string &name) {
  for (const auto &d : kDocs)
    if (name == d.name) return &d;
  return nullptr;
}

static std::string usage_line(const command_doc &d) {
  std::string s = std::string("mirvolctl [OPTION]... ") +
                  (std::string(d.name) == "raw" ? "raw NMPx" : "NMPx " + std::string(d.name));
  if (*d.synopsis) s += std::string(" ") + d.synopsis;
  return s;
}

std::string general_help(void) {
  std::string s =
      "usage: mirvolctl [OPTION]... NMPx COMMAND [ARG]...\n"
      "       mirvolctl [OPTION]... raw NMPx CMD [--size N] [--in HEX] [--fd NUM=PATH]...\n"
      "       mirvolctl help [COMMAND]\n"
      "Issues one control command on the mirror device NMPx of a mirvold host.\n"
      "\n"
      "Options:\n"
      "  -c, --control SOCKET  the host's control socket (default: $";
  s += mirvol_ctl::CONTROL_ENV;
  s += ", else\n                        ";
  s += mirvol_ctl::DEFAULT_SOCKET;
  s += ")\n"
       "      --dump-record     print the record that would be sent (record=HEX) and\n"
       "                        send nothing (init's checks of files and networks\n"
       "                        are skipped)\n"
       "  -h, --help            show this text; help COMMAND shows one command\n"
       "  -V, --version         show the version\n"
       "\n"
       "Commands:\n";
  for (const auto &d : kDocs) {
    std::string name = d.name;
    name.resize(22, ' ');
    s += "  " + name + d.summary + "\n";
  }
  s += "\n"
       "Exit status: 0 the command was carried and answered STATUS_OK (raw: carried);\n"
       "1 it could not be carried (no host, no such device, a file that does not open);\n"
       "2 a bad command line, or an init the driver could not use (refused before\n"
       "anything is sent); 3 the driver answered another status word, which is printed\n"
       "with its meaning and the driver's log lines for the command.\n";
  return s;
}

std::string command_help(const command_doc &d) {
  return "usage: " + usage_line(d) + "\n" + d.summary + "\n\n" + d.details + "\n";
}

}  // namespace mirvolctl
