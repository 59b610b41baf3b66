// The host services under the block layer and file systems: image files and the I/O
// engine's work queue (its threads, sleeping and host programs are host.h's). Nothing
// here knows about bios or disks; the block layer above turns these into kernel services.
//
// Every call states whether it blocks the calling host thread. None of them checks kernel
// context (might_sleep): the callers do that where the kernel would.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace blkhost {

// ---- image files ------------------------------------------------------------------------
// A byte range of caller memory for vectored transfers.
struct Seg {
  void* base;
  size_t len;
};

// Opens (create: also creates) a file read-write and takes an open-file-description write
// lock on all of it, released when the descriptor is closed. Returns the descriptor, or
// -errno with a message in *err (-EBUSY naming the holder when another open file holds
// the lock). Never blocks for long.
int file_open(const std::string& path, bool create, std::string* err);
void file_close(int fd);
// Size in bytes, or -errno.
int64_t file_size(int fd);
// Sets the size (sparse when growing). 0 or -errno.
int file_resize(int fd, uint64_t bytes);
// Transfers every byte of the segments at byte offset `off` (retrying short transfers).
// Returns 0, or -errno (-EIO when the file ends early). Blocks on the file.
int file_readv(int fd, const Seg* segs, int nsegs, uint64_t off);
int file_writev(int fd, const Seg* segs, int nsegs, uint64_t off);
// Forces written data to stable storage. 0 or -errno. Blocks.
int file_sync(int fd);
// Most segments one vectored call takes.
int max_segs();

// ---- work queue ------------------------------------------------------------------------
// A FIFO of (pointer, tag) items from any number of producers to engine threads, plugged
// in the manner of the kernel's request queues: a burst of items does not wake an engine
// thread, so that a producer about to wait can take the whole burst itself (wq_try_pop)
// without any thread switch. Engine threads get the burst when it holds `unplug_count`
// items, when kicked, or `plug_us` microseconds after a producer left it plugged (went to
// sleep, returned to user space or ended: wq_leave_plugs); a burst left by a thread that
// never does any of those goes to them at the engine's next re-check (every 10 ms).
// plug_us 0: no plugging.
struct Item {
  void* ptr;
  long tag;
};
struct WorkQueue;
// Null when the host has no timer or event descriptors left.
WorkQueue* wq_create(unsigned plug_us, size_t unplug_count);
// Appends an item. Any context; takes a host lock for a moment, never sleeps otherwise.
void wq_push(WorkQueue* q, Item it);
// Releases a plugged burst to the engine threads now. Any context.
void wq_kick(WorkQueue* q);
// Engine threads: moves up to `max` items (FIFO order) into `out`. Blocks until a burst is
// released or the queue is closed; returns 0 only when closed and empty.
size_t wq_pop(WorkQueue* q, Item* out, size_t max);
// Takes up to `max` queued items at once, plugged or not; never blocks on the plug.
size_t wq_try_pop(WorkQueue* q, Item* out, size_t max);
// Items queued and not yet popped.
size_t wq_pending(WorkQueue* q);
// The calling thread is about to sleep, return to user space or end: a burst it queued
// and left plugged gets its timer now. Any context; cheap when it left none.
void wq_leave_plugs();
// How often the plug timer was armed.
uint64_t wq_timer_arms(WorkQueue* q);
// Wakes every popper; pops drain what is left, then return 0.
void wq_close(WorkQueue* q);
// The queue must be closed and its threads joined.
void wq_destroy(WorkQueue* q);

}  // namespace blkhost
