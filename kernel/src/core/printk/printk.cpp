// printk: formats into a 1024-byte buffer like the kernel's printk_buf (longer messages
// are cut), then logs one record per line. A line's level is its own leading "<N>"
// (N a digit 0-7), else the default 4. A message that does not end in a newline still
// makes its record at once: the stand-in does not join continuation lines, since
// records from concurrent threads would interleave.
//
// Thread-safety: any context; the formatting buffer is on the caller's stack.
#include <linux/kernel.h>

#include <cstdio>
#include <cstring>

#include "src/core/printk/log.h"

namespace {
constexpr int kDefaultLevel = 4;
constexpr size_t kPrintkBuf = 1024;
}  // namespace

int vprintk(const char* fmt, va_list args) {
  char buf[kPrintkBuf];
  int n = vsnprintf(buf, sizeof buf, fmt, args);
  if (n < 0) return 0;
  size_t len = size_t(n) < sizeof buf ? size_t(n) : sizeof buf - 1;
  int printed = 0;
  size_t pos = 0;
  while (pos < len) {
    const char* line = buf + pos;
    const char* nl = static_cast<const char*>(memchr(line, '\n', len - pos));
    size_t line_len = nl ? size_t(nl - line) : len - pos;
    pos += line_len + (nl ? 1 : 0);
    int level = kDefaultLevel;
    if (line_len >= 3 && line[0] == '<' && line[1] >= '0' && line[1] <= '7' && line[2] == '>') {
      level = line[1] - '0';
      line += 3;
      line_len -= 3;
    }
    vk::log_append(level, line, line_len);
    printed += int(line_len) + (nl ? 1 : 0);
  }
  return printed;
}

int printk(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vprintk(fmt, ap);
  va_end(ap);
  return n;
}
