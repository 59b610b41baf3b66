// What the module tracks for a partition between backups, asked and ended through the
// character device as any agent would: a short session of its own each time.
#include "service_internal.h"
#include "velloc.h"
#include "velloc/agent/device.h"
#include "velloc/agent/errors.h"

namespace velloc::service {

using agent::AgentError;

namespace {
// A session started on the partition (closed with the Device): the module answers
// tracking questions about the device of a started session only.
void startSession(agent::Device& dev, agent::Host& host, const Partition& p) {
  int rc = dev.startBackup(host.major(p.partno), host.minor(p.partno), p.totalBlocks, 1);
  if (rc != 0) throw AgentError(agent::resultMessage("doStartBackup", rc, p.device), rc);
}
}  // namespace

json probeTracking(agent::Host& host, const Partition& p) {
  agent::AgentProcess proc("velloc-status");
  agent::Device dev(proc);
  startSession(dev, host, p);
  AutoMapState ams{};
  int rc = dev.getAutoMapState(&ams);
  if (rc != 0) throw AgentError(agent::resultMessage("doGetAutoMapState", rc, p.device), rc);
  if (ams.major == 0 && ams.minor == 0 && ams.mapLen == 0) return {{"state", "none"}, {"why", "the module tracks nothing for " + p.device}};
  return {{"state", ams.state == amsInSync ? "in sync" : "out of sync"}, {"blocks", ams.mapLen}};
}

void dropTracking(agent::Host& host, const Partition& p) {
  agent::AgentProcess proc("velloc-detach");
  agent::Device dev(proc);
  startSession(dev, host, p);
  AutoMapState ams{};
  if (dev.getAutoMapState(&ams) == 0 && ams.major == 0 && ams.minor == 0 && ams.mapLen == 0) return;
  // A snapshot that may neither use the record nor start a new one closes it.
  dev.noLoadFromAutoMap();
  dev.noStartAutoMap();
  int rc = dev.snapShot(nullptr);
  if (rc != 0) throw AgentError("cannot end change tracking of " + p.device + ": " + agent::resultMessage("doSnapShot", rc, p.device), rc);
}

}  // namespace velloc::service
