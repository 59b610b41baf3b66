/* kmalloc and slab caches. Every allocation is counted per kind (machine/kernel.h) and
 * may be failed by fault injection. Allocations with __GFP_WAIT may sleep. */
#ifndef _VK_LINUX_SLAB_H
#define _VK_LINUX_SLAB_H
#include <linux/gfp.h>
#include <linux/kernel.h>

void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void kfree(const void *p);

struct kmem_cache; /* opaque: name, object size, live-object count */
typedef struct kmem_cache kmem_cache_t;
#define SLAB_HWCACHE_ALIGN 0x2000ul
#define SLAB_CTOR_CONSTRUCTOR 0x001ul /* flag passed to ctor */
/* Returns the cache, or null (fault injection, bad arguments, or a live cache with the
 * same name: "kmem_cache_create: duplicate cache NAME"). The name is kept as given, not
 * copied, like the kernel: it must outlive the cache. May sleep. Objects are built by
 * ctor at every allocation and dtor runs at every free. */
kmem_cache_t *kmem_cache_create(const char *name, size_t size, size_t align, unsigned long flags,
                                void (*ctor)(void *, kmem_cache_t *, unsigned long),
                                void (*dtor)(void *, kmem_cache_t *, unsigned long));
void *kmem_cache_alloc(kmem_cache_t *cachep, gfp_t flags);
void kmem_cache_free(kmem_cache_t *cachep, void *objp);
/* Refuses loudly (log line, kernel warning, returns 1) while objects are live. 0 when destroyed. */
int kmem_cache_destroy(kmem_cache_t *cachep);
const char *kmem_cache_name(kmem_cache_t *cachep);
#endif
