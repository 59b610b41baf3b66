// Live-object accounting: one counter per kind of object the stand-in hands out. The
// counters are the leak check of every test: after the module unloads, nothing it
// allocated may be left.
//
// Thread-safety: plain atomic counters; any thread, any context.
#include <atomic>
#include <string>

#include "machine/kernel.h"

namespace machine {

namespace {
std::atomic<int64_t> g_live[int(Obj::count)];
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
  return i >= 0 && i < int(Obj::count) ? g_live[i].load() : 0;
}

void live_add(Obj k, int64_t delta) {
  int i = int(k);
  if (i >= 0 && i < int(Obj::count)) g_live[i].fetch_add(delta);
}

std::string live_report() {
  std::string out;
  for (int i = 0; i < int(Obj::count); ++i) {
    int64_t n = g_live[i].load();
    if (n == 0) continue;
    if (!out.empty()) out += ", ";
    out += obj_name(Obj(i));
    out += "=";
    out += std::to_string(n);
  }
  return out;
}

bool nothing_live() {
  for (auto& c : g_live)
    if (c.load() != 0) return false;
  return true;
}

}  // namespace machine
