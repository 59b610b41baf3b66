// The service's control socket: a Unix stream socket, mode 0600, that only the
// service's own user and root may use (checked with the peer's credentials); one
// thread per connection reads request lines and hands them to the Service.
//
// Beside the socket, SOCKET.lock (flock, with the holder's pid) is held for the
// service's lifetime: a second service on the same path is refused naming the first,
// and a socket file left by a service that died is removed and replaced.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "velloc/service/service.h"

namespace velloc::service {

// $VELLOC_SOCKET; else /run/velloc/velloc.sock for root, $XDG_RUNTIME_DIR/velloc/velloc.sock
// (or /tmp/velloc-UID/velloc.sock) for anyone else.
std::string defaultSocketPath();

class ControlSocket {
 public:
  // Binds and listens at `path` (creating its directory, mode 0700, when missing).
  // Throws agent::AgentError: another service holds the path (naming its pid), the path
  // is something other than a socket, or the socket cannot be made.
  ControlSocket(Service& service, const std::string& path, std::function<void(const std::string&)> log);
  // Stops accepting, ends every connection (their requests finish first), removes the
  // socket and its lock file.
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Accepts connections on a thread of its own until the destructor.
  void start();
  const std::string& path() const { return path_; }

 private:
  struct Conn;
  void acceptLoop();
  void serve(const std::shared_ptr<Conn>& c);
  void log(const std::string& s) const {
    if (log_) log_("velloc serve: " + s);
  }
  Service& service_;
  std::string path_, lockPath_;
  std::function<void(const std::string&)> log_;
  int lockFd_ = -1, listenFd_ = -1, wakeRead_ = -1, wakeWrite_ = -1;
  std::atomic<bool> closing_{false};
  std::thread acceptor_;
  std::mutex mu_;  // guards conns_
  std::vector<std::shared_ptr<Conn>> conns_;
};

}  // namespace velloc::service
