// The mirror wire protocol: head encoding and the command and error texts.

#include "include/mirvol_protocol.h"

const struct mirvol_cmd_msg g_cmd_msg[] = {
    {CMD_WRITE_SYNC_DATA_OLD, ": Write sync data (old version)"},
    {CMD_ACK1, ": ACK1 of sync data"},
    {CMD_ACK2, ": ACK2 of ACK1"},
    {CMD_WRITE_RECOVERY_DATA_OLD, ": Write recovery data (old version)"},
    {CMD_RECOVERY_ACK, ": ACK of recovery data"},
    {CMD_STOP_SENDING_DATA, ": Stop sending data"},
    {CMD_NEGOTIATE, ": Negotiate mirror connection"},
    {CMD_WRITE_RECOVERY_DATA, ": Write recovery data"},
    {CMD_RECOVERY_SUB_HEADER, ": Sub-header of recovery data"},
    {CMD_WRITE_SYNC_DATA, ": Write sync data"},
    {CMD_WRITE_SYNC_DATA_3_14, ": Write sync data (For kernel 3.14 or later)"},
    {CMD_COMPRESSED_RECOVERY_SUB_HEADER, ": Sub-header of compressed recovery data"},
    {CMD_WRITE_COMPRESSED_SYNC_DATA, ": Write compressed sync data"},
    {CMD_WRITE_COMPRESSED_SYNC_DATA_3_14, ": Write compressed sync data (For kernel 3.14 or later)"},
    {CMD_HB_REQUEST, ": HB request"},
    {CMD_HB_RESPONSE, ": HB response"},
    {0xffff, "Unknown"},
};

const struct mirvol_err_msg g_err_msg[] = {
    {0, ": Disconnected normally by remote server"},
    {512, ": Signal received normally"},
    {61, ": No N/W available"},
    {104, ": Connection reset by remote server"},
    {62, ": MDC connection timed out"},
    {110, ": TCP connection timed out"},
    {99, ": Can not assign requested address"},
    {111, ": Connection refused"},
    {112, ": Host is down"},
    {113, ": No route to host"},
    {100, ": Network is down"},
    {11, ": Try again"},
    {12, ": Out of memory"},
    {13, ": Permission denied"},
    {14, ": Bad address"},
    {16, ": Device is busy"},
    {19, ": No such device"},
    {22, ": Invalid argument"},
    {28, ": No space left on device"},
    {90, ": Message too long"},
    {91, ": Protocol wrong type for socket"},
    {92, ": Protocol not available"},
    {93, ": Protocol not supported"},
    {94, ": Socket type not supported"},
    {95, ": Operation not supported on transport endpoint"},
    {96, ": Protocol family not supported"},
    {97, ": Address family not supported by protocol"},
    {98, ": Address already in use"},
    {101, ": Network is unreachable"},
    {102, ": Network dropped connection because of reset"},
    {103, ": Software caused connection abort"},
    {105, ": No buffer space available"},
    {106, ": Transport endpoint is already connected"},
    {107, ": Transport endpoint is not connected"},
    {108, ": Cannot send after transport endpoint shutdown"},
    {109, ": Too many references: cannot splice"},
    {-1, ""},
};

// --- big-endian fields ---

static void put_be16(u8 *p, u16 v) {
  p[0] = (u8)(v >> 8);
  p[1] = (u8)v;
}
static void put_be32(u8 *p, u32 v) {
  for (int i = 0; i < 4; i++) p[i] = (u8)(v >> (24 - 8 * i));
}
static void put_be64(u8 *p, u64 v) {
  for (int i = 0; i < 8; i++) p[i] = (u8)(v >> (56 - 8 * i));
}
static u16 get_be16(const u8 *p) { return (u16)((p[0] << 8) | p[1]); }
static u32 get_be32(const u8 *p) {
  return ((u32)p[0] << 24) | ((u32)p[1] << 16) | ((u32)p[2] << 8) | (u32)p[3];
}
static u64 get_be64(const u8 *p) { return ((u64)get_be32(p) << 32) | get_be32(p + 4); }

void mirvol_head_init(struct head_part *head, u32 cmd) {
  memset(head, 0, sizeof(*head));
  head->magic = MIRVOL_MAGIC;
  head->cmd = cmd;
}

void mirvol_head_encode(const struct head_part *head, u8 *wire) {
  put_be32(wire + 0, head->magic);
  put_be32(wire + 4, head->cmd);
  put_be64(wire + 8, head->start_sector);
  put_be64(wire + 16, head->end_sector);
  put_be64(wire + 24, head->request_id);
  put_be32(wire + 32, head->status);
  put_be32(wire + 36, head->length);
  put_be16(wire + 40, head->vec_count);
  put_be16(wire + 42, head->vec_index);
  memset(wire + 44, 0, MIRVOL_HEAD_RESERVED);
}

void mirvol_head_decode(const u8 *wire, struct head_part *head) {
  head->magic = get_be32(wire + 0);
  head->cmd = get_be32(wire + 4);
  head->start_sector = get_be64(wire + 8);
  head->end_sector = get_be64(wire + 16);
  head->request_id = get_be64(wire + 24);
  head->status = get_be32(wire + 32);
  head->length = get_be32(wire + 36);
  head->vec_count = get_be16(wire + 40);
  head->vec_index = get_be16(wire + 42);
}

void mirvol_short_msg_encode(u32 cmd, u8 *wire) {
  put_be32(wire, MIRVOL_MAGIC);
  put_be32(wire + 4, cmd);
}

void mirvol_short_msg_decode(const u8 *wire, u32 *magic, u32 *cmd) {
  *magic = get_be32(wire);
  *cmd = get_be32(wire + 4);
}

// --- texts ---

const char *mirvol_cmd(u64 code) {
  u32 swapped = __builtin_bswap32((u32)code);
  if (code == 0 || swapped == 0) return g_cmd_msg[0].text;
  const struct mirvol_cmd_msg *row = &g_cmd_msg[1];
  for (;; row++)
    if (row->code == code || row->code == swapped || row->code == 0xffff) return row->text;
}

const char *mirvol_err(s32 err) {
  // In 64 bits: the absolute value of the most negative s32 does not fit.
  s64 value = err < 0 ? -(s64)err : (s64)err;
  if (value == 0) return g_err_msg[0].text;
  const struct mirvol_err_msg *row = &g_err_msg[1];
  for (;; row++)
    if ((s64)row->err == value || row->err == -1) return row->text;
}
