/* Lock classes for lock-order checking. Every lock carries the class of the place that
 * initialised it: the lock's expression and that file and line, one string literal per
 * site. All locks initialised at one site (the buckets of a table, say) share the class,
 * so an order between two classes learnt from one pair of locks holds for every pair.
 * A lock that was only zero-filled has no class and is not checked. */
#ifndef _VK_LINUX_LOCKDEP_H
#define _VK_LINUX_LOCKDEP_H

#define __LOCK_STR2(x) #x
#define __LOCK_STR(x) __LOCK_STR2(x)
#ifdef __FILE_NAME__
#define __LOCK_FILE __FILE_NAME__
#else
#define __LOCK_FILE __FILE__
#endif
/* "name at file.cpp:123", the class key of a lock initialised here. */
#define __LOCK_CLASS(name) name " at " __LOCK_FILE ":" __LOCK_STR(__LINE__)
#endif
