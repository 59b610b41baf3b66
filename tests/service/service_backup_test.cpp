// `velloc serve` end to end without host mounts: the service owns the image, separate
// client processes back a device up into one repository (full, then incrementals of
// exactly the blocks written in between), and a restarted service makes a full backup
// saying why. Also: the image lock against a second service and a one-process backup,
// and a client that goes away mid-backup.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "service_test_util.h"
#include "velloc/agent/image_builder.h"

namespace {

using servicetest::Conn;
using servicetest::json;
using servicetest::ServiceProcess;
using servicetest::velloc;

std::string errorOf(const json& j) { return j.is_object() ? j.value("error", std::string()) : "(no reply)"; }

constexpr uint32_t kBlockSize = 4096;

class ServiceBackup : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!velloc::agent::haveTool("mkfs.ext4") || !velloc::agent::haveTool("debugfs"))
      GTEST_SKIP() << "mkfs.ext4 and debugfs (e2fsprogs) are needed to build the image";
    image = dir.sub("disk.img");
    velloc::agent::FsSpec fs;
    fs.bytes = 24ull << 20;
    fs.files = 4;
    fs.fileBytes = 1ull << 20;
    parts = velloc::agent::buildExt4Image(image, {fs}, dir.sub("build"));
    socket = dir.sub("velloc.sock");
    repo = dir.sub("repo");
  }

  // The partition's bytes as the image file holds them now (the service writes through).
  std::vector<uint8_t> partitionBytes() {
    std::vector<uint8_t> b(parts[0].sectors * 512);
    int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(::pread(fd, b.data(), b.size(), off_t(parts[0].startSector * 512)), ssize_t(b.size()));
    ::close(fd);
    return b;
  }

  json backup(const std::vector<std::string>& extra = {}) {
    std::string out;
    std::vector<std::string> args = {"--json", "backup", "sda1", "--repo", repo, "--socket", socket};
    args.insert(args.end(), extra.begin(), extra.end());
    int rc = velloc(args, &out);
    json j = json::parse(out, nullptr, false);
    EXPECT_EQ(rc, 0) << out;
    return j.is_object() ? j : json::object();
  }

  // Restores `round` and compares it with `truth` (and e2fsck).
  void expectRestores(int round, const std::vector<uint8_t>& truth) {
    std::string img = dir.sub("restored-" + std::to_string(round) + ".img");
    std::string out;
    ASSERT_EQ(velloc({"restore", repo, "--round", std::to_string(round), "--out", img}, &out), 0) << out;
    std::ifstream in(img, std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(got.size(), truth.size());
    EXPECT_TRUE(got == truth) << "round " << round << " does not restore to the partition as it was";
    std::string report;
    EXPECT_TRUE(velloc::agent::e2fsckClean(img, &report)) << report;
  }

  std::set<uint32_t> changeMap(int round) {
    char name[32];
    std::snprintf(name, sizeof name, "/round-%03d.map", round);
    std::ifstream in(repo + name, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<uint32_t> set;
    for (size_t i = 0; i < bytes.size() * 8; ++i)
      if (bytes[i / 8] & (1u << (i % 8))) set.insert(uint32_t(i));
    return set;
  }

  livetest::ScratchDir dir;
  std::string image, socket, repo;
  std::vector<velloc::agent::BuiltPartition> parts;
};

TEST_F(ServiceBackup, IncrementalHoldsExactlyTheBlocksWrittenAndRestartMeansFull) {
  auto svc = std::make_unique<ServiceProcess>(socket, std::vector<std::string>{image}, dir.path());
  ASSERT_TRUE(svc->listening()) << svc->child().stderrText();

  json r0 = backup();
  EXPECT_EQ(r0.value("kind", ""), "full");
  EXPECT_EQ(r0.value("round", -1), 0);
  EXPECT_NE(r0.value("fullBecause", "").find("first backup"), std::string::npos) << r0.dump();
  std::vector<uint8_t> at0 = partitionBytes();

  // Scattered blocks of file data, written through the service between two backups.
  const std::vector<uint32_t>& data = parts[0].dataBlocks;
  ASSERT_GT(data.size(), 200u);
  std::set<uint32_t> written;
  for (size_t i = 0; i < data.size(); i += 7) written.insert(data[i]);
  Conn c(socket);
  ASSERT_TRUE(c.connected());
  json w = c.call({{"op", "write"}, {"device", "sda1"}, {"blocks", written}});
  ASSERT_TRUE(w.value("ok", false)) << w.dump();

  json status = c.call({{"op", "status"}, {"device", "sda1"}});
  EXPECT_EQ(status["devices"][0]["tracking"].value("state", ""), "in sync") << status.dump();

  json r1 = backup();
  EXPECT_EQ(r1.value("kind", ""), "incr") << r1.dump();
  EXPECT_EQ(r1.value("changedBlocks", 0u), written.size());
  EXPECT_EQ(changeMap(1), written);
  std::vector<uint8_t> at1 = partitionBytes();
  EXPECT_FALSE(at0 == at1);

  // Nothing written: an empty incremental, stored as the client asked.
  json r2 = backup({"--compress", "fast"});
  EXPECT_EQ(r2.value("kind", ""), "incr");
  EXPECT_EQ(r2.value("changedBlocks", 1u), 0u);
  {
    std::ifstream in(repo + "/manifest.json");
    json m = json::parse(in, nullptr, false);
    ASSERT_TRUE(m.is_object() && m["rounds"].size() == 3) << m.dump();
    EXPECT_EQ(m["rounds"][2].value("encoding", "raw"), "zstd-chunks") << m.dump();
  }

  expectRestores(0, at0);
  expectRestores(1, at1);

  // A second service on the image, or a one-process backup of it, is refused naming
  // the holder; so is a second service on the socket.
  std::string out;
  EXPECT_EQ(velloc({"serve", image, "--socket", dir.sub("other.sock")}, &out), 2);
  EXPECT_NE(out.find("is in use by process " + std::to_string(svc->pid())), std::string::npos) << out;
  EXPECT_EQ(velloc({"backup", image, "--partition", "1", "--out", dir.sub("one")}, &out), 2);
  EXPECT_NE(out.find("is in use by process " + std::to_string(svc->pid())), std::string::npos) << out;
  EXPECT_EQ(velloc({"serve", "--socket", socket}, &out), 2);
  EXPECT_NE(out.find("another velloc serve (pid " + std::to_string(svc->pid())), std::string::npos) << out;

  c.close();
  EXPECT_EQ(svc->stop(), 0) << svc->child().stderrText();
  EXPECT_FALSE(std::filesystem::exists(socket));

  // A new service tracks nothing yet: the next round is full and says why.
  svc = std::make_unique<ServiceProcess>(socket, std::vector<std::string>{image}, dir.path());
  ASSERT_TRUE(svc->listening()) << svc->child().stderrText();
  json r3 = backup();
  EXPECT_EQ(r3.value("kind", ""), "full");
  EXPECT_EQ(r3.value("round", -1), 3);
  EXPECT_NE(r3.value("fullBecause", "").find("service restarted"), std::string::npos) << r3.dump();
  EXPECT_EQ(backup().value("kind", ""), "incr");

  // A damaged key file: full, saying so, never an incremental on a key it cannot trust.
  {
    std::ofstream key(repo + "/key", std::ios::trunc);
    key << "{\"format\":\"velloc-key\",\"version\":1,\"round\":";
  }
  json r5 = backup();
  EXPECT_EQ(r5.value("kind", ""), "full");
  EXPECT_NE(r5.value("fullBecause", "").find("key"), std::string::npos) << r5.dump();

  // A repository of another partition is refused; so is a device nobody attached.
  std::string other = dir.sub("other.img");
  std::filesystem::copy_file(image, other);
  ASSERT_EQ(velloc({"attach", other, "--socket", socket}, &out), 0) << out;
  EXPECT_NE(out.find("as sdb"), std::string::npos) << out;
  EXPECT_EQ(velloc({"backup", "sdb1", "--repo", repo, "--socket", socket}, &out), 2);
  EXPECT_NE(out.find("not of sdb1"), std::string::npos) << out;
  EXPECT_EQ(velloc({"backup", "sdc1", "--repo", repo, "--socket", socket}, &out), 2);
  EXPECT_NE(out.find("no device sdc1 is attached"), std::string::npos) << out;
  EXPECT_EQ(velloc({"detach", "sdb", "--socket", socket}, &out), 0) << out;
  EXPECT_EQ(svc->stop(), 0);
}

TEST_F(ServiceBackup, ClientGoneMidBackupEndsTheRoundAndTheNextIsNeverAWrongIncremental) {
  ServiceProcess svc(socket, {image}, dir.path());
  ASSERT_TRUE(svc.listening()) << svc.child().stderrText();
  ASSERT_EQ(backup().value("kind", ""), "full");
  {
    // The client sends a full backup and hangs up at once: the service finds it gone
    // at its first progress report and drops the round.
    Conn c(socket);
    c.sendRaw(json{{"v", 1}, {"op", "backup"}, {"device", "sda1"}, {"repo", repo}, {"full", true}}.dump() + "\n");
  }
  ASSERT_TRUE(svc.child().waitForStderr("the client went away", 60000)) << svc.child().stderrText();
  Conn c(socket);
  json st = c.call({{"op", "status"}});  // answered after the round has been dropped
  EXPECT_TRUE(st.value("ok", false));
  std::ifstream m(repo + "/manifest.json");
  json manifest = json::parse(m, nullptr, false);
  EXPECT_EQ(manifest["rounds"].size(), 1u) << manifest.dump();
  for (const auto& e : std::filesystem::directory_iterator(repo))
    EXPECT_EQ(e.path().filename().string().find("round-001"), std::string::npos) << e.path();
  // The dropped round's snapshot moved the device to a key the repository never kept.
  json r = backup();
  EXPECT_EQ(r.value("kind", ""), "full");
  EXPECT_EQ(r.value("round", -1), 1);
  EXPECT_NE(r.value("fullBecause", "").find("key"), std::string::npos) << r.dump();
}

TEST_F(ServiceBackup, ClientsRacingWritesStatusAndBackupsEachRoundMatchesItsFrozenCopy) {
  ServiceProcess svc(socket, {image}, dir.path());
  ASSERT_TRUE(svc.listening()) << svc.child().stderrText();
  const std::vector<uint32_t>& data = parts[0].dataBlocks;
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0}, writes{0}, refusedBackups{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      Conn c(socket);
      std::mt19937 rng(t + 1);
      while (!stop) {
        std::vector<uint32_t> blocks;
        for (int i = 0; i < 16; ++i) blocks.push_back(data[rng() % data.size()]);
        json r = c.call({{"op", "write"}, {"device", "sda1"}, {"blocks", blocks}});
        if (!r.value("ok", false)) bad++;
        writes++;
      }
    });
  std::atomic<bool> first{false};
  threads.emplace_back([&] {
    Conn c(socket);
    while (!stop) {
      json st = c.call({{"op", "status"}});
      if (!st.value("ok", false)) bad++;
      if (!first) continue;
      // More rounds of the same chain, racing the main ones for the backup slot.
      json other = c.call({{"op", "backup"}, {"device", "sda1"}, {"repo", repo}});
      if (!other.value("ok", false)) {
        if (errorOf(other).find("another backup is running") == std::string::npos &&
            errorOf(other).find("busy") == std::string::npos)
          bad++;
        refusedBackups++;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for the main rounds
    }
  });
  // Every round, taken while the writes go on, equals the partition as frozen for it,
  // and so does its rebuild from the chain (both checked inside the service).
  for (int round = 0; round < 3; ++round) {
    json r;
    for (int attempt = 0; attempt < 1000; ++attempt) {
      std::string out;
      int rc = velloc({"--json", "backup", "sda1", "--repo", repo, "--socket", socket, "--verify"}, &out);
      if (rc == 2 && out.find("another backup is running") != std::string::npos) continue;  // the racing one
      EXPECT_EQ(rc, 0) << out;
      r = json::parse(out, nullptr, false);
      break;
    }
    ASSERT_TRUE(r.is_object());
    EXPECT_EQ(r.value("kind", ""), round == 0 ? "full" : "incr") << r.dump();
    EXPECT_EQ(r.value("verified", ""), "yes") << r.dump();
    first = true;
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(writes.load(), 0);
  EXPECT_EQ(svc.stop(), 0) << svc.child().stderrText();
}

}  // namespace
