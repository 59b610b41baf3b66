// Presenting a partition to the host: the same FUSE file, loop device and host ext4 as
// `velloc live`, kept until an unmount request, a detach or the end of the service.
#include "service_internal.h"
#include "velloc/agent/errors.h"
#if VELLOC_HAVE_LIVE
#include "velloc/agent/live_mount.h"
#endif

namespace velloc::service {

#if VELLOC_HAVE_LIVE

json Service::Impl::opMount(const json& body) {
  std::string dev = needString(body, "device");
  std::string dir = needString(body, "dir");
  std::lock_guard<std::mutex> s(slot);  // no backup may start while the freezer is fitted
  std::lock_guard<std::mutex> g(mu);
  auto [d, p] = findDevice(dev);
  if (p->live) throw RequestError(dev + " is already mounted at " + p->live->mountDir());
  if (!p->fileSystem) throw RequestError(dev + " holds no file system the host can mount (" + p->fsProblem + ")");
  auto note = [this](const std::string& line) { log(line); };
  p->live = std::make_shared<agent::LiveMount>(*d->host, p->partno, dir, note);
  log(dev + " served as " + p->live->fuseFile() + " on " + p->live->loopDevice() + ", ext4 mounted at " +
      p->live->mountDir());
  return {{"device", dev}, {"mounted", p->live->mountDir()}, {"loop", p->live->loopDevice()},
          {"fuseFile", p->live->fuseFile()}};
}

std::string unmountLive(agent::Host& host, Partition& p) {
  std::vector<std::string> problems = p.live->teardown();
  std::string joined;
  for (size_t i = 0; i < problems.size(); ++i) joined += (i ? "; " : "") + problems[i];
  if (!joined.empty()) return joined;
  p.live.reset();
  host.mount(p.partno);  // the stand-in's own view again, for backups between mounts
  return "";
}

std::string liveMountDir(const Partition& p) { return p.live ? p.live->mountDir() : ""; }

#else

json Service::Impl::opMount(const json&) {
  throw RequestError("this velloc was built without FUSE (libfuse3-dev): it cannot mount partitions on the host");
}
std::string unmountLive(agent::Host&, Partition&) { return ""; }
std::string liveMountDir(const Partition&) { return ""; }

#endif

json Service::Impl::opUnmount(const json& body) {
  std::string dev = needString(body, "device");
  std::lock_guard<std::mutex> s(slot);
  std::lock_guard<std::mutex> g(mu);
  auto [d, p] = findDevice(dev);
  if (!p->live) throw RequestError(dev + " is not mounted on the host");
  std::string dir = liveMountDir(*p);
  std::string problem = unmountLive(*d->host, *p);
  if (!problem.empty()) throw RequestError(problem);
  log("unmounted " + dir + " (" + dev + ")");
  return {{"device", dev}, {"unmounted", dir}};
}

}  // namespace velloc::service
