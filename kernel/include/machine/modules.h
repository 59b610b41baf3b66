// Loading and unloading the module linked into this program (its __this_module).
#pragma once
namespace machine {
// Runs the module's init function; 0, or its error (the module is then not loaded).
int module_load();
// Refuses (-EBUSY) while references are held; otherwise marks the module going, runs its
// exit function and returns 0. -ENOENT when it is not loaded.
int module_unload();
bool module_loaded();
}  // namespace machine
