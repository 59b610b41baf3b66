#include "velloc/agent/chain_image.h"

#include <fcntl.h>

#include "fileutil.h"
#include "velloc/agent/check.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/round_chunks.h"

namespace velloc::agent {

namespace {

std::string roundName(int r) { return "round " + std::to_string(r); }

// A round file that holds its blocks as they are, after a header of `skip` bytes.
class RawRoundData : public RoundData {
 public:
  RawRoundData(const std::string& path, uint64_t skip, uint32_t bs)
      : path_(path), fd_(fs::openOrThrow(path, O_RDONLY, "read")), skip_(skip), bs_(bs) {}
  void read(uint64_t index, uint32_t count, uint8_t* out) override {
    fs::preadAll(fd_.get(), out, size_t(count) * bs_, skip_ + index * bs_, path_);
  }

 private:
  std::string path_;
  fs::Fd fd_;
  uint64_t skip_;
  uint32_t bs_;
};

// The rounds from the last full one at or before `round` up to `round`.
std::vector<const RoundEntry*> chainFor(const Manifest& m, const std::string& dir, int round) {
  if (m.rounds.empty()) throw AgentError(dir + " holds no completed round");
  int first = m.rounds.front().round, last = m.rounds.back().round;
  if (round < first || round > last)
    throw AgentError(roundName(round) + " is not in " + dir + " (it holds rounds " + std::to_string(first) + "-" +
                     std::to_string(last) + ")");
  // Index the manifest by round; every round of the chain must be listed once.
  std::vector<const RoundEntry*> byRound(size_t(last - first) + 1, nullptr);
  for (const RoundEntry& e : m.rounds) {
    if (e.round < first || e.round > last || byRound[size_t(e.round - first)])
      throw AgentError(dir + "/manifest.json is damaged: " + roundName(e.round) + " listed twice or out of order");
    byRound[size_t(e.round - first)] = &e;
  }
  int base = round;
  while (base >= first && (!byRound[size_t(base - first)] || byRound[size_t(base - first)]->incremental)) {
    if (!byRound[size_t(base - first)])
      throw AgentError("restore chain of " + roundName(round) + " is broken: " + roundName(base) +
                       " is missing from " + dir + "/manifest.json");
    --base;
  }
  if (base < first) throw AgentError("restore chain of " + roundName(round) + " has no full image in " + dir);
  std::vector<const RoundEntry*> chain;
  for (int r = base; r <= round; ++r) chain.push_back(byRound[size_t(r - first)]);
  return chain;
}

}  // namespace

std::unique_ptr<RoundData> openRoundData(const Manifest& m, const std::string& dir, const RoundEntry& e) {
  if (e.encoding == kChunkedEncoding) return openChunkedRoundData(dir + "/" + e.file, chunkHeaderOf(m, e));
  return std::make_unique<RawRoundData>(dir + "/" + e.file, e.incremental ? kIncrHeaderBytes : 0, m.source.blockSize);
}

ChainImage::ChainImage(const std::string& dir, int round) : dir_(dir), m_(Manifest::load(dir)) {
  chain_ = chainFor(m_, dir_, round);
  for (size_t i = 0; i < chain_.size(); ++i) {
    const RoundEntry& e = *chain_[i];
    std::vector<std::string> problems = roundProblems(m_, dir_, e, i ? chain_[i - 1] : nullptr, true);
    if (!problems.empty()) throw AgentError(problems.front());
    Bitmap map;
    if (e.incremental) {
      std::string bytes = fs::readFile(dir_ + "/" + e.mapFile);
      map = Bitmap::fromBytes(m_.source.totalBlocks, std::vector<uint8_t>(bytes.begin(), bytes.end()));
      map.buildRank();
    }
    maps_.push_back(std::move(map));
    data_.push_back(openRoundData(m_, dir_, e));
  }
}

ChainImage::~ChainImage() = default;

std::vector<int> ChainImage::chain() const {
  std::vector<int> v;
  for (const RoundEntry* e : chain_) v.push_back(e->round);
  return v;
}

uint64_t ChainImage::incrementalBlocks() const {
  uint64_t n = 0;
  for (size_t i = 1; i < maps_.size(); ++i) n += maps_[i].count();
  return n;
}

void ChainImage::forEachRun(uint32_t maxRun, const std::function<void(uint32_t, uint32_t, const uint8_t*)>& fn) {
  const uint32_t total = m_.source.totalBlocks, bs = m_.source.blockSize;
  // owner[b]: the chain entry whose copy of block b is the newest.
  std::vector<uint16_t> owner(total, 0);
  for (size_t i = 1; i < maps_.size(); ++i)
    maps_[i].forEachRun(total, [&](uint32_t first, uint32_t count) {
      std::fill_n(owner.begin() + first, count, uint16_t(i));
      return true;
    });
  std::vector<uint8_t> buf(size_t(maxRun) * bs);
  for (uint32_t b = 0; b < total;) {
    uint16_t o = owner[b];
    uint32_t n = 1;
    while (n < maxRun && b + n < total && owner[b + n] == o) ++n;
    data_[o]->read(o == 0 ? b : maps_[o].rank(b), n, buf.data());
    fn(b, n, buf.data());
    b += n;
  }
}

}  // namespace velloc::agent
