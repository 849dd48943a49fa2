// The driver's shared records: the mirror device record and its networks,
// the I/O request, the queue nodes, and the module-wide tables.
#pragma once

#include "include/mirvol_common.h"
#include "include/mirvol_open.h"
#include "include/mirvol_status.h"

struct bio;
struct block_device;
struct gendisk;
struct request_queue;
struct socket;
struct file;
struct qos_area;
struct perf_area;
struct history_info;
struct io_request;
struct req_sys_var;

#define MIRVOL_MAX_NMP 64        // configured minors at most
#define MIRVOL_MAX_MINOR 64      // minors lie in 0..64 (my_disk has 65 entries)
#define MIRVOL_WRT_QUEUE_NUM 64  // buckets of the in-flight write table in use
#define MIRVOL_WRT_QUEUE_MAX 128 // buckets the record holds room for
#define MIRVOL_NAME_LEN 1024
#define MIRVOL_IPADDR_LEN 16

// Request completion bits.
#define REQ_LOCAL_DONE 1
#define REQ_REMOTE_DONE 2
#define REQ_LASTUPDATE_DONE 4
#define REQ_MIRRORBREAK_DONE 16
// Every bit set: the request is finished by the caller that completed it.
#define REQ_FINISHED (REQ_LOCAL_DONE | REQ_REMOTE_DONE | REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE)
// A read is never mirrored and writes no time record: everything but its
// local I/O is settled when it is made, and a successful ACK1 settles the
// same three bits of a write at once.
#define REQ_READ_START (REQ_REMOTE_DONE | REQ_LASTUPDATE_DONE | REQ_MIRRORBREAK_DONE)
static_assert(REQ_FINISHED == 23 && REQ_READ_START == 22, "the completion values the driver keeps");

// Send states of a request.
#define SEND_STATE_NONE 0
#define SEND_STATE_QUEUED 1
#define SEND_STATE_SENDING 2
#define SEND_STATE_WAIT_ACK1 3
#define SEND_STATE_ABANDONED 4

// Network states.
#define NW_FREE 0
#define NW_USING 1
#define NW_ERROR 2

// --- queue nodes ---

struct dcq {  // ACK1 time-out, for the disconnection thread
  u64 request_id;
  struct dcq *next;
};

struct wbq {  // a sector range for the difference bitmap
  struct wbq *next, *prev;
  u64 first_sector, last_sector;
  struct nmp_info *nmp;
};

struct a2q {  // a request id for the ACK2 sender (host order)
  struct a2q *next, *prev;
  u64 request_id;
};

struct wrt_queue {  // a write in flight to the data partition
  struct wrt_queue *next, *prev;
  struct bio *bio;  // the upper bio
};

struct wrt_queue_head {
  struct wrt_queue *head, *tail, *cursor;
};

struct queue_head {  // a FIFO of nodes of one kind with its own sys_var
  void *head, *tail;
  struct sys_var *sys_var;
};

// --- networks ---

struct network {
  u8 self_addr[MIRVOL_IPADDR_LEN];      // IPv4 in the last four bytes
  u8 opponent_addr[MIRVOL_IPADDR_LEN];
  u32 state;                            // NW_FREE, NW_USING, NW_ERROR
  u32 recv_latch;
  u32 report_latch;
  u32 send_latch;
  u64 last_echo_time;                   // jiffies
  u64 send_time;                        // jiffies
  u32 last_result;
  s32 last_response;                    // ms
  s32 max_response;                     // ms
  s32 peak_response;                    // ms
  struct network *next;
};

// The outgoing ACK2 or heartbeat connection of a device.
struct client_block {
  struct network *network;  // the network the connection was made on
  struct socket *sock;
  // Owns sock, network and the flags below. Taken before network_list_lock.
  struct semaphore sem;
  struct timer_list timer1, timer2;
  u32 value;
  u32 state_flags[3];
};

// --- the mirror device ---

// Per-device thread records, in record order.
enum {
  NMP_THREAD_REMOTE_WRITE,  // _04
  NMP_THREAD_SEND_ACK1,     // _06
  NMP_THREAD_SEND_DATA,     // _08
  NMP_THREAD_ACCEPT,        // _05
  NMP_THREAD_SEND_ACK2,     // _07
  NMP_THREAD_ACK2_SVR,      // _01
  NMP_THREAD_HB_SVR,        // _02
  NMP_THREAD_HB_CLIENT,     // _03
  NMP_THREAD_HISTORY,       // _09
  NMP_THREAD_NUM
};

struct nmp_info {
  struct nmp_info *next;  // g_nmp_list's nmp_list_lock
  u32 major, minor;  // set at creation, read-only after
  u32 dp_major, dp_minor;  // set at creation, read-only after
  u32 cp_major, cp_minor;  // set at creation, read-only after
  // Set at creation, then by the size command without a lock: written with
  // WRITE_ONCE, read with READ_ONCE.
  u32 bmp_size_in_sec;
  u32 len;  // Cluster Partition logical block size, 512 or 4096; set at creation
  struct block_device *own_bdev;  // set at creation, read-only after
  struct block_device *cp_bdev, *dp_bdev;  // set at creation, read-only after
  struct file *cp_file, *dp_file;  // set at creation, read-only after
  u32 hb_client_up, hb_server_up;  // nmp_lock
  u32 nw_port;  // the N/W port: the connection flag; nmp_lock
  u32 io_port, mount_port;  // nmp_lock
  u32 disk_error_flag;  // nmp_lock; set under g_cp_time_sem
  s32 disk_error_handling, cp_error, dp_error, reset_request;  // nmp_lock
  u64 disconnect_time, last_update_time, mirror_break_time;  // nmp_lock; set under g_cp_time_sem
  u32 is_hisinfo_used;  // nmp_lock
  struct nmp_thread_info thread[NMP_THREAD_NUM];  // running atomic; pid by the starter and stopper
  u32 recovery_lock_flag;  // recovery_lock
  u64 recovery_first_sector, recovery_last_sector;  // recovery_lock
  struct queue_head send_ack1_head;  // its own sys_var
  struct queue_head remote_write_head;  // its own sys_var
  atomic_t recv_in_flight;  // received writes queued or on the disk
  // Request-bound Cluster Partition time writes submitted whose completion
  // has not returned. Unload frees the record only once it is 0, since such
  // a completion touches the device.
  atomic_t cp_time_writes;
  // Asynchronous writes between their N/W port check and the send queue.
  // A stop that has closed the port waits for
  // 0 before it drains, so no write it did not see is queued after it.
  atomic_t async_submitting;
  struct queue_head history_head;  // its own sys_var
  u32 recovery_prep_state;  // bitmap_lock
  u64 requests_sent;  // nothing counts it yet
  u64 request_queue_cnt;  // request_queue_lock
  u64 send_queue_cnt;  // atomic
  u64 request_queue_peak;  // nothing counts it yet
  // request_queue_lock
  struct io_request *request_queue_head, *request_queue_cursor, *request_queue_tail;
  u64 request_seq;  // request_queue_lock
  u32 ack1_send_state, connect_state;  // send semaphore
  u16 data_port;  // set at creation, read-only after
  struct socket *data_sock;  // send semaphore
  // The accepted DATA connection; written by the DATA listener only, under
  // mirvol_recv_sock_lock() (include/mirvol_recv.h), which command 73 holds
  // for its shutdown.
  struct socket *recv_sock;
  struct nmp_sys_variable *nmp_variable;  // set at creation, read-only after
  struct wrt_queue_head wrt_queue[MIRVOL_WRT_QUEUE_MAX];  // wrt_queue_lock
  char name[MIRVOL_NAME_LEN];  // set at creation, read-only after
  u32 mode;  // 1 sync, 0 async; set at creation, read-only after
  u32 sync_switch_flags;  // nmp_lock
  void *recover_buff;  // 64 KiB for recovery; used by the lock window's holder
  u32 base_keepalive_time, base_ack_timeout, base_receive_normal_timeout, base_send_timeout,
      base_connect_timeout, base_hb_recv_timeout;  // set at creation, read-only after
  struct queue_head send_ack2_queue;  // its own sys_var
  struct client_block ack2_client;  // its own sem
  struct client_block hb_client;  // its own sem
  u32 hb_interval, hb_recv_timeout, hb_recv_retry;  // atomic
  u16 hb_port, ack2_port;  // set at creation, read-only after
  u32 connect_timeout, send_timeout, keepalive_time, keepalive_probe, keepalive_interval,
      lastupdate_delay, ack_timeout, receive_normal_timeout;  // atomic
  u32 ip_version, mdc_cnt;  // set at creation, read-only after
  struct network *network_list;  // links set at creation; entries under network_list_lock
  // Guards the list entries' addresses, states and echo fields (the list's
  // length and links are fixed at creation). Lock order: the send, ACK2 and
  // HB semaphores are taken before it, and it before the device spinlock
  // (nmp_lock); never the other way round.
  spinlock_t *network_list_lock;
  struct network *current_network;  // network_list_lock
  u32 active;  // atomic
  u32 iosize;  // set at creation, read-only after
  u64 fs_results[3];  // atomic
  // Set at creation, then by the compression command without a lock:
  // written with WRITE_ONCE and read with READ_ONCE by the sender, the
  // recovery sender and the command.
  u32 compress_flags, compress_value2;
  u32 recovery_param;  // set at creation, read-only after
  u32 band_limit;  // bytes per second, 0 = none; atomic
  struct qos_area *qos_area;  // set at creation, read-only after
  struct perf_area *perf_area;  // set at creation, read-only after
  struct history_info *history;  // set at creation, read-only after
  u64 async_serial;  // serial_lock
  u32 unplug_flags, unplug_switch;  // set at creation, read-only after
  u32 recovery_slice_cnt;  // set at creation, read-only after
  u32 dp_block_size;  // soft block size of the data partition; set by creation and recovery
};

// --- the I/O request ---

struct buff_list {  // a private copy of asynchronous write data
  struct buff_list *next;
  struct page *page;
  u32 len;
};

// The life of a request (core/mirvol_main_free.cpp unless said otherwise).
//
// Who creates it: mirvol_make_request, in the submitting task, for every bio
// on a mirror disk that passes the device, port and range checks. It
// allocates the request zeroed (mirvol_allocate_request: completion 0, send
// state 0, needs_bitmap 0, async_local_done 0, request_id 0), clones the
// bio (a write gets private page copies of its data) and fills it. The
// request path owns it until mirvol_end_req frees it.
//
// Completion bits (`completion`, or-ed only in mirvol_end_req under
// sys_var->lock; exactly the caller whose bits make it REQ_FINISHED
// finishes it):
//   1  REQ_LOCAL_DONE       the clone's local I/O completed
//                           (__mirvol_end_make_request, bio completion).
//   2  REQ_REMOTE_DONE      the peer side is settled: ACK1 with status 0
//                           (together with 4 and 16), or the mirror given
//                           up: suspended or N/W port closed at entry, send
//                           failure, ACK1 with an error status, stop
//                           sending, ACK1 time-out (disconnection thread),
//                           drain of the request_queue.
//   4  REQ_LASTUPDATE_DONE  the last-update time record is written, or none
//   16 REQ_MIRRORBREAK_DONE was due; the mirror-break record likewise. Both
//                           come from mirvol_write_cptime (at once, or from
//                           its Cluster Partition write's completion while
//                           time_write_flags holds the bit), always after 2
//                           was given, or together with 2 from ACK1.
// Legal values: a read is 0, then REQ_READ_START before its clone is
// submitted, then 23 at its completion. A write is 0, {1}, {2}, {1,2},
// {2,4}, {2,16}, {2,4,16}, {1,2,4}, {1,2,16} and finally 23: 4 and 16 are
// never set without 2, and 1 comes in any order with the others.
//
// Send state (`send_state`, atomic; every change after the enqueue is a
// release store under the request-queue lock, read with acquire):
//   0  never queued for the async sender: reads, unmirrored writes and every
//      write in synchronous mode (the sync send enters the request in the
//      request_queue, giving it request_id and its ACK1 timer, but keeps
//      state 0; it sends under the send semaphore in the caller's task).
//   1  queued: set by mirvol_copy_data_to_req (replication/mirvol_trans.cpp)
//      before the request enters the request_queue; a failed enqueue puts
//      it back to 0.
//   2  being sent: set by the send-data thread (mirvol_take_next_request)
//      for the first state-1 request, only once async_local_done is 1. The
//      thread owns the request in this state.
//   3  sent, waiting for ACK1: set by the thread as its last access.
//   4  abandoned: set by the thread for a state-1 request whose ACK1 wait
//      was given up (its dcq node taken), and by a send that failed, before
//      it takes the request off the queue.
// Leaving the request_queue (mirvol_del_req_queue or a drain, under the
// request-queue lock, stopping the ACK1 timer) is what hands the request to
// one remote settler: ACK1, its time-out, stop sending, a failed send or a
// drain. Whoever takes it off handles it; the others find nothing.
//
// needs_bitmap (release/acquire): 0 until the request path or the async
// sender gives the mirror up for this request (suspended, N/W port closed,
// send failure); then 1, before that path gives bit 2. With 1, or with a
// local error, the range goes to the difference bitmap and no ACK2 is sent.
// The give-up paths that take the request off the queue (ACK1 error, stop
// sending, time-out, drain) hand the range over themselves and clear
// request_id instead.
//
// async_local_done (release/acquire): cleared when the async enqueue copies
// the data; set to 1 by mirvol_end_req at bit 1 in asynchronous mode, after
// the upper bio was ended, and the send-data thread is woken.
//
// What the upper bio sees:
//   synchronous mode: nothing until the request is finished at 23; it then
//     ends with the local I/O's bytes and error. A mirrored write so ends
//     only after its local write and its ACK1 (or a give-up and the time
//     records).
//   asynchronous mode: it ends at bit 1, with the local I/O's result, while
//     the private copy may still wait in the request_queue or a history
//     file; the request finishes later without touching it again.
//   Either way a range that is due for the bitmap is queued before the
//   upper bio ends, and a write gives back its slot of the in-flight limit
//   (g_make_request_cnt, under g_max_lock) when its upper bio ends.
//
// At 23, mirvol_end_req hands the range to the bitmap (needs_bitmap or an
// error), or a queued write's id to the ACK2 sender, then frees the request
// with everything it owns. In asynchronous mode a caller that gives bits
// other than 1 first waits while the send-data thread holds the request in
// state 2 (mirvol_wait_sender_release), so the request is never freed
// under the sender.
struct io_request {
  struct io_request *next, *prev;
  struct nmp_info *nmp;
  struct dcq *dcq;
  struct wbq *wbq;
  struct a2q *a2q;
  void *buffer1, *buffer2;
  struct req_sys_var *sys_var;  // its lock guards the completion bits; its timer is ACK1's
  spinlock_t wbq_lock, a2q_lock;
  struct bio *upper_bio;
  struct bio *clone;
  struct bio *cp_bio[3];
  u64 request_id;
  u64 completion;
  s32 error;  // set by the local completion before REQ_LOCAL_DONE (atomically)
  u32 completed_bytes;
  u32 write;
  u32 time_write_flags;  // 4 last-update, 16 mirror-break write in flight
  s32 needs_bitmap;  // read and written atomically
  u32 history_file;
  s32 async_local_done;  // the upper bio was ended at the local write; atomic
  u64 start_sector;
  u32 sector_count;
  u32 bytes;
  u32 send_state;  // read and written atomically: the completion waits on it
  u16 segment_index;
  u16 segment_count;
  s32 *segment_sizes, *segment_offsets;
  struct buff_list *buff_list;
  u64 enqueue_time;
  u64 async_serial;
  u64 history_position;
  u32 queued_bytes;  // waiting bytes counted when it entered the request_queue
};

// The request's own lock (guards its completion bits) and its ACK1 timer.
struct req_sys_var {
  spinlock_t lock;
  struct timer_list timer;
};

// --- module-wide tables ---

struct nmp_list {
  struct nmp_info *head;
  spinlock_t *nmp_list_lock;  // guards the list; null until load has made it
};

struct dcq_head {
  struct sys_var *sys;
  struct dcq *head, *tail;
};

struct wait_ack2_queue {
  u64 request_id;
  u64 first_sector, last_sector;
  s32 minor;
  u64 queued;  // jiffies
  u32 ack_timeout;
  struct wait_ack2_queue *next, *prev;
};

struct wait_ack2_queue_head {
  spinlock_t *lock;
  struct wait_ack2_queue *head, *tail, *cursor;
};

#define MIRVOL_TRANS_TABLE_NUM 64

struct trans_table {
  u64 request_id;
  u32 in_use;
  u32 ack_received;
  wait_queue_head_t *wq;
  u32 status;  // the recovery ACK's status as the wire carries it (32 bits)
  struct nmp_info *nmp;
};

struct table_control {
  u32 next_id;
  spinlock_t *table_lock;
};

struct wrbmp {
  struct wbq *head, *tail;
  struct sys_var *sys_var;
  int *cnt;  // pending ranges per index of nmp_minor
};

#define MIRVOL_CACHE_BLOCK 4096

struct cache_table {
  u8 data[MIRVOL_CACHE_BLOCK];
  s64 block_offset;  // -1 free
  u64 last_use;      // jiffies
  s64 in_use;
  s64 dirty;
  s32 owner_minor;  // -1 free
  struct semaphore *sig_sem;
  struct cache_table *next;
};

// The mirror disks, in the order of nmp_minor.
struct mirvol_disk_entry {
  struct gendisk *disk;
  struct request_queue *queue;
};

// Driver-wide settings (command 101).
struct driver_adj {
  u32 mirvolperf;            // 0 or 1
  u32 printkperf;            // 0 or 1
  u32 barrier_check_method;  // 0 or 1
  u32 barrier_log_level;
  u32 queue_limits_method;   // 0 to 3
  u32 limits_log_flag;
};
extern struct driver_adj g_driver_adj;

// Module parameters.
extern int nmp_minor[MIRVOL_MAX_NMP];
extern unsigned int minor_num;
extern int g_nmp_count;
extern int g_mirvol_major;

extern struct mirvol_disk_entry mirvol_disk[MIRVOL_MAX_NMP];
extern u64 my_disk[MIRVOL_MAX_MINOR + 1];
extern int g_max_minor;
extern int g_unloading;
extern u64 g_make_request_cnt, g_make_request_peak, g_make_request_max_cnt;
extern u32 mirvol_min_request_count, mirvol_max_request_count;
extern spinlock_t g_max_lock;  // guards the three request counters
extern int g_disk_error_action[4];
extern atomic_t g_disp_udev_msg;
extern int g_history_cache_delnum;
extern struct nmp_list g_nmp_list;
extern struct dcq_head g_dcq_head;
extern struct wait_ack2_queue_head g_wait_ack2_queue_head;
extern struct trans_table g_trans_table[MIRVOL_TRANS_TABLE_NUM];
extern struct table_control g_table_control;
extern struct wrbmp g_wrbmp;
extern struct semaphore *g_cache_sem;  // guards g_cachetable and g_cachenum
extern struct cache_table *g_cachetable;
extern int g_cachenum;
extern int g_max_cachenum;
extern struct semaphore g_proc_sem;  // status-file reads against their removal
extern wait_queue_head_t g_remote_wrbmp_wq, g_disk_error_wq;
extern struct nmp_thread_info g_disconnection_thread, g_local_bitmap_thread,
    g_disk_error_thread, g_remote_bitmap_thread;
extern int g_mirvol_shutdown;

// Walks of g_nmp_list that take no lock (the status files): devices are
// appended under nmp_list_lock and never removed while the module is
// loaded, so a reader sees each link either as it was or with a finished
// device appended.
static inline struct nmp_info *mirvol_nmp_first(void) {
  return smp_load_acquire(&g_nmp_list.head);
}
static inline struct nmp_info *mirvol_nmp_next(struct nmp_info *nmp) {
  return smp_load_acquire(&nmp->next);
}
