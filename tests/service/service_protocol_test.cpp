// The control socket against bad input and bad peers: every malformed, oversized or
// unknown request gets an error reply and the service keeps answering; a peer of
// another uid is refused; a stale socket is reclaimed and a live one refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "service_test_util.h"
#include "velloc/agent/image_builder.h"

namespace {

using servicetest::Conn;
using servicetest::json;
using servicetest::ServiceProcess;
using servicetest::velloc;

std::string errorOf(const json& j) { return j.is_object() ? j.value("error", std::string("(ok)")) : "(no reply)"; }

TEST(ServiceProtocol, BadRequestsGetErrorRepliesAndNeverStopTheService) {
  livetest::ScratchDir dir;
  const std::string socket = dir.sub("s.sock");
  ServiceProcess svc(socket, {}, dir.path());
  ASSERT_TRUE(svc.listening()) << svc.child().stderrText();
  struct stat st;
  ASSERT_EQ(::stat(socket.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Conn c(socket);
  ASSERT_TRUE(c.connected());
  const std::pair<std::string, std::string> cases[] = {
      {"not json at all", "not JSON"},
      {"[1,2,3]", "must be a JSON object"},
      {R"({"op":"status"})", "no protocol version"},
      {R"({"v":2,"op":"status"})", "version 2 is not spoken"},
      {R"({"v":1})", "no \"op\""},
      {R"({"v":1,"op":"format-the-disk"})", "unknown request"},
      {R"({"v":1,"op":"attach"})", "\"image\" must be given"},
      {R"({"v":1,"op":"attach","image":"/nonexistent/x.img"})", "no such file"},
      {R"({"v":1,"op":"backup","device":"sdq1","repo":"/tmp/r"})", "no device sdq1 is attached"},
      {R"({"v":1,"op":"backup","device":"sda1","repo":"/tmp/r","cacheBlocks":-4})", "cacheBlocks"},
      {R"({"v":1,"op":"backup","device":"sda1","repo":"/tmp/r","compress":"gzip"})", "\"compress\" must be"},
      {R"({"v":1,"op":"detach","disk":"sdc"})", "no disk sdc"},
      {R"({"v":1,"id":{"a":1},"op":"list"})", "\"id\" must be"},
      {"{\"v\":1,\"op\":\"list\",\"x\":\"\xff\xfe\"}", "not JSON"},
  };
  for (const auto& [line, expect] : cases) {
    c.sendRaw(line + "\n");
    json r = c.readLine();
    ASSERT_FALSE(r.is_discarded()) << "no reply to " << line;
    EXPECT_FALSE(r.value("ok", true)) << line;
    EXPECT_NE(errorOf(r).find(expect), std::string::npos) << line << " -> " << errorOf(r);
  }
  json ok = c.call({{"op", "list"}, {"id", "x7"}});
  EXPECT_TRUE(ok.value("ok", false));
  EXPECT_EQ(ok.value("id", ""), "x7");

  // A line longer than the limit is refused and its connection closed; others go on.
  Conn big(socket);
  big.sendRaw(std::string(70 * 1024, 'a'));
  EXPECT_NE(errorOf(big.readLine()).find("longer than"), std::string::npos);
  EXPECT_TRUE(big.readLine(5000).is_discarded());
  EXPECT_TRUE(c.call({{"op", "status"}}).value("ok", false));

  // A peer of another uid is refused by its credentials even when the modes of the
  // socket and its directory would let it in.
  if (::geteuid() == 0 && velloc::agent::haveTool("setpriv")) {
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
    std::string out;
    EXPECT_EQ(livetest::run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", servicetest::kVelloc,
                             "status", "--socket", socket},
                            &out),
              2);
    EXPECT_NE(out.find("permission denied: uid 65534 is neither the service's owner"), std::string::npos) << out;
    ::chmod(socket.c_str(), 0600);
    ::chmod(dir.path().c_str(), 0700);
  }
  EXPECT_TRUE(c.call({{"op", "status"}}).value("ok", false));
  c.close();
  EXPECT_EQ(svc.stop(), 0);
}

TEST(ServiceProtocol, StaleSocketOfAKilledServiceIsReclaimed) {
  livetest::ScratchDir dir;
  const std::string socket = dir.sub("s.sock");
  {
    ServiceProcess svc(socket, {}, dir.path());
    ASSERT_TRUE(svc.listening());
    svc.child().signal(SIGKILL);
    svc.child().wait(10000);
  }
  ASSERT_TRUE(std::filesystem::exists(socket));  // left by the dead service
  ServiceProcess again(socket, {}, dir.path());
  ASSERT_TRUE(again.listening()) << again.child().stderrText();
  EXPECT_NE(again.child().stderrText().find("removed the stale socket"), std::string::npos);
  std::string out;
  EXPECT_EQ(velloc({"status", "--socket", socket}, &out), 0) << out;
  EXPECT_NE(out.find("no images attached"), std::string::npos) << out;
  EXPECT_EQ(again.stop(), 0);
  EXPECT_EQ(velloc({"status", "--socket", socket}, &out), 2);
  EXPECT_NE(out.find("no velloc service is listening"), std::string::npos) << out;
}

}  // namespace
