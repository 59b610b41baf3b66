/*
 * vel-2.6.cpp - the version-specific half of module unload.
 */
#include "vellib.h"

/* Module unload for this kernel: everything is done by velUnload. Returns its result. */
int doModuleUnload(void) { return velUnload(); }
