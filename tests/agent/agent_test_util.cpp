#include "agent_test_util.h"

#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "velloc/agent/errors.h"
#include "velloc/agent/file_faults.h"
#include "velloc/agent/sha256.h"
#include "velloc/cli.h"

namespace agent_test {

velloc::agent::SourceInfo sourceOf(const velloc::agent::Host& host, const velloc::agent::Target& t, int p,
                                   const std::string& image) {
  velloc::agent::SourceInfo s;
  s.image = image;
  s.partition = p;
  s.device = t.name;
  s.startSector = host.startSector(p);
  s.sectors = host.sectors(p);
  s.blockSize = t.blockSize;
  s.totalBlocks = t.totalBlocks;
  return s;
}

using namespace velloc::agent;

std::string errorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const AgentError& e) {
    return e.what();
  }
  return "(no error)";
}

std::string readText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

int runVelloc(const std::vector<std::string>& args, std::string* out, std::string* err) {
  std::vector<std::string> a{"velloc"};
  a.insert(a.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : a) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::ostringstream o, e;
  int rc = velloc::runCli(int(a.size()), argv.data(), o, e);
  if (out) *out = o.str();
  if (err) *err = e.str();
  return rc;
}

void writeChain(const std::string& dir, const std::vector<std::vector<uint8_t>>& images, uint32_t bs,
                int partition, const std::function<Compression(int)>& compress,
                const std::set<size_t>& fullRounds) {
  SourceInfo src;
  src.image = "/images/test.img";
  src.partition = partition;
  src.device = "sda" + std::to_string(partition);
  src.major = 8;
  src.minor = uint32_t(partition);
  src.startSector = 2048u * uint32_t(partition);
  src.sectors = images[0].size() / 512;
  src.blockSize = bs;
  src.totalBlocks = uint32_t(images[0].size() / bs);
  BackupDirWriter w(dir, src);
  std::string prevKey;
  for (size_t r = 0; r < images.size(); ++r) {
    RoundPlan plan;
    plan.incremental = r > 0 && !fullRounds.count(r);
    plan.blocks = Bitmap(src.totalBlocks, !plan.incremental);
    if (plan.incremental)
      for (uint32_t b = 0; b < src.totalBlocks; ++b)
        if (std::memcmp(images[r].data() + size_t(b) * bs, images[r - 1].data() + size_t(b) * bs, bs) != 0)
          plan.blocks.set(b);
    std::string key = "key-" + std::to_string(partition) + "-" + std::to_string(r);
    plan.keyDigest = Sha256::hexOf(key.data(), key.size());
    plan.presentedKeyDigest = plan.incremental ? prevKey : "";
    prevKey = plan.keyDigest;
    w.setCompression(compress ? compress(int(r)) : Compression::none);
    auto sink = w.openRound(int(r), plan);
    RoundResult res;
    // Hand the blocks over in runs, the way the device flow does.
    plan.blocks.forEachRun(7, [&](uint32_t first, uint32_t count) {
      sink->write(first, images[r].data() + size_t(first) * bs, count, bs);
      res.blocksCopied += count;
      return true;
    });
    sink.reset();
    w.commitRound(int(r), plan, res);
    w.publish();
  }
}

int countFileSteps(const std::function<void()>& fn) {
  int steps = 0;
  fs::setFaultHook([&](fs::FileOp, const std::string&) {
    ++steps;
    return 0;
  });
  fn();
  fs::setFaultHook({});
  return steps;
}

bool crashAtFileStep(int k, const std::function<void()>& fn) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int n = 0;
    fs::setFaultHook([&](fs::FileOp, const std::string&) {
      if (++n == k) ::_exit(0);
      return 0;
    });
    fn();
    ::_exit(1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string failAtFileStep(int k, int err, const std::function<void()>& fn) {
  int n = 0;
  fs::setFaultHook([&](fs::FileOp, const std::string&) { return ++n == k ? err : 0; });
  std::string msg = errorOf(fn);
  fs::setFaultHook({});
  return msg;
}

AMSessionKey keyOf(int n) {
  AMSessionKey k{};
  for (size_t i = 0; i < sizeof k.key; ++i) k.key[i] = uint8_t(n * 31 + int(i));
  return k;
}

void appendRound(BackupDirWriter& w, uint32_t block, uint8_t value, const AMSessionKey& key) {
  const uint32_t bs = w.manifest().source.blockSize;
  int round = w.nextRound();
  RoundPlan plan;
  plan.incremental = true;
  plan.blocks = Bitmap(w.manifest().source.totalBlocks);
  plan.blocks.set(block);
  plan.presentedKeyDigest = w.manifest().rounds.back().keyDigest;
  plan.keyDigest = Sha256::hexOf(key.key, sizeof key.key);
  std::vector<uint8_t> data(bs, value);
  auto sink = w.openRound(round, plan);
  sink->write(block, data.data(), 1, bs);
  sink.reset();
  RoundResult res;
  res.blocksCopied = 1;
  w.commitRound(round, plan, res);
  w.keepKey(round, key);
}

void rewriteIncrementalKeys(const std::string& dir, int round, const std::string& presented) {
  Manifest m = Manifest::load(dir);
  RoundEntry& e = m.rounds.at(size_t(round));
  std::string path = dir + "/" + e.file;
  std::string bytes = readText(path);
  IncrHeader h;
  decodeIncrHeader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &h);
  h.presentedKeyDigest = presented;
  auto hb = encodeIncrHeader(h);
  bytes.replace(0, hb.size(), reinterpret_cast<const char*>(hb.data()), hb.size());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  e.presentedKeyDigest = presented;
  e.sha256 = Sha256::hexOf(bytes.data(), bytes.size());
  m.save(dir);
}

}  // namespace agent_test
