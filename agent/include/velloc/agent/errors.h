// What the agent tells a person when the device says no: every result code and error
// state becomes one sentence naming what happened and what to do about it.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

namespace velloc::agent {

// A failure the agent cannot work around. what() is the one-line message for the user.
class AgentError : public std::runtime_error {
 public:
  explicit AgentError(const std::string& msg, int code = 0, uint32_t state = 0)
      : std::runtime_error(msg), code_(code), state_(state) {}
  int code() const { return code_; }        // device result (0 when not from the device)
  uint32_t state() const { return state_; }  // session state when it was read, else 0
 private:
  int code_;
  uint32_t state_;
};

// Name of a session state ("stateCacheExhausted") and of a command ("doReadBlocks").
const char* stateName(uint32_t state);

// Why a session in `state` can do no more, and what to do; `cacheBlocks` is the cache
// limit the backup was started with. Empty for working states (up to stateMapLoaded).
std::string stateAdvice(uint32_t state, uint32_t cacheBlocks);

// The message for result `code` of command `command` (a name such as "doStartBackup"),
// `what` naming the object ("partition sda1"). Negative codes are kernel errors.
std::string resultMessage(const std::string& command, int code, const std::string& what);

}  // namespace velloc::agent
