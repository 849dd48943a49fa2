// Fixed-width types and byte-order helpers for driver code.
//
// Driver code includes no POSIX or C library headers; everything it needs of
// the "kernel" comes from platform/. These are the usual kernel spellings.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;
typedef u32 dev_t_k;  // device number: major << 20 | minor
typedef u64 sector_t;
typedef s32 pid_t_k;

#define MINORBITS 20
#define MINORMASK ((1U << MINORBITS) - 1)
#define MAJOR(dev) ((unsigned int)((dev) >> MINORBITS))
#define MINOR(dev) ((unsigned int)((dev) & MINORMASK))
#define MKDEV(ma, mi) (((ma) << MINORBITS) | (mi))

static inline u16 cpu_to_be16(u16 v) { return __builtin_bswap16(v); }
static inline u32 cpu_to_be32(u32 v) { return __builtin_bswap32(v); }
static inline u64 cpu_to_be64(u64 v) { return __builtin_bswap64(v); }
static inline u16 be16_to_cpu(u16 v) { return __builtin_bswap16(v); }
static inline u32 be32_to_cpu(u32 v) { return __builtin_bswap32(v); }
static inline u64 be64_to_cpu(u64 v) { return __builtin_bswap64(v); }

#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
