// `velloc serve`: one stand-in machine with the module loaded, the disk images attached
// to it and their change tracking, kept for as long as the service runs. Clients drive
// it with requests of the control protocol (docs/service.md), one JSON object per line;
// this is the dispatcher those lines reach, whatever carried them.
//
// Thread safety: handle() may be called from any number of threads at once (one per
// client connection). The machine's state (attached disks, mounts, the running backup)
// is guarded by one mutex; backups run one at a time (the module has one backup slot)
// outside it, so status and list answer while a backup runs.
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velloc::service {

constexpr int kProtocolVersion = 1;
// A request line longer than this (without its newline) is refused.
constexpr size_t kMaxRequestBytes = 64 * 1024;

// The client a request came from.
struct Peer {
  // Sends one line (a JSON object, no newline); false when the client is gone.
  std::function<bool(const std::string&)> send;
  // True when the client has hung up (checked during long work); may be empty.
  std::function<bool()> gone;
  uid_t uid = 0;
  pid_t pid = 0;
};

struct ServiceOptions {
  // Receives the service's log lines for a person ("velloc serve: ...").
  std::function<void(const std::string&)> log;
  // Accept the `write` request (self-describing blocks written through the stand-in's
  // mount: a load and test aid that overwrites whatever the blocks held).
  bool testWrites = false;
  // Where repositories' locks are waited for, seconds.
  double repoLockWaitSeconds = 10;
};

class Service {
 public:
  explicit Service(ServiceOptions o);
  // Takes everything down (see shutdown()).
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Handles one request line: sends any events, then exactly one reply, through `peer`.
  // Never throws; a request that cannot be understood gets an error reply.
  void handle(const std::string& line, const Peer& peer);

  // Attaches an image, as the `attach` request does; returns the disk's name ("sda").
  // Throws agent::AgentError.
  std::string attach(const std::string& image);

  // Set by the `stop` request or a signal; a running backup is abandoned at its next
  // block run (its round is dropped, completed rounds stay).
  void requestStop();
  bool stopRequested() const;
  // Blocks until requestStop() was called.
  void waitForStop();

  // Waits for a running backup to end, then takes down every mount and detaches every
  // image (dropping its change tracking first). Safe to call twice.
  void shutdown();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velloc::service
