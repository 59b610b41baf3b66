#include <linux/sched.h>
#include <signal.h>
