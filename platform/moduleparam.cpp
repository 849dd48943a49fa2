// Module parameters: the registered table and the loader's argument parser.

#include "moduleparam.h"

#include <errno.h>
#include <limits.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "printk.h"
#include "moduleparam_host.h"

namespace {

// The longest text a charp parameter takes, as the kernel's loader.
constexpr size_t kCharpMax = 1024;

struct registered {
  struct kernel_param p;
  std::vector<unsigned char> initial;  // the variable's bytes at start-up
  unsigned int initial_num;
};

// Registration runs during static initialisation, before other units'
// globals may exist: everything here is made on first use and logs nothing.
struct registry {
  std::mutex mu;
  std::vector<registered> params;
  std::vector<std::string> duplicates;
  // The copies charp parameters point to, by the parameter's variable.
  std::map<void *, std::unique_ptr<char[]>> charp_copies;
  // Descriptions by parameter name; a unit may register one before or after
  // its parameter.
  std::map<std::string, std::string> descs;
};
registry &reg() {
  static auto *r = new registry;
  return *r;
}

size_t elem_size(enum kparam_type t) {
  switch (t) {
    case KPARAM_INT:
      return sizeof(int);
    case KPARAM_UINT:
      return sizeof(unsigned int);
    case KPARAM_LONG:
      return sizeof(long);
    case KPARAM_ULONG:
      return sizeof(unsigned long);
    case KPARAM_BOOL:
      return sizeof(bool);
    case KPARAM_CHARP:
      return sizeof(char *);
    case KPARAM_STRING:
      return 1;
  }
  return 0;
}

// Bytes of the parameter's storage.
size_t storage_size(const struct kernel_param &p) {
  if (p.type == KPARAM_STRING) return p.max;
  return elem_size(p.type) * (p.is_array ? p.max : 1);
}

bool name_eq(const char *a, const char *b, size_t blen) {
  size_t i = 0;
  for (; i < blen && a[i]; i++) {
    char x = a[i] == '-' ? '_' : a[i];
    char y = b[i] == '-' ? '_' : b[i];
    if (x != y) return false;
  }
  return i == blen && a[i] == 0;
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// An unsigned number with base 0x16, 0 (octal) or 10 by its prefix, and one
// optional trailing newline.
int parse_magnitude(const char *s, u64 *out) {
  unsigned base = 10;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && digit_value(s[2]) < 16) {
    base = 16;
    s += 2;
  } else if (s[0] == '0') {
    base = 8;
  }
  u64 v = 0;
  const char *start = s;
  for (; *s; s++) {
    int d = digit_value(*s);
    if (d >= (int)base) break;
    if (__builtin_mul_overflow(v, (u64)base, &v) || __builtin_add_overflow(v, (u64)d, &v))
      return -ERANGE;
  }
  if (s == start) return -EINVAL;
  if (*s == '\n') s++;
  if (*s) return -EINVAL;
  *out = v;
  return 0;
}

int parse_unsigned(const char *s, u64 max, u64 *out) {
  if (*s == '+') s++;
  u64 v;
  int err = parse_magnitude(s, &v);
  if (err) return err;
  if (v > max) return -ERANGE;
  *out = v;
  return 0;
}

int parse_signed(const char *s, s64 min, s64 max, s64 *out) {
  bool neg = *s == '-';
  if (neg || *s == '+') s++;
  u64 v;
  int err = parse_magnitude(s, &v);
  if (err) return err;
  if (neg) {
    if (v > (u64)(-(min + 1)) + 1) return -ERANGE;
    *out = v ? -(s64)(v - 1) - 1 : 0;
  } else {
    if (v > (u64)max) return -ERANGE;
    *out = (s64)v;
  }
  return 0;
}

int parse_bool(const char *s, bool *out) {
  switch (s[0]) {
    case 'y':
    case 'Y':
    case 't':
    case 'T':
    case '1':
      *out = true;
      return 0;
    case 'n':
    case 'N':
    case 'f':
    case 'F':
    case '0':
      *out = false;
      return 0;
    case 'o':
    case 'O':
      if (s[1] == 'n' || s[1] == 'N') {
        *out = true;
        return 0;
      }
      if (s[1] == 'f' || s[1] == 'F') {
        *out = false;
        return 0;
      }
      break;
  }
  return -EINVAL;
}

// Parses one numeric or bool value into dst.
int set_scalar(enum kparam_type t, void *dst, const char *val) {
  s64 sv;
  u64 uv;
  int err;
  switch (t) {
    case KPARAM_INT:
      if ((err = parse_signed(val, INT_MIN, INT_MAX, &sv))) return err;
      *static_cast<int *>(dst) = (int)sv;
      return 0;
    case KPARAM_UINT:
      if ((err = parse_unsigned(val, UINT_MAX, &uv))) return err;
      *static_cast<unsigned int *>(dst) = (unsigned int)uv;
      return 0;
    case KPARAM_LONG:
      if ((err = parse_signed(val, LONG_MIN, LONG_MAX, &sv))) return err;
      *static_cast<long *>(dst) = (long)sv;
      return 0;
    case KPARAM_ULONG:
      if ((err = parse_unsigned(val, ULONG_MAX, &uv))) return err;
      *static_cast<unsigned long *>(dst) = (unsigned long)uv;
      return 0;
    case KPARAM_BOOL:
      return parse_bool(val, static_cast<bool *>(dst));
    case KPARAM_CHARP:
    case KPARAM_STRING:
      break;
  }
  return -EINVAL;
}

int set_array(const struct kernel_param &p, const char *val) {
  size_t es = elem_size(p.type);
  if (p.type == KPARAM_CHARP || p.type == KPARAM_STRING || !p.max) return -EINVAL;
  std::vector<unsigned char> values(es * p.max);
  unsigned int n = 0;
  const char *s = val;
  for (;;) {
    const char *comma = strchr(s, ',');
    std::string one = comma ? std::string(s, (size_t)(comma - s)) : std::string(s);
    if (n == p.max) {
      printk(KERN_ERR "%s: can only take %u arguments\n", p.name, p.max);
      return -EINVAL;
    }
    int err = set_scalar(p.type, values.data() + es * n, one.c_str());
    if (err) return err;
    n++;
    if (!comma) break;
    s = comma + 1;
  }
  memcpy(p.arg, values.data(), es * n);
  if (p.num) *p.num = n;
  return 0;
}

int set_param(const struct kernel_param &p, const char *val) {
  if (!val) {
    // Only a bool takes a bare name.
    if (p.type == KPARAM_BOOL && !p.is_array) {
      *static_cast<bool *>(p.arg) = true;
      return 0;
    }
    return -EINVAL;
  }
  if (p.is_array) return set_array(p, val);
  if (p.type == KPARAM_STRING) {
    size_t len = strlen(val);
    if (len + 1 > p.max) return -ENOSPC;
    memcpy(p.arg, val, len + 1);
    return 0;
  }
  if (p.type == KPARAM_CHARP) {
    size_t len = strlen(val);
    if (len > kCharpMax) return -ENOSPC;
    std::unique_ptr<char[]> copy(new char[len + 1]);
    memcpy(copy.get(), val, len + 1);
    registry &r = reg();
    std::lock_guard<std::mutex> g(r.mu);
    *static_cast<char **>(p.arg) = copy.get();
    r.charp_copies[p.arg] = std::move(copy);
    return 0;
  }
  return set_scalar(p.type, p.arg, val);
}

}  // namespace

void module_param_register(const struct kernel_param *p) {
  registry &r = reg();
  std::lock_guard<std::mutex> g(r.mu);
  for (auto &e : r.params) {
    if (name_eq(e.p.name, p->name, strlen(p->name))) {
      r.duplicates.emplace_back(p->name);
      return;
    }
  }
  registered e;
  e.p = *p;
  const auto *bytes = static_cast<const unsigned char *>(p->arg);
  e.initial.assign(bytes, bytes + storage_size(*p));
  e.initial_num = p->num ? *p->num : 0;
  r.params.push_back(std::move(e));
}

int module_params_parse_table(const struct kernel_param *params, unsigned int num, int argc,
                              const char *const *argv, const char *doing) {
  for (int i = 0; i < argc; i++) {
    const char *arg = argv[i];
    if (!arg || !*arg) continue;
    const char *eq = strchr(arg, '=');
    size_t name_len = eq ? (size_t)(eq - arg) : strlen(arg);
    const char *val = eq ? eq + 1 : nullptr;

    const struct kernel_param *p = nullptr;
    for (unsigned int k = 0; k < num && !p; k++)
      if (name_eq(params[k].name, arg, name_len)) p = &params[k];
    std::string name(arg, name_len);
    if (!p) {
      printk(KERN_ERR "%s: Unknown parameter `%s'\n", doing, name.c_str());
      return -ENOENT;
    }
    int err = set_param(*p, val);
    if (err == -ENOSPC) {
      printk(KERN_ERR "%s: `%s' too large for parameter `%s'\n", doing, val ? val : "",
             name.c_str());
      return err;
    }
    if (err) {
      printk(KERN_ERR "%s: `%s' invalid for parameter `%s'\n", doing, val ? val : "",
             name.c_str());
      return err;
    }
  }
  return 0;
}

int module_params_parse(int argc, const char *const *argv, const char *doing) {
  registry &r = reg();
  std::vector<struct kernel_param> table;
  {
    std::lock_guard<std::mutex> g(r.mu);
    for (auto &d : r.duplicates)
      printk(KERN_ERR "%s: parameter `%s' is declared twice\n", doing, d.c_str());
    if (!r.duplicates.empty()) return -EINVAL;
    for (auto &e : r.params) table.push_back(e.p);
  }
  return module_params_parse_table(table.data(), (unsigned int)table.size(), argc, argv, doing);
}

void module_param_desc_register(const char *name, const char *desc) {
  registry &r = reg();
  std::lock_guard<std::mutex> g(r.mu);
  r.descs[name] = desc;
}

void module_params_for_each(void (*fn)(const struct kernel_param *p, const char *desc, void *ctx),
                            void *ctx) {
  registry &r = reg();
  std::vector<std::pair<struct kernel_param, const char *>> list;
  {
    std::lock_guard<std::mutex> g(r.mu);
    for (auto &e : r.params) {
      auto d = r.descs.find(e.p.name);
      list.emplace_back(e.p, d == r.descs.end() ? nullptr : d->second.c_str());
    }
  }
  // The descriptions are never removed, so their texts outlive the lock.
  for (auto &[p, desc] : list) fn(&p, desc, ctx);
}

void module_params_reset(void) {
  registry &r = reg();
  std::lock_guard<std::mutex> g(r.mu);
  for (auto &e : r.params) {
    if (!e.initial.empty()) memcpy(e.p.arg, e.initial.data(), e.initial.size());
    if (e.p.num) *e.p.num = e.initial_num;
    r.charp_copies.erase(e.p.arg);
  }
}
