#include "agent_test_util.h"

#include <cstring>
#include <sstream>

#include "velloc/agent/sha256.h"
#include "velloc/cli.h"

namespace agent_test {

using namespace velloc::agent;

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
                int partition) {
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
    plan.incremental = r > 0;
    plan.blocks = Bitmap(src.totalBlocks, !plan.incremental);
    if (plan.incremental)
      for (uint32_t b = 0; b < src.totalBlocks; ++b)
        if (std::memcmp(images[r].data() + size_t(b) * bs, images[r - 1].data() + size_t(b) * bs, bs) != 0)
          plan.blocks.set(b);
    std::string key = "key-" + std::to_string(partition) + "-" + std::to_string(r);
    plan.keyDigest = Sha256::hexOf(key.data(), key.size());
    plan.presentedKeyDigest = plan.incremental ? prevKey : "";
    prevKey = plan.keyDigest;
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

}  // namespace agent_test
