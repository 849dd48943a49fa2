// Module parameters: variables the module loader sets from "name=value"
// arguments before the module's init runs.
//
// A unit declares its parameters at namespace scope:
//   static int nmp_minor[64];
//   static unsigned int minor_num;
//   module_param_array(nmp_minor, int, &minor_num, 0600);
//   int g_mirvol_major = 218;
//   module_param(g_mirvol_major, int, 0);
// Each declaration registers the parameter when the program starts. The
// variable's type must match the named type (int, uint, long, ulong, bool,
// charp); module_param_string() names a char buffer of the given size.
//
// Values: decimal, hexadecimal with 0x, octal with a leading 0, a sign for
// the signed types, one trailing newline. An array takes comma-separated
// values, at most its size, and its count variable gets how many were given.
// bool takes y/n, 1/0, on/off, or no value (true). A string parameter that
// does not fit its buffer is refused (-ENOSPC). A charp parameter points to
// a copy the platform keeps.
#pragma once

#include "types.h"
#include "vfs.h"  // umode_t

enum kparam_type {
  KPARAM_INT,
  KPARAM_UINT,
  KPARAM_LONG,
  KPARAM_ULONG,
  KPARAM_BOOL,
  KPARAM_CHARP,
  KPARAM_STRING,
};

struct kernel_param {
  const char *name;
  enum kparam_type type;
  void *arg;          // the variable; an array's first element; a string's buffer
  unsigned int max;   // array elements, or string buffer size; 0 for a scalar
  unsigned int *num;  // where an array's element count goes (may be null)
  bool is_array;
  umode_t perm;  // kept for the record; nothing is shown in sysfs
};

// Typed constructors: a mismatched variable type does not compile.
#define KPARAM_SCALAR_(tname, ctype, kind)                                               \
  static inline struct kernel_param kparam_##tname(const char *name, ctype *v, umode_t perm) { \
    return {name, kind, v, 0, nullptr, false, perm};                                     \
  }                                                                                      \
  static inline struct kernel_param kparam_array_##tname(const char *name, ctype *first,   \
                                                         unsigned int max, unsigned int *num, \
                                                         umode_t perm) {                 \
    return {name, kind, first, max, num, true, perm};                                    \
  }
KPARAM_SCALAR_(int, int, KPARAM_INT)
KPARAM_SCALAR_(uint, unsigned int, KPARAM_UINT)
KPARAM_SCALAR_(long, long, KPARAM_LONG)
KPARAM_SCALAR_(ulong, unsigned long, KPARAM_ULONG)
KPARAM_SCALAR_(bool, bool, KPARAM_BOOL)
#undef KPARAM_SCALAR_
static inline struct kernel_param kparam_charp(const char *name, char **v, umode_t perm) {
  return {name, KPARAM_CHARP, v, 0, nullptr, false, perm};
}
static inline struct kernel_param kparam_string(const char *name, char *buf, unsigned int size,
                                                umode_t perm) {
  return {name, KPARAM_STRING, buf, size, nullptr, false, perm};
}
template <typename T, unsigned int N>
constexpr unsigned int kparam_array_size(T (&)[N]) {
  return N;
}

// Adds a parameter to the module's table; done by the declarations below.
void module_param_register(const struct kernel_param *p);
struct kernel_param_registrar {
  explicit kernel_param_registrar(const struct kernel_param &p) { module_param_register(&p); }
};

#define module_param_named(name, var, type, perm) \
  static kernel_param_registrar kparam_registrar_##name(kparam_##type(#name, &(var), (perm)))
#define module_param(name, type, perm) module_param_named(name, name, type, perm)
#define module_param_array_named(name, array, type, nump, perm)                               \
  static kernel_param_registrar kparam_registrar_##name(kparam_array_##type(                 \
      #name, &(array)[0], kparam_array_size(array), (nump), (perm)))
#define module_param_array(name, type, nump, perm) \
  module_param_array_named(name, name, type, nump, perm)
#define module_param_string(name, string, len, perm) \
  static kernel_param_registrar kparam_registrar_##name(  \
      kparam_string(#name, (string), (len), (perm)))
// A one-line description of a parameter, as `modinfo` would show it; the
// host prints it in its help. Written beside the parameter's declaration.
void module_param_desc_register(const char *name, const char *desc);
struct kernel_param_desc_registrar {
  kernel_param_desc_registrar(const char *name, const char *desc) {
    module_param_desc_register(name, desc);
  }
};
#define MODULE_PARM_DESC(name, desc) \
  static kernel_param_desc_registrar kparam_desc_registrar_##name(#name, "" desc)
