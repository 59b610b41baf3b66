#include <asm/semaphore.h>
