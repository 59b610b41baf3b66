#include "live_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "machine/disk.h"
#include "velloc/agent/host_mounts.h"
#include "velloc/agent/image_builder.h"
#include "velloc/agent/live_mount.h"

extern char** environ;

namespace livetest {

std::string skipReason() {
  std::string r = velloc::agent::liveMachineProblems();
  for (const char* t : {"mkfs.ext4", "e2fsck"})
    if (!velloc::agent::haveTool(t)) r += (r.empty() ? "" : "; ") + std::string(t) + " not found (e2fsprogs)";
  return r.empty() ? r : "velloc live needs root, /dev/fuse and a free loop device: " + r;
}

double wallNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/velloc-live-test-XXXXXX";
  if (::mkdtemp(tmpl)) path_ = tmpl;
}

ScratchDir::~ScratchDir() {
  if (path_.empty()) return;
  if (anythingMountedUnder(path_)) {
    fprintf(stderr, "live test: leaving %s: something is still mounted in it\n", path_.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool anythingMountedUnder(const std::string& dir) {
  std::string want = velloc::agent::hostmounts::canonical(dir);
  std::ifstream in("/proc/self/mountinfo");
  std::string id, parent, devno, root, point, rest;
  while (in >> id >> parent >> devno >> root >> point) {
    std::getline(in, rest);
    if (point == want || point.rfind(want + "/", 0) == 0) return true;
  }
  return false;
}

std::string loopsBackedBy(const std::string& needle) {
  std::string found;
  for (int i = 0; i < 64; ++i) {
    std::string dev = "/dev/loop" + std::to_string(i);
    std::string file = velloc::agent::hostmounts::loopBackingFile(dev);
    if (!file.empty() && file.find(needle) != std::string::npos) found += dev + " (" + file + ") ";
  }
  return found;
}

std::string makeExt4Image(const std::string& path, uint64_t bytes) {
  const uint64_t start = 2048, sectors = bytes / 512 - start;
  int rc = machine::image_create(path, bytes, {{start, sectors}});
  if (rc) return "image_create failed: " + std::to_string(rc);
  std::string err;
  if (machine::image_mkfs_ext4(path, start, sectors, 4096, "", &err) != 0) return "mkfs.ext4 failed: " + err;
  return "";
}

Child::Child(const std::vector<std::string>& argv, const std::string& stdoutPath) {
  int pe[2];
  if (::pipe2(pe, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, pe[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int rc = posix_spawnp(&pid_, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(pe[1]);
  if (rc != 0) {
    pid_ = -1;
    ::close(pe[0]);
    return;
  }
  errFd_ = pe[0];
  reader_ = std::thread([this] {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(errFd_, buf, sizeof buf)) > 0) {
      std::lock_guard lk(mu_);
      err_.append(buf, size_t(n));
    }
    errClosed_ = true;
  });
}

Child::~Child() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait(10000);
  }
  if (reader_.joinable()) reader_.join();
  if (errFd_ >= 0) ::close(errFd_);
}

void Child::signal(int sig) {
  if (running()) ::kill(pid_, sig);
}

bool Child::running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st;
  pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
    return false;
  }
  return r == 0;
}

int Child::wait(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (running()) {
    if (std::chrono::steady_clock::now() > end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Its last words may still be in the pipe: read them before anyone looks.
  auto drained = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!errClosed_ && std::chrono::steady_clock::now() < drained)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return status_;
}

bool Child::waitForStderr(const std::string& needle, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (stderrText().find(needle) != std::string::npos) return true;
    if (errClosed_ || std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string Child::stderrText() {
  std::lock_guard lk(mu_);
  return err_;
}

int run(const std::vector<std::string>& argv, std::string* out) {
  std::string err;
  int rc = velloc::agent::runTool(argv, out, &err);
  if (out) *out += err;
  return rc;
}

}  // namespace livetest
