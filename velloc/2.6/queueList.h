/*
 * queueList.h - an entry of the registry of request queues whose make-request
 * function the module has replaced.
 */
#ifndef _VEL_QUEUELIST_H
#define _VEL_QUEUELIST_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/blkdev.h>

/*
 * QueueList: one intercepted request queue, with the devices intercepted through it
 * (a list of DevList) and the function the queue had before the module first replaced it.
 *
 * Locking: the registry's users gate (queueListUsers / queueListUsersLock). Readers walk
 * the list after entering the gate; a writer closes it with waitForQueueListUsers and
 * changes nodes, devList and the list links while holding queueListUsersLock. The
 * queue's own make_request_fn slot is read and written under the queue's queue_lock,
 * taken inside the gate. Nodes are kmalloc'ed before the gate is closed and freed only
 * by the writer that unlinks them.
 */
typedef struct QueueList {
  request_queue_t *rQueue;      /* the intercepted queue; never null in a listed node. gate */
  make_request_fn *realMRF;     /* queue's function before the first replacement. gate */
  struct list_head devList;     /* DevList entries of the devices on this queue. gate */
  struct list_head list;        /* link in queueListHead, creation order. gate */
} QueueList;

#endif /* _VEL_QUEUELIST_H */
