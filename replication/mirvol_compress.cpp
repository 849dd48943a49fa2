// LZSS encoder and decoder. The encoder cuts a buffer into up to eight
// slices and compresses them at once, one short-lived kernel thread per
// slice; the decoder turns one stream back into bytes within a bound.

#include "include/mirvol_compress.h"

#include "include/mirvol_open.h"

#define RING_MASK (MIRVOL_LZSS_N - 1)

// --- match finder ---
//
// One binary search tree per first byte holds the strings starting at every
// ring position; inserting a position descends its tree once and remembers
// the longest match met on the way.

void insert_node(struct compress_workspace *ws, s32 r) {
  const u8 *key = &ws->ring[r];
  s32 p = MIRVOL_LZSS_N + 1 + key[0];
  int cmp = 1;

  ws->rchild[r] = ws->lchild[r] = MIRVOL_LZSS_NIL;
  ws->match_length = 0;
  for (;;) {
    if (cmp >= 0) {
      if (ws->rchild[p] == MIRVOL_LZSS_NIL) {
        ws->rchild[p] = r;
        ws->parent[r] = p;
        return;
      }
      p = ws->rchild[p];
    } else {
      if (ws->lchild[p] == MIRVOL_LZSS_NIL) {
        ws->lchild[p] = r;
        ws->parent[r] = p;
        return;
      }
      p = ws->lchild[p];
    }

    s32 i;
    cmp = 0;
    for (i = 1; i < MIRVOL_LZSS_F; i++) {
      cmp = (int)key[i] - (int)ws->ring[p + i];
      if (cmp != 0) break;
    }
    // Strictly longer only: of two equal lengths the node met first stays.
    if (i > ws->match_length) {
      ws->match_position = p;
      ws->match_length = i;
      if (i >= MIRVOL_LZSS_F) break;
    }
  }

  // The whole key matched: r takes p's place, p leaves the tree (it is the
  // older copy of the same string).
  ws->parent[r] = ws->parent[p];
  ws->lchild[r] = ws->lchild[p];
  ws->rchild[r] = ws->rchild[p];
  ws->parent[ws->lchild[p]] = r;
  ws->parent[ws->rchild[p]] = r;
  if (ws->rchild[ws->parent[p]] == p)
    ws->rchild[ws->parent[p]] = r;
  else
    ws->lchild[ws->parent[p]] = r;
  ws->parent[p] = MIRVOL_LZSS_NIL;
}

void delete_node(struct compress_workspace *ws, s32 p) {
  s32 q;

  if (ws->parent[p] == MIRVOL_LZSS_NIL) return;  // not in a tree
  if (ws->rchild[p] == MIRVOL_LZSS_NIL) {
    q = ws->lchild[p];
  } else if (ws->lchild[p] == MIRVOL_LZSS_NIL) {
    q = ws->rchild[p];
  } else {
    q = ws->lchild[p];
    if (ws->rchild[q] != MIRVOL_LZSS_NIL) {
      // The rightmost node of the left subtree replaces p.
      do {
        q = ws->rchild[q];
      } while (ws->rchild[q] != MIRVOL_LZSS_NIL);
      ws->rchild[ws->parent[q]] = ws->lchild[q];
      ws->parent[ws->lchild[q]] = ws->parent[q];
      ws->lchild[q] = ws->lchild[p];
      ws->parent[ws->lchild[p]] = q;
    }
    ws->rchild[q] = ws->rchild[p];
    ws->parent[ws->rchild[p]] = q;
  }
  ws->parent[q] = ws->parent[p];
  // A tree root (4097 + c) has only a right child, so a root parent always
  // takes the first branch and the left-child array is never indexed past NIL.
  if (ws->rchild[ws->parent[p]] == p)
    ws->rchild[ws->parent[p]] = q;
  else
    ws->lchild[ws->parent[p]] = q;
  ws->parent[p] = MIRVOL_LZSS_NIL;
}

// --- encoder ---

// Codes one slice as one stream. Returns 1 when the stream is complete and
// fits in `capacity`, else 0; *produced is the bytes written to out either
// way. The bound is checked per whole group, so a group is never split.
static u32 lzss_encode(struct compress_workspace *ws, const u8 *in, u64 in_len, u8 *out,
                       u64 capacity, u64 *produced) {
  u8 group[1 + 8 * 2];  // flag byte and up to eight items of at most two bytes
  u32 used = 1;
  u8 mask = 1;
  u64 written = 0;
  u64 next = 0;  // next input byte
  s32 r = MIRVOL_LZSS_START;
  s32 s = 0;
  s32 len, i;

  for (i = MIRVOL_LZSS_N + 1; i <= MIRVOL_LZSS_N + 256; i++) ws->rchild[i] = MIRVOL_LZSS_NIL;
  for (i = 0; i < MIRVOL_LZSS_N; i++) ws->parent[i] = MIRVOL_LZSS_NIL;
  // The whole ring, not only 0..4077: the look-ahead beyond a short input
  // and the mirror at 4096.. are compared too, so leftover bytes there would
  // make the output depend on the allocator.
  memset(ws->ring, 0, sizeof(ws->ring));
  group[0] = 0;

  for (len = 0; len < MIRVOL_LZSS_F && next < in_len; len++) ws->ring[r + len] = in[next++];
  // The zeros before the first write position can be referred to at once.
  for (i = 1; i <= MIRVOL_LZSS_F; i++) insert_node(ws, r - i);
  insert_node(ws, r);

  while (len > 0) {
    if (ws->match_length > len) ws->match_length = len;
    if (ws->match_length <= MIRVOL_LZSS_THRESHOLD) {
      ws->match_length = 1;
      group[0] |= mask;
      group[used++] = ws->ring[r];
    } else {
      group[used++] = (u8)(ws->match_position & 0xff);
      group[used++] =
          (u8)(((ws->match_position >> 4) & 0xf0) | (ws->match_length - (MIRVOL_LZSS_THRESHOLD + 1)));
    }
    mask = (u8)(mask << 1);
    if (mask == 0) {
      if (written + used > capacity) {
        *produced = written;
        return 0;
      }
      memcpy(out + written, group, used);
      written += used;
      group[0] = 0;
      used = 1;
      mask = 1;
    }

    // Slide the window by the length just coded; insert_node overwrites
    // match_length, so keep it.
    s32 coded = ws->match_length;
    for (i = 0; i < coded && next < in_len; i++) {
      u8 c = in[next++];
      delete_node(ws, s);
      ws->ring[s] = c;
      if (s < MIRVOL_LZSS_F - 1) ws->ring[s + MIRVOL_LZSS_N] = c;
      s = (s + 1) & RING_MASK;
      r = (r + 1) & RING_MASK;
      insert_node(ws, r);
    }
    // The input has run out: the look-ahead shrinks.
    for (; i < coded; i++) {
      delete_node(ws, s);
      s = (s + 1) & RING_MASK;
      r = (r + 1) & RING_MASK;
      if (--len > 0) insert_node(ws, r);
    }
  }

  if (used > 1) {
    if (written + used > capacity) {
      *produced = written;
      return 0;
    }
    memcpy(out + written, group, used);
    written += used;
  }
  *produced = written;
  return 1;
}

// The worker of one slice.
int mirvol_compress_thread(void *data) {
  struct compress_instance *ci = static_cast<struct compress_instance *>(data);
  struct compress_workspace *ws;
  u64 produced = 0;
  u32 compressed = 0;

  allow_signal(SIGTERM);
  complete(&ci->started);

  if (ci->in_len > 0) {
    ws = static_cast<struct compress_workspace *>(mirvol_loop_kmalloc(sizeof(*ws)));
    if (!ws) {
      mirvol_printk(MIRVOL_ERR "Failed to allocate structure to compress.\n", 145);
    } else {
      compressed = lzss_encode(ws, ci->in, ci->in_len, ci->out, ci->capacity, &produced);
      kfree(ws);
    }
  }

  mutex_lock(&ci->serialize);
  ci->capacity = produced;
  ci->compressed = compressed;
  ci->task = nullptr;
  mutex_unlock(&ci->serialize);
  // Nothing of *ci is touched after this: the caller may read and free it.
  complete(&ci->finished);
  return 0;
}

// Waits for a started worker to finish, joins its thread and drops the
// caller's reference to it.
static void compress_reap_worker(struct compress_instance *ci, struct task_struct *task) {
  wait_for_completion(&ci->finished);
  kthread_join(task);
  put_task_struct(task);
}

int mirvol_compress(const void *in, u64 len, void *out, u64 *total, u32 *all_compressed,
                    struct compress_result *results, u32 slices) {
  struct compress_instance *instance;
  struct task_struct *workers[MIRVOL_COMPRESS_MAX_SLICES];
  const u8 *src = static_cast<const u8 *>(in);
  u8 *dst = static_cast<u8 *>(out);
  u64 slice_size;
  u32 i;

  if (!total || !all_compressed || !results) return STATUS_INVALID_PARAMETER;
  *total = 0;
  *all_compressed = 0;
  if (slices != 1 && slices != 2 && slices != 4 && slices != 8) return STATUS_INVALID_PARAMETER;
  memset(results, 0, sizeof(*results) * slices);
  if (len > 0 && (!in || !out)) return STATUS_INVALID_PARAMETER;

  instance = static_cast<struct compress_instance *>(mirvol_kmalloc(sizeof(*instance) * slices));
  if (!instance) return STATUS_NO_MEMORY;

  slice_size = len / slices;
  for (i = 0; i < slices; i++) {
    struct compress_instance *ci = &instance[i];

    ci->task = nullptr;
    ci->in = src + i * slice_size;
    ci->in_len = (i == slices - 1) ? len - (u64)(slices - 1) * slice_size : slice_size;
    ci->out = dst + i * slice_size;
    ci->capacity = ci->in_len;
    ci->compressed = 0;
    init_completion(&ci->started);
    init_completion(&ci->finished);
    mutex_init(&ci->serialize);

    // Created held, so the task is stored before the worker can clear it.
    workers[i] = kthread_create(mirvol_compress_thread, ci, MIRVOL_COMPRESS_THREAD_NAME);
    if (!workers[i]) {
      // The workers already running use their records: let them finish.
      while (i-- > 0) compress_reap_worker(&instance[i], workers[i]);
      kfree(instance);
      return STATUS_FAILED;
    }
    // Ours until joined: the task may not be freed once it has left.
    get_task_struct(workers[i]);
    mutex_lock(&ci->serialize);
    ci->task = workers[i];
    mutex_unlock(&ci->serialize);
    wake_up_process(workers[i]);
    wait_for_completion(&ci->started);
  }

  *all_compressed = 1;
  for (i = 0; i < slices; i++) {
    struct compress_instance *ci = &instance[i];

    compress_reap_worker(ci, workers[i]);
    mutex_lock(&ci->serialize);
    results[i].in_len = ci->in_len;
    results[i].result_len = ci->capacity;
    results[i].result_data = ci->out;
    results[i].compressed = ci->compressed;
    mutex_unlock(&ci->serialize);
    if (!results[i].compressed) *all_compressed = 0;
    *total += results[i].result_len;
  }

  kfree(instance);
  return 0;
}

// --- decoder ---

int mirvol_uncompress(void *out, u64 capacity, const void *in, u64 len, u64 *produced) {
  u8 *dst = static_cast<u8 *>(out);
  const u8 *src = static_cast<const u8 *>(in);
  const u8 *end = src + len;
  u64 written = 0;
  u32 flags = 0;  // the flag byte, with 0xff00 above it to count its bits
  s32 r = MIRVOL_LZSS_START;
  int result = 0;
  u8 *ring;

  if (produced) *produced = 0;
  if ((!out && capacity > 0) || (!in && len > 0)) return STATUS_INVALID_PARAMETER;

  ring = static_cast<u8 *>(mirvol_loop_kmalloc(MIRVOL_LZSS_RING_SIZE));
  if (!ring) {
    mirvol_printk(MIRVOL_ERR "Failed to allocate text buffer to uncompress.\n", 145);
    return STATUS_NO_MEMORY;
  }
  // All of it: a foreign stream may refer to 4078..4095 before writing
  // there, and must not copy leftover memory into the data.
  memset(ring, 0, MIRVOL_LZSS_RING_SIZE);

  for (;;) {
    flags >>= 1;
    if ((flags & 0x100) == 0) {
      if (src == end) break;
      flags = *src++ | 0xff00;
    }
    if (flags & 1) {
      if (src == end) break;
      if (written >= capacity) {
        result = STATUS_INVALID_PARAMETER;
        break;
      }
      u8 c = *src++;
      dst[written++] = c;
      ring[r] = c;
      r = (r + 1) & RING_MASK;
    } else {
      if (end - src < 2) break;
      s32 pos = src[0] | ((src[1] & 0xf0) << 4);
      u32 mlen = (u32)(src[1] & 0x0f) + MIRVOL_LZSS_THRESHOLD + 1;
      src += 2;
      if (written + mlen > capacity) {
        result = STATUS_INVALID_PARAMETER;
        break;
      }
      // Byte by byte through the ring: the match may read what it writes.
      for (u32 k = 0; k < mlen; k++) {
        u8 c = ring[(pos + (s32)k) & RING_MASK];
        dst[written++] = c;
        ring[r] = c;
        r = (r + 1) & RING_MASK;
      }
    }
  }

  kfree(ring);
  if (produced) *produced = written;
  return result;
}
