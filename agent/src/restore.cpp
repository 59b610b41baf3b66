#include "velloc/agent/restore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "fileutil.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/bitmap.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

namespace {

std::string roundName(int r) { return "round " + std::to_string(r); }

// The rounds from the last full one at or before `round` up to `round`, each checked
// against the manifest and against the round before it.
std::vector<const RoundEntry*> chainFor(const Manifest& m, const std::string& dir, int round) {
  if (m.rounds.empty()) throw AgentError(dir + " holds no completed round");
  int last = m.rounds.back().round;
  if (round < 0 || round > last)
    throw AgentError(roundName(round) + " is not in " + dir + " (it holds rounds " +
                     std::to_string(m.rounds.front().round) + "-" + std::to_string(last) + ")");
  // Index the manifest by round; every round up to `round` must be listed once.
  std::vector<const RoundEntry*> byRound(size_t(last) + 1, nullptr);
  for (const RoundEntry& e : m.rounds) {
    if (e.round < 0 || e.round > last || byRound[size_t(e.round)])
      throw AgentError(dir + "/manifest.json is damaged: " + roundName(e.round) + " listed twice or out of order");
    byRound[size_t(e.round)] = &e;
  }
  int base = round;
  while (base >= 0 && (!byRound[size_t(base)] || byRound[size_t(base)]->incremental)) {
    if (!byRound[size_t(base)])
      throw AgentError("restore chain of " + roundName(round) + " is broken: " + roundName(base) +
                       " is missing from " + dir + "/manifest.json");
    --base;
  }
  if (base < 0) throw AgentError("restore chain of " + roundName(round) + " has no full image in " + dir);
  std::vector<const RoundEntry*> chain;
  for (int r = base; r <= round; ++r) chain.push_back(byRound[size_t(r)]);
  return chain;
}

// Checks that a round's files are present, whole, of this partition and follow the round
// before; returns its change map for incrementals.
Bitmap checkRound(const Manifest& m, const std::string& dir, const RoundEntry& e, const RoundEntry* prev) {
  std::string path = dir + "/" + e.file;
  if (!fs::exists(path)) throw AgentError(roundName(e.round) + " is missing: " + path + " not found");
  if (!e.incremental) {
    fs::Fd fd(fs::openOrThrow(path, O_RDONLY, "read"));
    uint64_t want = uint64_t(m.source.totalBlocks) * m.source.blockSize;
    uint64_t size = fs::fileSize(fd.get(), path);
    if (size != want)
      throw AgentError(roundName(e.round) + " image " + path + " has " + std::to_string(size) + " bytes, the partition " +
                       std::to_string(want) + ": it belongs to another partition or is truncated");
  } else {
    fs::Fd fd(fs::openOrThrow(path, O_RDONLY, "read"));
    uint8_t hb[kIncrHeaderBytes];
    IncrHeader h;
    if (fs::fileSize(fd.get(), path) < kIncrHeaderBytes) throw AgentError(path + " is truncated");
    fs::preadAll(fd.get(), hb, sizeof hb, 0, path);
    if (!decodeIncrHeader(hb, sizeof hb, &h)) throw AgentError(path + " is not a velloc incremental");
    if (h.partitionId != m.partitionId || h.blockSize != m.source.blockSize || h.totalBlocks != m.source.totalBlocks)
      throw AgentError(roundName(e.round) + " (" + path + ") is from another partition than " + dir + " (" +
                       m.source.device + " of " + m.source.image + ")");
    if (int(h.round) != e.round)
      throw AgentError(path + " holds round " + std::to_string(h.round) + ", not " + std::to_string(e.round));
    if (!prev || h.presentedKeyDigest != prev->keyDigest || e.presentedKeyDigest != prev->keyDigest)
      throw AgentError(roundName(e.round) + " does not follow " + roundName(e.round - 1) +
                       ": its change map was taken against another snapshot (key digests differ)");
  }
  if (sha256File(path) != e.sha256)
    throw AgentError(roundName(e.round) + " file " + path + " does not match its checksum in the manifest (corrupt or replaced)");
  if (!e.incremental) return {};
  std::string mapPath = dir + "/" + e.mapFile;
  if (!fs::exists(mapPath)) throw AgentError(roundName(e.round) + " is missing its change map: " + mapPath + " not found");
  std::string bytes = fs::readFile(mapPath);
  if (Sha256::hexOf(bytes.data(), bytes.size()) != e.mapSha256)
    throw AgentError(roundName(e.round) + " change map " + mapPath + " does not match its checksum (corrupt or replaced)");
  if (bytes.size() != (uint64_t(m.source.totalBlocks) + 7) / 8)
    throw AgentError(mapPath + " has the wrong size for " + std::to_string(m.source.totalBlocks) + " blocks");
  Bitmap map = Bitmap::fromBytes(m.source.totalBlocks, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  if (map.count() * m.source.blockSize + kIncrHeaderBytes != e.bytes)
    throw AgentError(roundName(e.round) + ": its change map and its data disagree on the number of blocks");
  return map;
}

}  // namespace

RestoreResult restoreImage(const std::string& dir, int round, const std::string& out) {
  Manifest m = Manifest::load(dir);
  auto chain = chainFor(m, dir, round);
  std::vector<Bitmap> maps;
  for (size_t i = 0; i < chain.size(); ++i) maps.push_back(checkRound(m, dir, *chain[i], i ? chain[i - 1] : nullptr));

  if (fs::exists(out)) throw AgentError("output image " + out + " already exists; choose a new name");
  std::string parent = fs::parentOf(out);
  struct stat st;
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw AgentError("cannot create " + out + ": directory " + parent + " does not exist");
  std::string tmp = out + ".partial-" + std::to_string(::getpid());
  RestoreResult res;
  const uint32_t bs = m.source.blockSize;
  try {
    fs::Fd o(fs::openOrThrow(tmp, O_RDWR | O_CREAT | O_TRUNC, "create"));
    // The full image is copied as it is, then each incremental overwrites its blocks.
    {
      std::string src = dir + "/" + chain[0]->file;
      fs::Fd in(fs::openOrThrow(src, O_RDONLY, "read"));
      uint64_t size = fs::fileSize(in.get(), src);
      std::vector<uint8_t> buf(4 << 20);
      for (uint64_t off = 0; off < size;) {
        size_t n = size_t(std::min<uint64_t>(buf.size(), size - off));
        fs::preadAll(in.get(), buf.data(), n, off, src);
        fs::pwriteAll(o.get(), buf.data(), n, off, tmp);
        off += n;
      }
      res.bytes = size;
      res.chain.push_back(chain[0]->round);
    }
    for (size_t i = 1; i < chain.size(); ++i) {
      std::string src = dir + "/" + chain[i]->file;
      fs::Fd in(fs::openOrThrow(src, O_RDONLY, "read"));
      uint64_t k = 0;
      std::vector<uint8_t> buf;
      maps[i].forEachRun(1024, [&](uint32_t first, uint32_t count) {
        buf.resize(size_t(count) * bs);
        fs::preadAll(in.get(), buf.data(), buf.size(), kIncrHeaderBytes + k * bs, src);
        fs::pwriteAll(o.get(), buf.data(), buf.size(), uint64_t(first) * bs, tmp);
        k += count;
        return true;
      });
      res.blocksApplied += k;
      res.chain.push_back(chain[i]->round);
    }
    fs::fsyncOrThrow(o.get(), tmp);
    o.close();
    fs::renameOrThrow(tmp, out);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  return res;
}

namespace {

void compareRuns(VerifyResult& r, const uint8_t* a, const uint8_t* b, uint64_t bytes, uint64_t firstBlock,
                 size_t maxList) {
  for (uint64_t off = 0; off < bytes; off += r.blockSize) {
    size_t n = size_t(std::min<uint64_t>(r.blockSize, bytes - off));
    if (std::memcmp(a + off, b + off, n) != 0) {
      if (r.first.size() < maxList) r.first.push_back(firstBlock + off / r.blockSize);
      r.differing++;
    }
  }
}

}  // namespace

VerifyResult verifyImages(const std::string& a, const std::string& b, uint32_t blockSize, size_t maxList) {
  if (blockSize == 0) throw AgentError("block size must be positive");
  fs::Fd fa(fs::openOrThrow(a, O_RDONLY, "read")), fb(fs::openOrThrow(b, O_RDONLY, "read"));
  VerifyResult r;
  r.blockSize = blockSize;
  r.sizeA = fs::fileSize(fa.get(), a);
  r.sizeB = fs::fileSize(fb.get(), b);
  uint64_t common = std::min(r.sizeA, r.sizeB);
  const size_t chunk = size_t(blockSize) * std::max<size_t>(1, (4u << 20) / blockSize);
  std::vector<uint8_t> ba(chunk), bb(chunk);
  for (uint64_t off = 0; off < common; off += chunk) {
    size_t n = size_t(std::min<uint64_t>(chunk, common - off));
    fs::preadAll(fa.get(), ba.data(), n, off, a);
    fs::preadAll(fb.get(), bb.data(), n, off, b);
    if (std::memcmp(ba.data(), bb.data(), n) != 0) compareRuns(r, ba.data(), bb.data(), n, off / blockSize, maxList);
  }
  r.same = r.differing == 0 && r.sizeA == r.sizeB;
  return r;
}

VerifyResult verifyAgainst(const std::string& a, const uint8_t* truth, uint64_t bytes, uint32_t blockSize,
                           size_t maxList) {
  fs::Fd fa(fs::openOrThrow(a, O_RDONLY, "read"));
  VerifyResult r;
  r.blockSize = blockSize;
  r.sizeA = fs::fileSize(fa.get(), a);
  r.sizeB = bytes;
  uint64_t common = std::min(r.sizeA, r.sizeB);
  const size_t chunk = size_t(blockSize) * std::max<size_t>(1, (4u << 20) / blockSize);
  std::vector<uint8_t> ba(chunk);
  for (uint64_t off = 0; off < common; off += chunk) {
    size_t n = size_t(std::min<uint64_t>(chunk, common - off));
    fs::preadAll(fa.get(), ba.data(), n, off, a);
    if (std::memcmp(ba.data(), truth + off, n) != 0) compareRuns(r, ba.data(), truth + off, n, off / blockSize, maxList);
  }
  r.same = r.differing == 0 && r.sizeA == r.sizeB;
  return r;
}

}  // namespace velloc::agent

namespace velloc::agent {

VerifyResult verifyIncrement(const std::string& dir, int round, const uint8_t* truth, uint64_t bytes,
                             size_t maxList) {
  Manifest m = Manifest::load(dir);
  const RoundEntry* e = nullptr;
  for (const auto& r : m.rounds)
    if (r.round == round) e = &r;
  if (!e || !e->incremental) throw AgentError("round " + std::to_string(round) + " of " + dir + " is no incremental");
  std::string mapBytes = fs::readFile(dir + "/" + e->mapFile);
  Bitmap map = Bitmap::fromBytes(m.source.totalBlocks, std::vector<uint8_t>(mapBytes.begin(), mapBytes.end()));
  const uint32_t bs = m.source.blockSize;
  std::string path = dir + "/" + e->file;
  fs::Fd in(fs::openOrThrow(path, O_RDONLY, "read"));
  VerifyResult r;
  r.blockSize = bs;
  r.sizeA = map.count() * bs;
  r.sizeB = r.sizeA;
  uint64_t k = 0;
  std::vector<uint8_t> buf;
  map.forEachRun(1024, [&](uint32_t first, uint32_t count) {
    buf.resize(size_t(count) * bs);
    fs::preadAll(in.get(), buf.data(), buf.size(), kIncrHeaderBytes + k * bs, path);
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t off = uint64_t(first + i) * bs;
      if (off + bs > bytes || std::memcmp(buf.data() + size_t(i) * bs, truth + off, bs) != 0) {
        if (r.first.size() < maxList) r.first.push_back(first + i);
        r.differing++;
      }
    }
    k += count;
    return true;
  });
  r.same = r.differing == 0;
  return r;
}

}  // namespace velloc::agent
