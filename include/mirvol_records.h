// The control records as packed structures: one description of each
// record's layout for every program that builds or reads one (the control
// client, the tests, and the driver's units as they take it up). Plain
// <cstdint> fields, little-endian on the wire as on the machines this runs
// on; offset 0 of every record is the status word (mirvol_status.h). Each
// offset is pinned by a static_assert, so a field moved by mistake stops
// the build instead of shifting the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mirvol_rec {

// The counter image of command 82, bytes 8 to 279 of its record (field
// comments give the record offset; the image's own offset is 8 less). The
// driver counts in this structure and copies it into the record whole; the
// client names its fields by the same offsets. Natural alignment leaves no
// gap, so the driver may take the fields' addresses.
struct perf_image {
  uint64_t nmp_write_bytes;         // 8
  uint64_t nmp_read_bytes;          // 16
  uint64_t active_write_bytes;      // 24
  uint64_t active_read_bytes;       // 32
  uint64_t standby_write_bytes;     // 40
  uint64_t standby_read_bytes;      // 48, never counted
  uint64_t recovery_write_bytes;    // 56
  uint64_t recovery_read_bytes;     // 64
  uint32_t write_req_now;           // 72, gauge
  uint32_t write_req_peak;          // 76
  uint64_t tcp_send_bytes;          // 80
  uint64_t echo_send_bytes;         // 88
  uint64_t sync_data_bytes;         // 96, mirror data before sending
  uint64_t sync_send_bytes;         // 104, mirror data as sent
  uint64_t recovery_data_bytes;     // 112, recovery data before compression
  uint64_t recovery_send_bytes;     // 120, recovery data as sent
  uint64_t waiting_sync_bytes;      // 128, gauge
  uint64_t sub_waiting_peak;        // 136, the reader's own peak
  uint32_t send_q_now;              // 144, at the read
  uint32_t send_q_peak;             // 148, at the read
  uint64_t ack1_count;              // 152
  uint64_t ack1_total_ms;           // 160
  uint32_t sub_ack1_peak;           // 168, the reader's own peak
  uint32_t ack_latest;              // 172, recovery ACK
  uint32_t ack_peak;                // 176
  uint32_t ack1_latest;             // 180
  uint32_t ack1_peak;               // 184
  uint32_t ack2_latest;             // 188
  uint32_t ack2_peak;               // 192
  uint32_t dcpq_now;                // 196, gauge
  uint32_t dcpq_peak;               // 200
  uint32_t echo_latest;             // 204, at the read
  uint32_t echo_peak;               // 208, at the read
  uint32_t reserved1;               // 212
  uint64_t sync_wait_recovery_ms;   // 216
  uint64_t recovery_wait_sync_ms;   // 224
  uint64_t unmirrored_count;        // 232
  uint64_t unmirrored_bytes;        // 240
  uint64_t ack2_count;              // 248
  uint64_t reserved2;               // 256
  uint32_t sub_ack_peak;            // 264, the reader's own peak
  uint32_t sub_send_q_peak;         // 268, the reader's own peak
  uint32_t sub_write_req_peak;      // 272, the reader's own peak
  uint32_t echo_peak_since_read;    // 276
};
static_assert(sizeof(perf_image) == 272);
static_assert(offsetof(perf_image, nmp_write_bytes) + 8 == 8);
static_assert(offsetof(perf_image, nmp_read_bytes) + 8 == 16);
static_assert(offsetof(perf_image, active_write_bytes) + 8 == 24);
static_assert(offsetof(perf_image, active_read_bytes) + 8 == 32);
static_assert(offsetof(perf_image, standby_write_bytes) + 8 == 40);
static_assert(offsetof(perf_image, standby_read_bytes) + 8 == 48);
static_assert(offsetof(perf_image, recovery_write_bytes) + 8 == 56);
static_assert(offsetof(perf_image, recovery_read_bytes) + 8 == 64);
static_assert(offsetof(perf_image, write_req_now) + 8 == 72);
static_assert(offsetof(perf_image, write_req_peak) + 8 == 76);
static_assert(offsetof(perf_image, tcp_send_bytes) + 8 == 80);
static_assert(offsetof(perf_image, echo_send_bytes) + 8 == 88);
static_assert(offsetof(perf_image, sync_data_bytes) + 8 == 96);
static_assert(offsetof(perf_image, sync_send_bytes) + 8 == 104);
static_assert(offsetof(perf_image, recovery_data_bytes) + 8 == 112);
static_assert(offsetof(perf_image, recovery_send_bytes) + 8 == 120);
static_assert(offsetof(perf_image, waiting_sync_bytes) + 8 == 128);
static_assert(offsetof(perf_image, sub_waiting_peak) + 8 == 136);
static_assert(offsetof(perf_image, send_q_now) + 8 == 144);
static_assert(offsetof(perf_image, send_q_peak) + 8 == 148);
static_assert(offsetof(perf_image, ack1_count) + 8 == 152);
static_assert(offsetof(perf_image, ack1_total_ms) + 8 == 160);
static_assert(offsetof(perf_image, sub_ack1_peak) + 8 == 168);
static_assert(offsetof(perf_image, ack_latest) + 8 == 172);
static_assert(offsetof(perf_image, ack_peak) + 8 == 176);
static_assert(offsetof(perf_image, ack1_latest) + 8 == 180);
static_assert(offsetof(perf_image, ack1_peak) + 8 == 184);
static_assert(offsetof(perf_image, ack2_latest) + 8 == 188);
static_assert(offsetof(perf_image, ack2_peak) + 8 == 192);
static_assert(offsetof(perf_image, dcpq_now) + 8 == 196);
static_assert(offsetof(perf_image, dcpq_peak) + 8 == 200);
static_assert(offsetof(perf_image, echo_latest) + 8 == 204);
static_assert(offsetof(perf_image, echo_peak) + 8 == 208);
static_assert(offsetof(perf_image, reserved1) + 8 == 212);
static_assert(offsetof(perf_image, sync_wait_recovery_ms) + 8 == 216);
static_assert(offsetof(perf_image, recovery_wait_sync_ms) + 8 == 224);
static_assert(offsetof(perf_image, unmirrored_count) + 8 == 232);
static_assert(offsetof(perf_image, unmirrored_bytes) + 8 == 240);
static_assert(offsetof(perf_image, ack2_count) + 8 == 248);
static_assert(offsetof(perf_image, reserved2) + 8 == 256);
static_assert(offsetof(perf_image, sub_ack_peak) + 8 == 264);
static_assert(offsetof(perf_image, sub_send_q_peak) + 8 == 268);
static_assert(offsetof(perf_image, sub_write_req_peak) + 8 == 272);
static_assert(offsetof(perf_image, echo_peak_since_read) + 8 == 276);

#pragma pack(push, 1)

// The status word alone: the whole record of commands 53, 60, 72, 74, 80,
// 84, 85 and 86, and the first field of every other.
struct status_record {
  uint32_t status;
};
static_assert(sizeof(status_record) == 4);

// A network entry of commands 9, 73 and 102.
struct net_entry {
  uint8_t self[16];  // IPv6, or IPv4 in the last four bytes
  uint8_t peer[16];
  uint32_t state;  // 0 FREE, 1 USING, 2 ERROR
};
static_assert(sizeof(net_entry) == 36);
static_assert(offsetof(net_entry, peer) == 16 && offsetof(net_entry, state) == 32);

// Command 102: device creation (2232 bytes, which hold the first network;
// 36 more for each further one).
struct nmp_init_record {
  uint32_t status;
  char magic[4];  // "qdx" and a zero byte
  uint16_t dp_major, dp_minor, cp_major, cp_minor;
  uint16_t port;   // DATA port
  uint16_t minor;  // out: the device's minor
  uint32_t bmp_size_in_sec;
  char name[1024];
  int32_t cp_fd, dp_fd;
  uint32_t mode;  // 1 sync, 0 async
  uint32_t reserved;
  uint64_t send_queue_cnt;
  uint32_t hb_interval, hb_recv_timeout, hb_recv_retry;
  uint16_t hb_port, ack2_port;
  uint32_t connect_timeout, send_timeout, keepalive_time, keepalive_probe, keepalive_interval;
  uint32_t lastupdate_delay, ack_timeout, receive_normal_timeout;
  uint32_t ip_version, mdc_cnt, active;
  int32_t compress, compress2;
  uint32_t band_limit_mode, band_limit;
  uint32_t unplug_flags, unplug_flags_high, unplug_switch;
  uint32_t iosize;
  int32_t history_size, history_file_size;
  char history_dir[1024];
  net_entry nets[1];
};
static_assert(sizeof(nmp_init_record) == 2232);
static_assert(offsetof(nmp_init_record, magic) == 4);
static_assert(offsetof(nmp_init_record, dp_major) == 8 &&
              offsetof(nmp_init_record, dp_minor) == 10);
static_assert(offsetof(nmp_init_record, cp_major) == 12 &&
              offsetof(nmp_init_record, cp_minor) == 14);
static_assert(offsetof(nmp_init_record, port) == 16 && offsetof(nmp_init_record, minor) == 18);
static_assert(offsetof(nmp_init_record, bmp_size_in_sec) == 20);
static_assert(offsetof(nmp_init_record, name) == 24);
static_assert(offsetof(nmp_init_record, cp_fd) == 1048 && offsetof(nmp_init_record, dp_fd) == 1052);
static_assert(offsetof(nmp_init_record, mode) == 1056);
static_assert(offsetof(nmp_init_record, send_queue_cnt) == 1064);
static_assert(offsetof(nmp_init_record, hb_interval) == 1072);
static_assert(offsetof(nmp_init_record, hb_recv_timeout) == 1076);
static_assert(offsetof(nmp_init_record, hb_recv_retry) == 1080);
static_assert(offsetof(nmp_init_record, hb_port) == 1084 &&
              offsetof(nmp_init_record, ack2_port) == 1086);
static_assert(offsetof(nmp_init_record, connect_timeout) == 1088);
static_assert(offsetof(nmp_init_record, send_timeout) == 1092);
static_assert(offsetof(nmp_init_record, keepalive_time) == 1096);
static_assert(offsetof(nmp_init_record, keepalive_probe) == 1100);
static_assert(offsetof(nmp_init_record, keepalive_interval) == 1104);
static_assert(offsetof(nmp_init_record, lastupdate_delay) == 1108);
static_assert(offsetof(nmp_init_record, ack_timeout) == 1112);
static_assert(offsetof(nmp_init_record, receive_normal_timeout) == 1116);
static_assert(offsetof(nmp_init_record, ip_version) == 1120);
static_assert(offsetof(nmp_init_record, mdc_cnt) == 1124);
static_assert(offsetof(nmp_init_record, active) == 1128);
static_assert(offsetof(nmp_init_record, compress) == 1132);
static_assert(offsetof(nmp_init_record, compress2) == 1136);
static_assert(offsetof(nmp_init_record, band_limit_mode) == 1140);
static_assert(offsetof(nmp_init_record, band_limit) == 1144);
static_assert(offsetof(nmp_init_record, unplug_flags) == 1148);
static_assert(offsetof(nmp_init_record, unplug_flags_high) == 1152);
static_assert(offsetof(nmp_init_record, unplug_switch) == 1156);
static_assert(offsetof(nmp_init_record, iosize) == 1160);
static_assert(offsetof(nmp_init_record, history_size) == 1164);
static_assert(offsetof(nmp_init_record, history_file_size) == 1168);
static_assert(offsetof(nmp_init_record, history_dir) == 1172);
static_assert(offsetof(nmp_init_record, nets) == 2196);

// Command 101: driver-wide settings.
struct network_init_record {
  uint32_t status;
  char magic[4];
  uint32_t interval;  // seconds
  uint32_t max_cachenum, mirvolperf, printkperf, barrier_check_method, barrier_log_level;
  uint32_t queue_limits_method, limits_log_flag;
  int32_t history_cache_delnum;
};
static_assert(sizeof(network_init_record) == 44);
static_assert(offsetof(network_init_record, interval) == 8);
static_assert(offsetof(network_init_record, max_cachenum) == 12);
static_assert(offsetof(network_init_record, mirvolperf) == 16);
static_assert(offsetof(network_init_record, printkperf) == 20);
static_assert(offsetof(network_init_record, barrier_check_method) == 24);
static_assert(offsetof(network_init_record, barrier_log_level) == 28);
static_assert(offsetof(network_init_record, queue_limits_method) == 32);
static_assert(offsetof(network_init_record, limits_log_flag) == 36);
static_assert(offsetof(network_init_record, history_cache_delnum) == 40);

// Command 8: run-time parameters (seconds unless said).
struct nmp_param_record {
  uint32_t status;
  uint32_t hb_interval, hb_recv_timeout, hb_recv_retry, connect_timeout, send_timeout;
  uint32_t keepalive_time, keepalive_probe, keepalive_interval, lastupdate_delay, ack_timeout;
  uint32_t receive_normal_timeout;
  uint64_t send_queue_cnt;
  uint32_t band_limit_mode, band_limit;  // band_limit in KB/s
  uint8_t reserved[16];
};
static_assert(sizeof(nmp_param_record) == 80);
static_assert(offsetof(nmp_param_record, hb_interval) == 4);
static_assert(offsetof(nmp_param_record, hb_recv_timeout) == 8);
static_assert(offsetof(nmp_param_record, hb_recv_retry) == 12);
static_assert(offsetof(nmp_param_record, connect_timeout) == 16);
static_assert(offsetof(nmp_param_record, send_timeout) == 20);
static_assert(offsetof(nmp_param_record, keepalive_time) == 24);
static_assert(offsetof(nmp_param_record, keepalive_probe) == 28);
static_assert(offsetof(nmp_param_record, keepalive_interval) == 32);
static_assert(offsetof(nmp_param_record, lastupdate_delay) == 36);
static_assert(offsetof(nmp_param_record, ack_timeout) == 40);
static_assert(offsetof(nmp_param_record, receive_normal_timeout) == 44);
static_assert(offsetof(nmp_param_record, send_queue_cnt) == 48);
static_assert(offsetof(nmp_param_record, band_limit_mode) == 56);
static_assert(offsetof(nmp_param_record, band_limit) == 60);

// Command 9: the networks (48 bytes, 36 more per further network).
struct netstatus_record {
  uint32_t status;
  uint32_t mdc_cnt;     // in: must be the device's
  uint32_t ip_version;  // out
  net_entry nets[1];
};
static_assert(sizeof(netstatus_record) == 48);
static_assert(offsetof(netstatus_record, mdc_cnt) == 4);
static_assert(offsetof(netstatus_record, ip_version) == 8);
static_assert(offsetof(netstatus_record, nets) == 12);

// Commands 5, 6, 7: the ports.
struct port_record {
  uint32_t status;
  uint32_t flags;          // 1 I/O, 2 N/W, 4 mount
  uint32_t io, nw, mount;  // out of command 7: 1 open, 0 closed
};
static_assert(sizeof(port_record) == 20);
static_assert(offsetof(port_record, flags) == 4 && offsetof(port_record, io) == 8);
static_assert(offsetof(port_record, nw) == 12 && offsetof(port_record, mount) == 16);

// Command 40: the ports and the disk-error flag.
struct drive_info_record {
  uint32_t status;
  uint32_t nw, io, mount, disk_error;
};
static_assert(sizeof(drive_info_record) == 20);
static_assert(offsetof(drive_info_record, nw) == 4 && offsetof(drive_info_record, io) == 8);
static_assert(offsetof(drive_info_record, mount) == 12);
static_assert(offsetof(drive_info_record, disk_error) == 16);

// Command 16: the size and the bitmap granule.
struct size_record {
  uint32_t status;
  uint32_t reserved;
  uint64_t size_kib;
  uint32_t granule;  // bmp_size_in_sec: 512-byte sectors per bit
  uint32_t reserved2;
};
static_assert(sizeof(size_record) == 24);
static_assert(offsetof(size_record, size_kib) == 8 && offsetof(size_record, granule) == 16);

// Commands 17, 33, 50, 51, 54, 55, 61, 66, 67, 70: a status word and one
// 32-bit value.
struct value_record {
  uint32_t status;
  uint32_t value;
};
static_assert(sizeof(value_record) == 8 && offsetof(value_record, value) == 4);

// Command 52: the request limit and its clamps.
struct request_limit_record {
  uint32_t status;
  uint32_t min, max, current;
};
static_assert(sizeof(request_limit_record) == 16);
static_assert(offsetof(request_limit_record, min) == 4 && offsetof(request_limit_record, max) == 8);
static_assert(offsetof(request_limit_record, current) == 12);

// Command 21: the driver-wide disk-error actions.
struct disk_error_action_record {
  uint32_t status;
  uint32_t action_flag;  // 0..1
  uint32_t cp_action;    // 0 reset, 1 panic
  uint32_t dp_action;    // 0 reset, 1 panic, 2 mirror break
};
static_assert(sizeof(disk_error_action_record) == 16);
static_assert(offsetof(disk_error_action_record, action_flag) == 4);
static_assert(offsetof(disk_error_action_record, cp_action) == 8);
static_assert(offsetof(disk_error_action_record, dp_action) == 12);

// Command 13: the Cluster Partition times to clear (bits below 16).
struct cp_time_clear_record {
  uint32_t status;
  uint32_t flags;
  uint32_t unused[3];
};
static_assert(sizeof(cp_time_clear_record) == 20 && offsetof(cp_time_clear_record, flags) == 4);

// Command 12: the Cluster Partition times (low 32 bits of seconds).
struct cp_time_record {
  uint32_t status;
  uint32_t unused;
  uint32_t disconnect_time, last_update_time, mirror_break_time;
};
static_assert(sizeof(cp_time_record) == 20);
static_assert(offsetof(cp_time_record, disconnect_time) == 8);
static_assert(offsetof(cp_time_record, last_update_time) == 12);
static_assert(offsetof(cp_time_record, mirror_break_time) == 16);

// Commands 75, 76: the compression flags (-1 leaves a field as it is).
struct compress_record {
  uint32_t status;
  int32_t flags;  // bit 0 sync data, bit 1 recovery data
  int32_t value;  // the second compression setting
};
static_assert(sizeof(compress_record) == 12);
static_assert(offsetof(compress_record, flags) == 4 && offsetof(compress_record, value) == 8);

// Command 10: a range of difference-bitmap bits to copy to the peer.
struct recovery_record {
  uint32_t status;
  int32_t startbit, endbit;  // both included
};
static_assert(sizeof(recovery_record) == 12);
static_assert(offsetof(recovery_record, startbit) == 4 && offsetof(recovery_record, endbit) == 8);

// Commands 14, 15: the block size of the mirror device (out for 14, in for
// 15), in bytes.
struct block_size_record {
  uint32_t status;
  int32_t block_size;
};
static_assert(sizeof(block_size_record) == 8 && offsetof(block_size_record, block_size) == 4);

// Commands 30, 31: one KiB of the difference bitmap (bit 0 is the most
// significant bit of byte 0). Command 32 answers a value_record: the
// number of bits set.
struct bitmap_read_record {
  uint32_t status;
  int32_t start_kb;   // the first KiB of the bitmap
  int32_t kb_number;  // 1
  uint8_t bitmap[1024];
};
static_assert(sizeof(bitmap_read_record) == 1036);
static_assert(offsetof(bitmap_read_record, start_kb) == 4);
static_assert(offsetof(bitmap_read_record, kb_number) == 8);
static_assert(offsetof(bitmap_read_record, bitmap) == 12);

// Command 79: the network wanted (1-based priority; 0 = the next FREE
// one), and on the way out the one now in use. Command 80 is a status word
// alone, as are 84 and 85.
struct mdc_switch_record {
  uint32_t status;
  int32_t mdc_priority;
};
static_assert(sizeof(mdc_switch_record) == 8 && offsetof(mdc_switch_record, mdc_priority) == 4);

// Command 77: the difference bitmap rebuilt from an ext2/ext3/ext4 file
// system's used blocks.
struct fs_bitmap_record {
  uint32_t status;
  char fs_type[16];  // "EXT2" or "EXT3", zero-padded; left as sent for ext4
  uint32_t log_block_size;
  uint64_t blocks;
  uint64_t used;
  uint32_t bits_set;
  uint32_t unused;
};
static_assert(sizeof(fs_bitmap_record) == 48);
static_assert(offsetof(fs_bitmap_record, log_block_size) == 20 &&
              offsetof(fs_bitmap_record, blocks) == 24);
static_assert(offsetof(fs_bitmap_record, used) == 32 && offsetof(fs_bitmap_record, bits_set) == 40);

// Command 78: the file system's estimated data blocks and used blocks.
struct fs_count_record {
  uint32_t status;
  uint32_t unused;
  uint64_t estimate;
  uint64_t used;
};
static_assert(sizeof(fs_count_record) == 24);
static_assert(offsetof(fs_count_record, estimate) == 8 && offsetof(fs_count_record, used) == 16);

// Command 83: who holds the device open (the caller's log flag and its
// name in, the counts out).
struct check_holders_record {
  uint32_t status;
  int32_t openers;    // out: opens of the mirror disk
  int32_t holders;    // out: its holders (the log shows them halved)
  uint32_t log_flag;  // in: log the counts when non-zero
  char name[32];      // in: the caller, for the log line
};
static_assert(sizeof(check_holders_record) == 48);
static_assert(offsetof(check_holders_record, openers) == 4 &&
              offsetof(check_holders_record, holders) == 8);
static_assert(offsetof(check_holders_record, log_flag) == 12 &&
              offsetof(check_holders_record, name) == 16);

// Command 81: subscribe, leave or clear a device's statistics.
struct perf_set_record {
  uint32_t status;
  uint32_t start;     // 1 subscribes, 0 leaves
  uint32_t clear;     // non-zero zeroes the totals and the caller's peaks
  uint32_t control;   // the device's control word
  uint32_t pid;       // the polling process
  uint32_t interval;  // seconds between the caller's polls
};
static_assert(sizeof(perf_set_record) == 24);
static_assert(offsetof(perf_set_record, start) == 4 && offsetof(perf_set_record, clear) == 8);
static_assert(offsetof(perf_set_record, control) == 12 && offsetof(perf_set_record, pid) == 16);
static_assert(offsetof(perf_set_record, interval) == 20);

// Command 82: a subscriber's read of the counter image.
struct perf_get_record {
  uint32_t status;
  uint32_t pid;         // in: the subscriber
  uint8_t image[sizeof(perf_image)];  // out: the counters, little-endian
};
static_assert(sizeof(perf_get_record) == 280);
static_assert(offsetof(perf_get_record, pid) == 4 && offsetof(perf_get_record, image) == 8);

// The Cluster Partition's record blocks, as the driver reads and writes
// them: each is one logical block at its sector (mirvol_bitmap.h), zero
// but for the fields below, little-endian.
// The disconnect, last-update and mirror-break blocks: seconds since the
// epoch, 0 when not set.
struct cp_time_block_data {
  uint64_t time;
};
static_assert(sizeof(cp_time_block_data) == 8 && offsetof(cp_time_block_data, time) == 0);
// The disk-error block: 1 after a disk error, 0 once command 13 clears it
// (read as a signed byte).
struct cp_disk_error_block_data {
  uint8_t unused[20];
  int8_t disk_error_flag;
};
static_assert(sizeof(cp_disk_error_block_data) == 21);
static_assert(offsetof(cp_disk_error_block_data, disk_error_flag) == 20);
// The history-journal block: non-zero while the journal holds records.
struct cp_hisinfo_block_data {
  uint32_t is_hisinfo_used;
};
static_assert(sizeof(cp_hisinfo_block_data) == 4 &&
              offsetof(cp_hisinfo_block_data, is_hisinfo_used) == 0);

#pragma pack(pop)

// A record's bytes (a copy of the caller's, not aligned) copied into its
// structure and back: no buffer is ever read through a cast pointer.
template <class R>
inline R rec_load(const void *bytes) {
  R r;
  std::memcpy(&r, bytes, sizeof(R));
  return r;
}
template <class R>
inline void rec_store(void *bytes, const R &r) {
  std::memcpy(bytes, &r, sizeof(R));
}
// The status word of any record.
inline void rec_put_status(void *bytes, uint32_t status) {
  rec_store(bytes, status_record{status});
}

}  // namespace mirvol_rec
