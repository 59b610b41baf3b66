#ifndef _VK_LINUX_HIGHMEM_H
#define _VK_LINUX_HIGHMEM_H
#include <linux/mm.h>
enum km_type {
  KM_BOUNCE_READ, KM_SKB_SUNRPC_DATA, KM_SKB_DATA_SOFTIRQ, KM_USER0, KM_USER1,
  KM_BIO_SRC_IRQ, KM_BIO_DST_IRQ, KM_PTE0, KM_PTE1, KM_IRQ0, KM_IRQ1, KM_SOFTIRQ0,
  KM_SOFTIRQ1, KM_TYPE_NR
};
/* Every page is addressable here, so mapping is only a context check: kmap may sleep,
 * kmap_atomic enters atomic context until kunmap_atomic. */
void *kmap(struct page *page); /* may sleep */
void kunmap(struct page *page);
void *kmap_atomic(struct page *page, int type);
void kunmap_atomic(void *addr, int type);
#endif
