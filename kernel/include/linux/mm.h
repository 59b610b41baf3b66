/* Pages and memory areas. A page is plain data with a reference count and 4096 bytes
 * of host memory; it is freed when its last reference goes. */
#ifndef _VK_LINUX_MM_H
#define _VK_LINUX_MM_H
#include <linux/gfp.h>
#include <linux/kernel.h>
#include <asm/atomic.h>
#include <asm/page.h>

/* Thread-safety: _count changes only with atomics; the other fields are fixed while the
 * page is allocated. Only the head page of a block carries the allocation's reference. */
struct page {
  atomic_t _count;     /* references; the page is freed when it drops to 0 */
  unsigned long flags;
  unsigned int order;  /* of the block this head page starts */
  void *virt;          /* kernel (host) address of the page's bytes */
};

/* Returns the first page of 2^order contiguous pages with one reference, or null. */
struct page *alloc_pages(gfp_t gfp_mask, unsigned int order);
#define alloc_page(gfp_mask) alloc_pages(gfp_mask, 0)
unsigned long __get_free_pages(gfp_t gfp_mask, unsigned int order);
#define __get_free_page(gfp_mask) __get_free_pages((gfp_mask), 0)
unsigned long get_zeroed_page(gfp_t gfp_mask);
void free_pages(unsigned long addr, unsigned int order);
#define free_page(addr) free_pages((addr), 0)
/* Drops one reference to each page of the block; frees it at zero. */
void __free_pages(struct page *page, unsigned int order);
#define __free_page(page) __free_pages((page), 0)
void get_page(struct page *page);
void put_page(struct page *page);
int page_count(struct page *page);
void *page_address(struct page *page);
struct page *virt_to_page(const void *addr); /* for addresses inside pages from alloc_pages */

struct file;
struct mm_struct;
struct vm_area_struct;

struct vm_operations_struct {
  void (*open)(struct vm_area_struct *area);
  void (*close)(struct vm_area_struct *area);
  /* Returns the page (carrying a reference for the mapping) or NOPAGE_SIGBUS (null). */
  struct page *(*nopage)(struct vm_area_struct *area, unsigned long address, int *type);
};

struct vm_area_struct {
  struct mm_struct *vm_mm;
  unsigned long vm_start; /* first byte, a 32-bit user address */
  unsigned long vm_end;   /* first byte after the area */
  unsigned long vm_flags;
  unsigned long vm_pgoff; /* offset in the file, in pages */
  struct file *vm_file;
  struct vm_operations_struct *vm_ops;
  void *vm_private_data;
};

#define VM_READ 0x00000001
#define VM_WRITE 0x00000002
#define VM_EXEC 0x00000004
#define VM_SHARED 0x00000008
#define VM_MAYREAD 0x00000010
#define VM_MAYWRITE 0x00000020
#define VM_MAYSHARE 0x00000080
#define VM_IO 0x00004000
#define VM_RESERVED 0x00080000
#define NOPAGE_SIGBUS ((struct page *)0)
#define NOPAGE_OOM ((struct page *)(-1))
#define VM_FAULT_MINOR 1
#endif
