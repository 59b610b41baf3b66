// Running host programs (mkfs, debugfs, losetup) for the image helpers and the agent's
// host side.
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "host/host.h"

extern char** environ;

namespace host {

std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  std::string dirs = getenv("PATH") ? getenv("PATH") : "";
  dirs += ":/usr/local/sbin:/usr/sbin:/sbin:/usr/bin:/bin";
  size_t pos = 0;
  while (pos <= dirs.size()) {
    size_t end = dirs.find(':', pos);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(pos, end - pos);
    pos = end + 1;
    if (dir.empty()) continue;
    std::string p = dir + "/" + name;
    struct stat st;
    if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

namespace {

// Reads both pipes to the end without letting either fill up (a program blocked on a
// full stderr would never finish its stdout).
void drain(int outFd, int errFd, std::string* out, std::string* err) {
  char buf[65536];
  bool o = true, e = true;
  while (o || e) {
    fd_set rs;
    FD_ZERO(&rs);
    if (o) FD_SET(outFd, &rs);
    if (e) FD_SET(errFd, &rs);
    if (::select(std::max(outFd, errFd) + 1, &rs, nullptr, nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (o && FD_ISSET(outFd, &rs)) {
      ssize_t n = ::read(outFd, buf, sizeof buf);
      if (n <= 0) o = false; else if (out) out->append(buf, size_t(n));
    }
    if (e && FD_ISSET(errFd, &rs)) {
      ssize_t n = ::read(errFd, buf, sizeof buf);
      if (n <= 0) e = false; else if (err) err->append(buf, size_t(n));
    }
  }
}

}  // namespace

int run_program(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  if (argv.empty()) return -EINVAL;
  std::string exe = find_program(argv[0]);
  if (exe.empty()) return -ENOENT;
  int po[2], pe[2];
  if (::pipe2(po, O_CLOEXEC) != 0) return -errno;
  if (::pipe2(pe, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(po[0]);
    ::close(po[1]);
    return -e;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, po[1], 1);
  posix_spawn_file_actions_adddup2(&fa, pe[1], 2);
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(po[1]);
  ::close(pe[1]);
  if (rc != 0) {
    ::close(po[0]);
    ::close(pe[0]);
    return -rc;
  }
  drain(po[0], pe[0], out, err);
  ::close(po[0]);
  ::close(pe[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -errno;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace host
