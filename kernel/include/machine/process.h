// User space: processes with a 32-bit address space, the system calls an agent makes,
// and access to its own memory. Ordinary C++; never included by module code.
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
// (current->mm is p's address space). A thread is bound to at most one process.
void process_enter(Process* p);
void process_leave();
Process* process_current();

// ---- the process's own memory ---------------------------------------------------------
// Anonymous read/write memory at a fresh 32-bit address (page aligned); 0 when full.
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
// Host pointer to an already faulted-in page-aligned run of a device mapping, for
// zero-copy reading by the agent (faults the pages in first). Null on a fault.
const uint8_t* user_map_view(Process* p, uint32_t addr, size_t len);

// ---- device nodes and system calls (negative errno on failure) --------------------------
int mknod_char(const std::string& path, unsigned major, unsigned minor);
int sys_open(Process* p, const std::string& path);
int sys_close(Process* p, int fd);
long sys_ioctl(Process* p, int fd, unsigned int cmd, unsigned long arg);
long sys_read(Process* p, int fd, uint32_t buf, size_t count);
long sys_write(Process* p, int fd, uint32_t buf, size_t count);
int sys_poll(Process* p, int fd, short events);  // returned events
// Maps len bytes of the device at offset; returns the 32-bit address, or a negative errno.
// A positive result of the driver's mmap is returned negated as well (-code).
// prot: PROT_READ/PROT_WRITE bits; shared: MAP_SHARED instead of MAP_PRIVATE.
int64_t sys_mmap(Process* p, size_t len, int prot, bool shared, int fd, uint64_t offset);
int sys_munmap(Process* p, uint32_t addr, size_t len);
int sys_dup(Process* p, int fd);

}  // namespace machine
