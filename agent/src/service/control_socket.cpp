#include "control_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "protocol.h"
#include "velloc/agent/errors.h"

namespace velloc::service {

using agent::AgentError;

namespace {

std::string sysError(const std::string& what) { return what + ": " + std::strerror(errno); }

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path)
    throw AgentError("socket path " + path + " is longer than " + std::to_string(sizeof a.sun_path - 1) + " bytes");
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  return a;
}

// True when something accepts connections at `path`.
bool someoneListens(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un a = addressOf(path);
  bool yes = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return yes;
}

long pidIn(int fd) {
  char buf[32] = {};
  ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  return n > 0 ? std::strtol(buf, nullptr, 10) : 0;
}

}  // namespace

std::string defaultSocketPath() {
  if (const char* env = std::getenv("VELLOC_SOCKET"); env && *env) return env;
  if (::geteuid() == 0) return "/run/velloc/velloc.sock";
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) return std::string(xdg) + "/velloc/velloc.sock";
  return "/tmp/velloc-" + std::to_string(::geteuid()) + "/velloc.sock";
}

struct ControlSocket::Conn {
  int fd = -1;
  uid_t uid = 0;
  pid_t pid = 0;
  std::mutex sendMu;
  std::thread thread;
  std::atomic<bool> done{false};
  bool send(const std::string& line) {
    std::lock_guard<std::mutex> g(sendMu);
    std::string s = line + "\n";
    size_t off = 0;
    while (off < s.size()) {
      ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      off += size_t(n);
    }
    return true;
  }
  bool gone() const {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
  }
};

ControlSocket::ControlSocket(Service& service, const std::string& path, std::function<void(const std::string&)> logTo)
    : service_(service), path_(path), lockPath_(path + ".lock"), log_(std::move(logTo)) {
  addressOf(path_);  // the length check, before anything is made
  std::string dir = std::filesystem::path(path_).parent_path().string();
  if (!dir.empty()) {
    struct stat st;
    if (::stat(dir.c_str(), &st) != 0) {
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      if (ec) throw AgentError("cannot create " + dir + ": " + ec.message());
      ::chmod(dir.c_str(), 0700);
    }
  }
  lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0) throw AgentError(sysError("cannot open " + lockPath_));
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    long pid = pidIn(lockFd_);
    ::close(lockFd_);
    lockFd_ = -1;
    throw AgentError("another velloc serve" + (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                     " is running on " + path_ + "; stop it first (velloc stop) or choose another --socket");
  }
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lockFd_, 0) != 0 || ::pwrite(lockFd_, pid.data(), pid.size(), 0) != ssize_t(pid.size()))
    log("cannot record this service's pid in " + lockPath_);

  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      ::close(lockFd_);
      throw AgentError(path_ + " exists and is not a socket; remove it or choose another --socket");
    }
    if (someoneListens(path_)) {
      ::close(lockFd_);
      throw AgentError("a service is already listening on " + path_ + "; stop it first or choose another --socket");
    }
    ::unlink(path_.c_str());
    log("removed the stale socket " + path_ + " of a service that is gone");
  }
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a = addressOf(path_);
  mode_t old = ::umask(0177);
  int rc = listenFd_ < 0 ? -1 : ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::umask(old);
  if (rc != 0 || ::chmod(path_.c_str(), 0600) != 0 || ::listen(listenFd_, 16) != 0) {
    std::string e = sysError("cannot listen on " + path_);
    if (listenFd_ >= 0) ::close(listenFd_);
    ::close(lockFd_);
    throw AgentError(e);
  }
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    ::close(listenFd_);
    ::unlink(path_.c_str());
    ::close(lockFd_);
    throw AgentError(sysError("cannot make a pipe"));
  }
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
}

ControlSocket::~ControlSocket() {
  closing_ = true;
  if (wakeWrite_ >= 0 && ::write(wakeWrite_, "x", 1) < 0) {
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::shared_ptr<Conn>> conns;
  {
    std::lock_guard<std::mutex> g(mu_);
    conns.swap(conns_);
  }
  for (auto& c : conns) ::shutdown(c->fd, SHUT_RDWR);
  for (auto& c : conns) {
    if (c->thread.joinable()) c->thread.join();
    ::close(c->fd);
  }
  ::close(listenFd_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
  ::unlink(path_.c_str());
  ::unlink(lockPath_.c_str());
  ::close(lockFd_);
}

void ControlSocket::start() {
  acceptor_ = std::thread([this] { acceptLoop(); });
}

void ControlSocket::acceptLoop() {
  while (!closing_) {
    pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      log(sysError("poll of the control socket failed"));
      return;
    }
    if (closing_ || (p[1].revents & POLLIN)) return;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
      ::close(fd);
      continue;
    }
    c->uid = cred.uid;
    c->pid = cred.pid;
    std::lock_guard<std::mutex> g(mu_);
    // Connections that ended are reaped here, so a long-lived service keeps no threads.
    for (auto it = conns_.begin(); it != conns_.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        ::close((*it)->fd);
        it = conns_.erase(it);
      } else {
        ++it;
      }
    }
    conns_.push_back(c);
    c->thread = std::thread([this, c] {
      serve(c);
      c->done = true;
    });
  }
}

void ControlSocket::serve(const std::shared_ptr<Conn>& c) {
  if (c->uid != ::geteuid() && c->uid != 0) {
    log("refused a client of uid " + std::to_string(c->uid) + " (pid " + std::to_string(c->pid) + ")");
    c->send(replyError(nullptr, "permission denied: uid " + std::to_string(c->uid) +
                                    " is neither the service's owner (uid " + std::to_string(::geteuid()) +
                                    ") nor root"));
    ::shutdown(c->fd, SHUT_RDWR);
    return;
  }
  Peer peer;
  peer.send = [c](const std::string& line) { return c->send(line); };
  peer.gone = [c] { return c->gone(); };
  peer.uid = c->uid;
  peer.pid = c->pid;
  std::string pending;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(c->fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    pending.append(buf, size_t(n));
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
      std::string line = pending.substr(start, nl - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) service_.handle(line, peer);
    }
    pending.erase(0, start);
    if (pending.size() > kMaxRequestBytes) {
      // No way to find where this request ends without reading all of it: the
      // connection is closed after the refusal.
      c->send(replyError(nullptr, "request longer than " + std::to_string(kMaxRequestBytes) +
                                      " bytes without a newline; closing the connection"));
      ::shutdown(c->fd, SHUT_RDWR);
      return;
    }
  }
}

}  // namespace velloc::service
