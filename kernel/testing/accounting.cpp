// Live-object accounting: one counter per kind of object the stand-in hands out. The
// counters are the leak check of every test: after the module unloads, nothing it
// allocated may be left.
//
// Thread-safety: per-thread counters (src/core/lib/thread_counters.h), since every bio,
// buffer head and allocation is counted; any thread, any context.
#include <string>

#include "machine/kernel.h"
#include "src/core/lib/thread_counters.h"

namespace machine {

namespace {
struct LiveTag;
using Live = vk::ThreadCounters<LiveTag, size_t(Obj::count)>;
}

const char* obj_name(Obj k) {
  static const char* const names[] = {"kmalloc", "vmalloc",   "page", "slab_cache",   "slab_object",
                                      "bio",     "buffer_head", "kthread", "file", "vma",
                                      "block_device", "super_ref"};
  static_assert(sizeof names / sizeof names[0] == size_t(Obj::count));
  int i = int(k);
  return i >= 0 && i < int(Obj::count) ? names[i] : "?";
}

int64_t live(Obj k) {
  int i = int(k);
  return i >= 0 && i < int(Obj::count) ? Live::sum(size_t(i)) : 0;
}

void live_add(Obj k, int64_t delta) {
  int i = int(k);
  if (i >= 0 && i < int(Obj::count)) Live::add(size_t(i), delta);
}

std::string live_report() {
  std::string out;
  for (int i = 0; i < int(Obj::count); ++i) {
    int64_t n = Live::sum(size_t(i));
    if (n == 0) continue;
    if (!out.empty()) out += ", ";
    out += obj_name(Obj(i));
    out += "=";
    out += std::to_string(n);
  }
  return out;
}

bool nothing_live() {
  for (int i = 0; i < int(Obj::count); ++i)
    if (Live::sum(size_t(i)) != 0) return false;
  return true;
}

}  // namespace machine
