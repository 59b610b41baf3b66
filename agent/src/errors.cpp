#include "velloc/agent/errors.h"

#include <cstring>

#include "velloc.h"

namespace velloc::agent {

const char* stateName(uint32_t state) {
  switch (state) {
    case stateIdle: return "stateIdle";
    case stateStarting: return "stateStarting";
    case stateStarted: return "stateStarted";
    case stateSnapshotComplete: return "stateSnapshotComplete";
    case stateLoadingMap: return "stateLoadingMap";
    case stateMapLoaded: return "stateMapLoaded";
    case stateClosing: return "stateClosing";
    case stateCacheReadError: return "stateCacheReadError";
    case stateMapLoadFailed: return "stateMapLoadFailed";
    case stateCacheExhausted: return "stateCacheExhausted";
    case stateOtherBackupOpen: return "stateOtherBackupOpen";
    case stateQueueOutOfMemory: return "stateQueueOutOfMemory";
    default: return "unknown state";
  }
}

std::string stateAdvice(uint32_t state, uint32_t cacheBlocks) {
  switch (state) {
    case stateCacheReadError:
      return "the device could not read the old contents of a block before it was overwritten, "
             "so the snapshot is lost: check the disk for read errors and run the backup again";
    case stateMapLoadFailed:
      return "the device could not load the map of blocks to copy: free kernel memory and run the "
             "backup again";
    case stateCacheExhausted:
      return "the copy-on-write cache filled up (limit " + std::to_string(cacheBlocks) +
             " blocks) while the partition was being written: raise --cache-blocks or drain more often";
    case stateOtherBackupOpen:
      return "another backup holds the device's backup slot: wait for it to finish";
    case stateQueueOutOfMemory:
      return "the kernel ran out of memory for holding writes, so the snapshot is lost: free memory "
             "and run the backup again";
    case stateClosing:
      return "the session is being closed";
    default:
      return {};
  }
}

std::string resultMessage(const std::string& command, int code, const std::string& what) {
  std::string head = command + " on " + what + " failed: ";
  if (code < 0) return head + "kernel error " + std::to_string(-code) + " (" + std::strerror(-code) + ")";
  switch (code) {
    case velErrNotInitialised:
      return head + "the module is not initialised or the disk's request queue is unknown (result 1); "
                    "reload the module";
    case velErrInvalid:
      return head + "the device refused the request in this state or with these arguments (result 2)";
    case velErrRefused:
      return head + "the partition's block size is unusable or the device refused (result 3)";
    case velErrUnknownCommand:
      return head + "the module does not know this command (result 4): agent and module versions differ";
    case velErrNoMemory:
      return head + "the kernel is out of memory (result 5); free memory or lower --cache-blocks";
    case velErrCopyFromUser:
      return head + "the module could not read the agent's memory (result 6)";
    case velErrCopyToUser:
      return head + "the module could not write to the agent's memory (result 7)";
    case velErrNoFileSystem:
      return head + "no mounted file system on it (result 8); mount it before backing it up";
    case velErrOtherBackupOpen:
      return head + "another backup is running (result 9); wait for it to finish";
    case velErrNotIdle:
      return head + "this handle already ran a session (result 11); open a new handle";
    case velErrReadError:
      return head + "the disk could not read some blocks (result 12); check the disk";
    default:
      return head + "unexpected result " + std::to_string(code);
  }
}

}  // namespace velloc::agent
