// LZSS compression of sync and recovery data.
//
// Stream format, shared by both servers: a ring of 4096 bytes whose positions
// 0..4077 start as zero bytes and whose first write is at 4078. A stream is a
// run of groups; each group is a flag byte, read from bit 0 upwards, followed
// by up to eight items. A 1 bit is a literal (one data byte); a 0 bit is a
// match of two bytes: byte 0 = bits 0..7 of an absolute ring position, byte 1
// = bits 8..11 of it in the high nibble and (length - 3) in the low nibble,
// so matches run from 3 to 18 bytes. Decoding a match copies the ring bytes
// at position + k one at a time, so it may overlap what it is producing. No
// header, terminator or checksum: a stream ends with its last byte, and every
// slice or segment is a stream of its own, starting again from the initial
// ring.
#pragma once

#include "include/mirvol_status.h"
#include "platform/kernel.h"

#define MIRVOL_LZSS_N 4096                              // ring size
#define MIRVOL_LZSS_F 18                                // longest match
#define MIRVOL_LZSS_THRESHOLD 2                         // longer strings are coded as matches
#define MIRVOL_LZSS_NIL MIRVOL_LZSS_N                   // link to no node
#define MIRVOL_LZSS_RING_SIZE (MIRVOL_LZSS_N + MIRVOL_LZSS_F - 1)  // 4113: compares never wrap
#define MIRVOL_LZSS_START (MIRVOL_LZSS_N - MIRVOL_LZSS_F)          // 4078: first write position

#define MIRVOL_COMPRESS_MAX_SLICES 8
#define MIRVOL_COMPRESS_THREAD_NAME "qdxmirvol"

// The encoder's state for one slice. Links are ring positions; NIL (4096) is
// a real entry that absorbs writes aimed at a missing node. Right-child entry
// 4097 + c is the root of the tree of strings that start with byte c.
struct compress_workspace {
  u8 ring[MIRVOL_LZSS_RING_SIZE];  // 4096..4112 repeat 0..16
  s32 parent[MIRVOL_LZSS_N + 1];
  s32 lchild[MIRVOL_LZSS_N + 1];
  s32 rchild[MIRVOL_LZSS_N + 257];
  s32 match_position;  // result of the last insert_node
  s32 match_length;
};

// One slice of a mirvol_compress call and its worker thread.
struct compress_instance {
  struct task_struct *task;     // set by the caller, cleared by the worker; under serialize
  struct completion started;    // the worker runs
  struct completion finished;   // the worker is done with this record's results
  struct mutex serialize;       // task and the hand-over of the results
  const u8 *in;                 // the slice's first input byte
  u64 in_len;
  u8 *out;                      // the slice's output area
  u64 capacity;                 // the slice's length; replaced by the bytes produced
  u32 compressed;               // 1 when the stream is complete and fits
};

// What became of one slice, in an array of the caller's.
struct compress_result {
  u64 in_len;         // the slice's length before compression
  u64 result_len;     // bytes of the slice's stream
  void *result_data;  // the slice's output area
  u32 compressed;     // 1 or 0
};

// Cuts `in` into `slices` slices (1, 2, 4 or 8; the last takes the
// remainder) and compresses them in parallel, one kernel thread per slice.
// Slice i reads from in + i * (len / slices) and writes at the same offset of
// `out`, which holds at least len bytes; a slice's stream may not grow past
// its own length. Returns 0 or STATUS_INVALID_PARAMETER, STATUS_NO_MEMORY,
// STATUS_FAILED. On 0, results[0..slices-1] describe the slices,
// *all_compressed is 1 only if every slice came out compressed, and *total is
// the sum of the result lengths (meaningful only when *all_compressed is 1).
// Sleeps until every worker has finished and left.
int mirvol_compress(const void *in, u64 len, void *out, u64 *total, u32 *all_compressed,
                    struct compress_result *results, u32 slices);

// Decodes one stream into out without writing more than `capacity` bytes.
// Returns 0 (also when the stream ends inside a group or a match),
// STATUS_INVALID_PARAMETER when the next item does not fit in the output, or
// STATUS_NO_MEMORY. When `produced` is given it receives the bytes written in
// every case: a receiver that expects a known size compares it, since a
// truncated stream still decodes with 0.
int mirvol_uncompress(void *out, u64 capacity, const void *in, u64 len, u64 *produced);

// The slice worker (a compress_instance), run as a kernel thread.
int mirvol_compress_thread(void *data);

// The match finder: put ring position r in its tree, leaving the longest
// earlier match in match_position/match_length; take position p out.
void insert_node(struct compress_workspace *ws, s32 r);
void delete_node(struct compress_workspace *ws, s32 p);
