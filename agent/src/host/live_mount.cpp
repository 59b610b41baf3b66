// Setting up and taking down a live mount: FUSE file, loop device, host ext4; and the
// record each run keeps so that a later run can take down what a dead one left.
#include "velloc/agent/live_mount.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "../fileutil.h"
#include "velloc/agent/host_mounts.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/image_builder.h"
#include "live/fuse_disk.h"
#include "live/host_fs_freeze.h"

namespace velloc::agent {

namespace {

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
  return s;
}

// Runs a tool; "" on success, else its message (standard error, or the exit status).
std::string run(const std::vector<std::string>& argv) {
  std::string out, err;
  int rc = runTool(argv, &out, &err);
  if (rc == 0) return "";
  err = trim(err.empty() ? out : err);
  return err.empty() ? argv[0] + " exited with status " + std::to_string(rc) : err;
}

using State = std::map<std::string, std::string>;

State readState(const std::string& dir) {
  State s;
  std::ifstream in(dir + "/state");
  std::string line;
  while (std::getline(in, line)) {
    size_t sp = line.find(' ');
    if (sp != std::string::npos) s[line.substr(0, sp)] = line.substr(sp + 1);
  }
  return s;
}

// Removes a run's record; the FUSE directory must no longer be a mount point.
void removeStateDir(const std::string& dir) {
  ::unlink((dir + "/state").c_str());
  ::unlink((dir + "/state.tmp").c_str());
  ::rmdir((dir + "/disk").c_str());
  ::rmdir(dir.c_str());
}

bool processAlive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Ends the FUSE connection behind mount point `fuse` (fusectl's abort): every request
// of it fails at once from then on, so that no thaw, unmount or detach after it can
// wait for a server that is gone. True when there was one to abort.
bool abortFuseConnection(const std::string& fuse) {
  struct stat st;
  if (!hostmounts::isMountPoint(fuse) || ::stat(fuse.c_str(), &st) != 0) return false;
  std::ofstream abort("/sys/fs/fuse/connections/" + std::to_string(minor(st.st_dev)) + "/abort");
  if (!abort) return false;
  abort << "1\n";
  return bool(abort.flush());
}

// Takes down one dead run's leftovers, in the order a live run would. What to take down
// is found from the system, not only from the record, since a run can die between a
// step and its record: every loop device on a file of the run's FUSE directory, and
// whatever is mounted from those devices. False when something stays.
bool cleanupRun(const std::string& dir, std::ostream& log) {
  State s = readState(dir);
  const std::string fuse = s.count("fuse") ? s["fuse"] : dir + "/disk";
  const std::string who = "velloc live: cleaning up after run " + s["pid"] + ": ";
  if (abortFuseConnection(fuse)) log << who << "aborted the FUSE connection of " << fuse << "\n";
  for (const std::string& loop : hostmounts::loopsBackedUnder(fuse)) {
    std::vector<std::string> points = hostmounts::mountPointsOf(loop);
    for (auto it = points.rbegin(); it != points.rend(); ++it) {
      if (machine::HostFsFreezer::thawPath(*it) == 0) log << who << "thawed " << *it << "\n";
      std::string e = run({"umount", *it});
      if (!e.empty()) e = run({"umount", "-l", *it});
      if (!e.empty()) {
        log << who << "cannot unmount " << *it << ": " << e << "\n";
        return false;
      }
      log << who << "unmounted " << *it << "\n";
    }
    if (std::string e = run({"losetup", "-d", loop}); !e.empty()) {
      log << who << "cannot detach " << loop << ": " << e << "\n";
      return false;
    }
    log << who << "detached " << loop << "\n";
  }
  if (hostmounts::isMountPoint(fuse)) {
    // The server is gone with its process: nothing can be lost by a lazy unmount.
    std::string e = run({"umount", "-l", fuse});
    if (!e.empty()) {
      log << who << "cannot unmount " << fuse << ": " << e << "\n";
      return false;
    }
    log << who << "unmounted " << fuse << "\n";
  }
  removeStateDir(dir);
  return true;
}

}  // namespace

std::string liveStateRoot() {
  const char* env = std::getenv("VELLOC_LIVE_STATE_DIR");
  return env && *env ? env : "/run/velloc-live";
}

std::string liveMachineProblems() {
  std::vector<std::string> p;
  if (::geteuid() != 0) p.push_back("not running as root");
  struct stat st;
  if (::stat("/dev/fuse", &st) != 0 || !S_ISCHR(st.st_mode)) {
    p.push_back("/dev/fuse is missing");
  } else {
    int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fd < 0) p.push_back(std::string("/dev/fuse cannot be opened: ") + std::strerror(errno));
    else ::close(fd);
  }
  bool tools = true;
  for (const char* t : {"losetup", "mount", "umount"})
    if (!haveTool(t)) {
      p.push_back(std::string(t) + " not found (util-linux)");
      tools = false;
    }
  if (tools && ::geteuid() == 0) {
    std::string out, err;
    if (runTool({"losetup", "-f"}, &out, &err) != 0 || trim(out).empty())
      p.push_back("no free loop device" + (trim(err).empty() ? std::string() : " (" + trim(err) + ")"));
  }
  std::string joined;
  for (size_t i = 0; i < p.size(); ++i) joined += (i ? "; " : "") + p[i];
  return joined;
}

void requireLiveMachine() {
  std::string p = liveMachineProblems();
  if (!p.empty()) throw AgentError("velloc live needs root, /dev/fuse and a free loop device: " + p);
}

int cleanupDeadLiveRuns(std::ostream& log) {
  const std::string root = liveStateRoot();
  DIR* d = ::opendir(root.c_str());
  if (!d) return 0;
  std::vector<std::string> dead;
  while (struct dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end) continue;
    if (pid == ::getpid() || processAlive(pid_t(pid))) continue;
    dead.push_back(root + "/" + e->d_name);
  }
  ::closedir(d);
  int left = 0;
  for (const std::string& dir : dead)
    if (!cleanupRun(dir, log)) left++;
  return left;
}

LiveMount::LiveMount(Host& host, int partno, const std::string& mountDir, std::function<void(const std::string&)> note)
    : host_(host), partno_(partno), note_(std::move(note)) {
  requireLiveMachine();
  {
    std::ostringstream log;
    cleanupDeadLiveRuns(log);
    std::istringstream lines(log.str());
    for (std::string l; std::getline(lines, l);) this->note(l);
  }
  struct stat st;
  if (::stat(mountDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw AgentError("mount directory " + mountDir + " does not exist or is not a directory");
  mountDir_ = hostmounts::canonical(mountDir);
  if (hostmounts::isMountPoint(mountDir_))
    throw AgentError(mountDir_ + " is already a mount point; choose an empty directory");
  std::error_code ec;
  if (!std::filesystem::is_empty(mountDir_, ec))
    throw AgentError("mount directory " + mountDir_ + " is not empty; choose an empty directory");
  host_.requirePartition(partno);
  host_.mount(partno);  // the stand-in's view: block size from the real ext4's super block

  const std::string root = liveStateRoot();
  std::filesystem::create_directories(root, ec);
  stateDir_ = root + "/" + std::to_string(::getpid());
  removeStateDir(stateDir_);
  fuseDir_ = stateDir_ + "/disk";
  if (::mkdir(stateDir_.c_str(), 0700) != 0 || ::mkdir(fuseDir_.c_str(), 0700) != 0)
    throw AgentError("cannot create " + fuseDir_ + ": " + std::strerror(errno));
  try {
    saveState();
    std::string err;
    fuse_ = machine::FuseDisk::serve(host_.disk(), host_.devName(0), fuseDir_, &err);
    if (!fuse_) throw AgentError("cannot serve the disk through FUSE: " + err);
    fuseFile_ = fuse_->path(partno);
    std::string out;
    if (runTool({"losetup", "--direct-io=on", "--find", "--show", fuseFile_}, &out, &err) != 0 || trim(out).empty())
      throw AgentError("cannot set up a loop device on " + fuseFile_ + ": " + trim(err));
    loop_ = trim(out);
    saveState();
    if (std::string e = run({"mount", "-t", "ext4", loop_, mountDir_}); !e.empty())
      throw AgentError("cannot mount " + loop_ + " (partition " + std::to_string(partno) + " of " + host_.image() +
                       ") at " + mountDir_ + ": " + e);
    mounted_ = true;
    saveState();
    freezer_ = std::make_unique<machine::HostFsFreezer>(mountDir_);
    freezer_->attach(host_.mounted(partno));
  } catch (...) {
    teardown(0);
    throw;
  }
}

LiveMount::~LiveMount() {
  for (const std::string& p : teardown()) note("velloc live: " + p);
}

void LiveMount::saveState() {
  std::ostringstream s;
  s << "pid " << ::getpid() << "\nimage " << host_.image() << "\npartition " << partno_ << "\nfuse " << fuseDir_
    << "\n";
  if (!loop_.empty()) s << "loop " << loop_ << "\n";
  if (mounted_) s << "mount " << mountDir_ << "\n";
  std::string text = s.str();
  // Through a temporary name: a run killed mid-write must not leave half a record.
  std::string tmp = stateDir_ + "/state.tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text;
  }
  ::rename(tmp.c_str(), (stateDir_ + "/state").c_str());
}

std::vector<std::string> LiveMount::teardown(double busyWaitSeconds) {
  std::vector<std::string> problems;
  if (freezer_) {
    freezer_->detach();
    freezer_.reset();  // thaws if frozen, and closes its handle on the mount
  }
  if (mounted_) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(busyWaitSeconds);
    bool told = false;
    std::string e;
    for (;;) {
      e = run({"umount", mountDir_});
      if (e.empty() || std::chrono::steady_clock::now() >= deadline) break;
      if (!told) {
        note("velloc live: waiting for the programs using " + mountDir_ + " to finish (up to " +
             std::to_string(int(busyWaitSeconds)) + " s)");
        told = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!e.empty()) {
      problems.push_back("cannot unmount " + mountDir_ + ": " + e + "; stop the programs using it (fuser -vm " +
                         mountDir_ + "), then run velloc live again (or see docs/live.md) to clean up");
      return problems;
    }
    mounted_ = false;
    saveState();
  }
  if (!loop_.empty()) {
    if (std::string e = run({"losetup", "-d", loop_}); !e.empty()) {
      problems.push_back("cannot detach " + loop_ + ": " + e);
      return problems;
    }
    // The detach completes when the device's last user is gone; the FUSE file must be
    // closed before its server stops.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (hostmounts::loopBackingFile(loop_) == fuseFile_ && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    loop_.clear();
    saveState();
  }
  fuse_.reset();
  // A connection that ended abnormally leaves its mount point behind; nothing serves it.
  if (!fuseDir_.empty() && hostmounts::isMountPoint(fuseDir_)) run({"umount", "-l", fuseDir_});
  if (!stateDir_.empty() && !hostmounts::isMountPoint(fuseDir_)) {
    removeStateDir(stateDir_);
    stateDir_.clear();
  }
  host_.unmount(partno_);
  return problems;
}


}  // namespace velloc::agent
