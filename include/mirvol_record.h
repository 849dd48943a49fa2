// Fields of a control record: little-endian values at fixed offsets of the
// kernel copy, read and written without alignment.
#pragma once

#include "platform/kernel.h"

static inline u16 rec_u16(const u8 *rec, unsigned int off) {
  u16 v;
  memcpy(&v, rec + off, sizeof(v));
  return v;
}
static inline u32 rec_u32(const u8 *rec, unsigned int off) {
  u32 v;
  memcpy(&v, rec + off, sizeof(v));
  return v;
}
static inline s32 rec_s32(const u8 *rec, unsigned int off) { return (s32)rec_u32(rec, off); }
static inline u64 rec_u64(const u8 *rec, unsigned int off) {
  u64 v;
  memcpy(&v, rec + off, sizeof(v));
  return v;
}
static inline void rec_put_u16(u8 *rec, unsigned int off, u16 v) { memcpy(rec + off, &v, sizeof(v)); }
static inline void rec_put_u32(u8 *rec, unsigned int off, u32 v) { memcpy(rec + off, &v, sizeof(v)); }
static inline void rec_put_s32(u8 *rec, unsigned int off, s32 v) { memcpy(rec + off, &v, sizeof(v)); }
