// User space: processes with a 32-bit address space, the system calls an agent makes,
// and access to its own memory. Ordinary C++; never included by module code.
//
// Thread-safety: any number of threads may call into one process at once. A process
// must not be used once process_destroy has been called for it.
// Layout: areas are placed first-fit from 0x40000000 up to 0xC0000000 (then from
// 0x10000), page aligned, each followed by at least one unmapped guard page.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace machine {

struct Process;  // opaque

// A new process. The calling thread is not bound to it until process_enter.
Process* process_create(const std::string& name);
// Closes every descriptor and removes every mapping (releasing files whose last
// reference goes), then frees the process. Unbinds threads bound to it.
void process_destroy(Process* p);
// Binds the calling thread to p: kernel code it calls runs in p's process context
// (current->mm is p's address space). A thread is bound to at most one process; entering
// another replaces the binding. The sys_* calls and user_read/user_write do not need it:
// they run the driver in p's context for the length of the call whichever thread calls.
// A thread still bound when its process is destroyed is left with no process (its
// copies then reach nothing).
void process_enter(Process* p);
void process_leave();
Process* process_current();  // null when the thread is bound to none

// ---- the process's own memory ---------------------------------------------------------
// Anonymous zero-filled read/write memory at a fresh 32-bit address (page aligned); 0
// when len is 0 or there is no room. munmap removes it as well.
uint32_t user_alloc(Process* p, size_t len);
void user_free(Process* p, uint32_t addr);
// Makes [addr, addr+len) inaccessible / read-only / read-write (page granular) for tests.
void user_protect(Process* p, uint32_t addr, size_t len, bool readable, bool writable);
// The process reading/writing its own memory. Device mappings fault their pages in on
// first touch (vm_ops->nopage). Returns 0, or -EFAULT for an unmapped byte, or -EBUSERR
// (bus error: nopage gave no page); nothing is copied past the first bad byte.
constexpr int EBUSERR = 1000;
int user_read(Process* p, uint32_t addr, void* dst, size_t len);
int user_write(Process* p, uint32_t addr, const void* src, size_t len);
// Host pointer to [addr, addr+len) for zero-copy reading by the agent: the range must be
// readable and lie in one anonymous area, or in ONE page of a device mapping (device
// pages are separate kernel pages; every block of a transfer buffer lies in one page).
// Faults the page in first. Null otherwise or on a fault. Valid until the area is unmapped.
const uint8_t* user_map_view(Process* p, uint32_t addr, size_t len);

// ---- device nodes and system calls (negative errno on failure) --------------------------
// Nodes are global (shared by all processes) and never removed: 0, -EEXIST, -EINVAL.
int mknod_char(const std::string& path, unsigned major, unsigned minor);
// The lowest free descriptor; -ENOENT (no node), -ENXIO (no driver for the major),
// -ENODEV (its module is being unloaded), -EMFILE (1024 open), or the driver's open
// error (a positive one is reported as a kernel warning and gives -EINVAL).
int sys_open(Process* p, const std::string& path);
int sys_close(Process* p, int fd);
// The driver's result unchanged (small positive codes included); -EBADF, -ENOTTY.
long sys_ioctl(Process* p, int fd, unsigned int cmd, unsigned long arg);
long sys_read(Process* p, int fd, uint32_t buf, size_t count);
long sys_write(Process* p, int fd, uint32_t buf, size_t count);
// Ready events among `events` (POLLERR/POLLHUP always), without waiting; POLLNVAL for a
// bad descriptor, as poll(2) reports it.
int sys_poll(Process* p, int fd, short events);
// Maps len bytes of the device at offset; returns the 32-bit address, or a negative errno.
// A positive result of the driver's mmap is returned negated as well (-code).
// prot: PROT_READ/PROT_WRITE bits of <sys/mman.h>; shared: MAP_SHARED instead of
// MAP_PRIVATE (a write to a private mapping gets a private copy of the page).
// -EINVAL (len 0, offset not page aligned), -EBADF, -ENODEV (no mmap), -ENOMEM (no room).
int64_t sys_mmap(Process* p, size_t len, int prot, bool shared, int fd, uint64_t offset);
// Removes every area inside the range; areas go whole: one reaching outside the range
// gives -EINVAL and nothing is removed. 0 also when nothing was mapped there.
int sys_munmap(Process* p, uint32_t addr, size_t len);
int sys_dup(Process* p, int fd);

}  // namespace machine
