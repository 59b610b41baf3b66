#ifndef _VK_LINUX_HIGHMEM_H
#define _VK_LINUX_HIGHMEM_H
#include <linux/mm.h>
void *kmap(struct page *page); /* may sleep */
void kunmap(struct page *page);
void *kmap_atomic(struct page *page, int type);
void kunmap_atomic(void *addr, int type);
#endif
