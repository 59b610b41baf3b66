#include "service_test_util.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace servicetest {

const std::string kVelloc = VELLOC_BINARY;

ServiceProcess::ServiceProcess(const std::string& socket, const std::vector<std::string>& images,
                               const std::string& scratch)
    : socket_(socket) {
  std::vector<std::string> argv = {kVelloc, "serve", "--socket", socket, "--test-writes"};
  argv.insert(argv.end(), images.begin(), images.end());
  child_ = std::make_unique<livetest::Child>(argv, scratch + "/serve-" + std::to_string(::getpid()) + ".out");
  listening_ = child_->waitForStderr("listening on", 60000);
}

ServiceProcess::~ServiceProcess() {
  if (child_->running()) {
    child_->signal(SIGTERM);
    if (child_->wait(20000) < 0) child_->signal(SIGKILL);
  }
}

int ServiceProcess::stop() {
  velloc({"stop", "--socket", socket_});
  return child_->wait(60000);
}

Conn::Conn(const std::string& socket) {
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, socket.c_str(), sizeof a.sun_path - 1);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) close();
}

Conn::~Conn() { close(); }

void Conn::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void Conn::sendRaw(const std::string& bytes) {
  for (size_t off = 0; off < bytes.size();) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += size_t(n);
  }
}

json Conn::readLine(int ms) {
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return json::parse(line, nullptr, false);
    }
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return json(json::value_t::discarded);
    char buf[4096];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return json(json::value_t::discarded);
    pending_.append(buf, size_t(n));
  }
}

json Conn::call(json request) {
  if (!request.contains("v")) request["v"] = 1;
  sendRaw(request.dump() + "\n");
  for (;;) {
    json j = readLine();
    if (j.is_discarded() || !j.contains("event")) return j;
  }
}

int velloc(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv = {kVelloc};
  argv.insert(argv.end(), args.begin(), args.end());
  return livetest::run(argv, out);
}

}  // namespace servicetest
