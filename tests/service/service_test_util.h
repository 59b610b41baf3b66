// Helpers for the tests of `velloc serve` through the real binaries: a service process
// on a private socket, and a raw connection that speaks the protocol line by line.
#pragma once
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "live_test_util.h"

namespace servicetest {

using nlohmann::json;

extern const std::string kVelloc;

// `velloc serve IMAGES --socket SOCKET --test-writes`, waited for until it listens.
class ServiceProcess {
 public:
  ServiceProcess(const std::string& socket, const std::vector<std::string>& images, const std::string& scratch);
  ~ServiceProcess();  // SIGTERM, then SIGKILL after 20 s
  bool listening() const { return listening_; }
  pid_t pid() const { return child_->pid(); }
  livetest::Child& child() { return *child_; }
  // `velloc stop`, then waits for the exit status.
  int stop();

 private:
  std::unique_ptr<livetest::Child> child_;
  std::string socket_;
  bool listening_ = false;
};

// A connection to the control socket.
class Conn {
 public:
  explicit Conn(const std::string& socket);
  ~Conn();
  bool connected() const { return fd_ >= 0; }
  void sendRaw(const std::string& bytes);
  // The next line as JSON (discarded json on EOF or after `ms`).
  json readLine(int ms = 60000);
  // Sends a request and reads lines until the reply (events are skipped).
  json call(json request);
  void close();

 private:
  int fd_ = -1;
  std::string pending_;
};

// Runs velloc with the arguments; its exit status, standard output in *out.
int velloc(const std::vector<std::string>& args, std::string* out = nullptr);

}  // namespace servicetest
