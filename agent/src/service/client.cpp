#include "client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "velloc/agent/errors.h"

namespace velloc::service {

using agent::AgentError;
using nlohmann::json;

Client::Client(const std::string& socketPath) : path_(socketPath) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path_.size() >= sizeof a.sun_path) throw AgentError("socket path " + path_ + " is too long");
  std::memcpy(a.sun_path, path_.c_str(), path_.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw AgentError(std::string("cannot make a socket: ") + std::strerror(errno));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    int e = errno;
    ::close(fd_);
    fd_ = -1;
    if (e == ENOENT || e == ECONNREFUSED)
      throw AgentError("no velloc service is listening on " + path_ + " (start one with velloc serve, or give --socket)");
    throw AgentError("cannot connect to the velloc service at " + path_ + ": " + std::strerror(e));
  }
}

Client::~Client() {
  if (fd_ >= 0) ::close(fd_);
}

json Client::readLine() {
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      json j = json::parse(line, nullptr, false);
      if (j.is_discarded() || !j.is_object()) throw AgentError("the service sent a line that is not a JSON object");
      return j;
    }
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw AgentError("the velloc service at " + path_ + " closed the connection before answering");
    pending_.append(buf, size_t(n));
  }
}

json Client::call(const std::string& op, json fields, const std::function<void(const json&)>& onEvent) {
  const int id = nextId_++;
  json req = std::move(fields);
  req["v"] = 1;
  req["id"] = id;
  req["op"] = op;
  std::string line = req.dump() + "\n";
  for (size_t off = 0; off < line.size();) {
    ssize_t n = ::send(fd_, line.data() + off, line.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A service that refuses a connection says why before it closes it.
      json refusal;
      try {
        refusal = readLine();
      } catch (const AgentError&) {
      }
      if (refusal.is_object() && refusal.contains("error")) throw AgentError(refusal["error"].get<std::string>());
      throw AgentError("the velloc service at " + path_ + " closed the connection");
    }
    off += size_t(n);
  }
  for (;;) {
    json j = readLine();
    if (j.contains("event")) {
      if (onEvent) onEvent(j);
      continue;
    }
    if (j.value("ok", false)) return j;
    throw AgentError(j.value("error", std::string("the service refused the request")));
  }
}

}  // namespace velloc::service
