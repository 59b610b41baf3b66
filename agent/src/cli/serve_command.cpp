// `velloc serve`: the stand-in machine as a long-running service. It attaches the
// images it is given (more come with `velloc attach`), listens on its control socket
// and runs until `velloc stop`, SIGTERM or SIGINT; then it abandons a running backup
// (the repository keeps its completed rounds), takes down host mounts and detaches
// every image. Log lines go to standard error (the journal, under systemd).
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <ctime>
#include <iostream>
#include <mutex>
#include <sstream>

#include "../service/control_socket.h"
#include "service_commands.h"
#include "velloc/agent/errors.h"
#include "velloc/service/service.h"
#if VELLOC_HAVE_LIVE
#include "velloc/agent/live_mount.h"
#endif

namespace velloc::cli {

CLI::App* addServeCommand(CLI::App& app, ServeArgs& a) {
  auto* c = app.add_subcommand("serve", "run the machine as a service that keeps images attached and their change "
                                        "tracking between backups (docs/service.md)");
  c->add_option("IMAGE", a.images, "disk images to attach at start (more with velloc attach)");
  addSocketOption(c, a.socket);
  c->add_flag("--test-writes", a.testWrites,
              "accept write requests that overwrite blocks through the service (tests and load only)");
  return c;
}

int cmdServe(const ServeArgs& a, std::ostream& out, std::ostream& err) {
  (void)out;
  std::mutex logMu;
  auto log = [&](const std::string& line) {
    std::lock_guard<std::mutex> g(logMu);
    err << line << "\n" << std::flush;
  };
  // The stop signals are blocked in every thread (the stand-in's start with this mask)
  // and taken here by sigtimedwait, so no thread is interrupted in the middle of its work.
  sigset_t stopSignals, oldMask;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, &oldMask);
  struct RestoreMask {
    sigset_t m;
    ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &m, nullptr); }
  } restoreMask{oldMask};

  const std::string path = a.socket.empty() ? service::defaultSocketPath() : a.socket;
  service::ServiceOptions o;
  o.log = log;
  o.testWrites = a.testWrites;
  service::Service svc(o);
  {
    // The socket first: a second service on the same path is refused before it
    // touches any image.
    service::ControlSocket sock(svc, path, log);
#if VELLOC_HAVE_LIVE
    if (agent::liveMachineProblems().empty()) {
      std::ostringstream left;
      agent::cleanupDeadLiveRuns(left);
      std::istringstream lines(left.str());
      for (std::string l; std::getline(lines, l);) log(l);
    }
#endif
    for (const std::string& image : a.images) svc.attach(image);
    sock.start();
    log("velloc serve: listening on " + path + " (pid " + std::to_string(::getpid()) + ")");
    while (!svc.stopRequested()) {
      timespec tick{0, 200 * 1000 * 1000};
      int sig = sigtimedwait(&stopSignals, nullptr, &tick);
      if (sig > 0) {
        log(std::string("velloc serve: ") + (sig == SIGTERM ? "SIGTERM" : "SIGINT") + ": stopping");
        svc.requestStop();
      }
    }
    log("velloc serve: stopping: ending connections");
  }
  svc.shutdown();
  log("velloc serve: stopped");
  return 0;
}

}  // namespace velloc::cli
