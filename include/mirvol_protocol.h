// The mirror wire protocol: the 56-byte head that begins every message, the
// 8-byte negotiation and heartbeat messages, the command codes, and the texts
// that log lines append for commands and error results.
//
// Every integer on the wire is big-endian. Senders fill a head_part in host
// order and encode it into the 56 wire bytes; receivers decode the 56 bytes
// into a head_part. The 12 reserved bytes are sent as zero and ignored on
// receipt.
#pragma once

#include "platform/kernel.h"

#define MIRVOL_MAGIC 0x25609513U

#define MIRVOL_HEAD_PART_SIZE 56
#define MIRVOL_SHORT_MSG_SIZE 8
#define MIRVOL_HEAD_RESERVED 12

// Command codes.
#define CMD_WRITE_SYNC_DATA_OLD 0
#define CMD_ACK1 1
#define CMD_ACK2 2
#define CMD_WRITE_RECOVERY_DATA_OLD 3
#define CMD_RECOVERY_ACK 4
#define CMD_STOP_SENDING_DATA 7
#define CMD_NEGOTIATE 8
#define CMD_WRITE_RECOVERY_DATA 12
#define CMD_RECOVERY_SUB_HEADER 13
#define CMD_WRITE_SYNC_DATA 14
#define CMD_COMPRESSED_RECOVERY_SUB_HEADER 15
#define CMD_WRITE_COMPRESSED_SYNC_DATA 16
#define CMD_WRITE_SYNC_DATA_3_14 17
#define CMD_WRITE_COMPRESSED_SYNC_DATA_3_14 18
#define CMD_HB_REQUEST 200
#define CMD_HB_RESPONSE 201

// One head, in host order. Fields a command does not use are zero.
struct head_part {
  u32 magic;
  u32 cmd;
  u64 start_sector;
  u64 end_sector;  // inclusive
  u64 request_id;
  u32 status;
  u32 length;
  u16 vec_count;
  u16 vec_index;
};

// A head of the given command with the magic set and every other field zero.
void mirvol_head_init(struct head_part *head, u32 cmd);
// Writes the 56 wire bytes of the head (reserved bytes zero).
void mirvol_head_encode(const struct head_part *head, u8 *wire);
// Reads a head from its 56 wire bytes; the reserved bytes are not read.
void mirvol_head_decode(const u8 *wire, struct head_part *head);

// The 8-byte messages: the magic and a command (negotiation 8, HB request
// 200, HB response 201).
void mirvol_short_msg_encode(u32 cmd, u8 *wire);
void mirvol_short_msg_decode(const u8 *wire, u32 *magic, u32 *cmd);

// Command and error texts, as log lines append them after "cmd=%lu" and
// "err=%d".
struct mirvol_cmd_msg {
  u32 code;
  const char *text;
};
struct mirvol_err_msg {
  s32 err;
  const char *text;
};
extern const struct mirvol_cmd_msg g_cmd_msg[];
extern const struct mirvol_err_msg g_err_msg[];

// The text of a command code; a code still in wire order is found too.
// "Unknown" for a code not in the table.
const char *mirvol_cmd(u64 code);
// The text of an error result, looked up by its absolute value; the empty
// text for a number not in the table.
const char *mirvol_err(s32 err);
