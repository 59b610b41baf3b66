// Random bytes from the host's entropy source. Any context.
#include <linux/random.h>

#include "host/host.h"

void get_random_bytes(void* buf, int nbytes) {
  if (nbytes > 0) host::entropy(buf, size_t(nbytes));
}
