#include "velloc/agent/restore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "fileutil.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/bitmap.h"
#include "velloc/agent/chain_image.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/partial_files.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

namespace {

// Runs of `count` blocks at `data` split into the pieces that are not all zero.
template <class Fn>
void forEachNonZero(const uint8_t* data, uint32_t count, uint32_t bs, Fn&& fn) {
  for (uint32_t i = 0; i < count;) {
    while (i < count && isZeroBlock(data + size_t(i) * bs, bs)) ++i;
    uint32_t j = i;
    while (j < count && !isZeroBlock(data + size_t(j) * bs, bs)) ++j;
    if (j > i) fn(i, j - i);
    i = j;
  }
}

RestoreResult resultOf(const ChainImage& img) {
  RestoreResult r;
  r.chain = img.chain();
  r.blocksApplied = img.incrementalBlocks();
  r.bytes = img.bytes();
  return r;
}

// A block device to restore onto: not mounted or otherwise held, at least the size.
fs::Fd openTargetDevice(const std::string& out, const struct stat& st, uint64_t bytes) {
  if (blockDeviceMounted(st.st_rdev))
    throw AgentError("cannot restore onto " + out + ": it is mounted; unmount it first");
  int fd = ::open(out.c_str(), O_WRONLY | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    if (e == EBUSY) throw AgentError("cannot restore onto " + out + ": it is in use (mounted or held by another program)");
    throw AgentError("cannot open " + out + ": " + fs::errnoText(e));
  }
  fs::Fd dev(fd);
  uint64_t size = 0;
  if (::ioctl(fd, BLKGETSIZE64, &size) != 0) throw AgentError("cannot read the size of " + out + ": " + fs::errnoText(errno));
  if (size < bytes)
    throw AgentError("cannot restore onto " + out + ": it holds " + std::to_string(size) + " bytes, the partition " +
                     std::to_string(bytes));
  return dev;
}

}  // namespace

bool isZeroBlock(const uint8_t* p, size_t len) {
  return len == 0 || (p[0] == 0 && std::memcmp(p, p + 1, len - 1) == 0);
}

bool blockDeviceMounted(uint64_t dev) {
  std::ifstream f("/proc/self/mountinfo");
  std::string line;
  const std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  // Each line: mount id, parent id, major:minor, ...
  while (std::getline(f, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno;
    if (fields >> id >> parent >> devno && devno == want) return true;
  }
  return false;
}

RestoreResult restoreImage(const std::string& dir, int round, const std::string& out) {
  ChainImage img(dir, round);
  const uint32_t bs = img.manifest().source.blockSize;
  RestoreResult res = resultOf(img);
  struct stat st;
  if (::stat(out.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    // Onto a device every block is written: it holds whatever it held before.
    fs::Fd dev = openTargetDevice(out, st, img.bytes());
    img.forEachRun(1024, [&](uint32_t first, uint32_t count, const uint8_t* data) {
      fs::pwriteAll(dev.get(), data, size_t(count) * bs, uint64_t(first) * bs, out);
    });
    fs::fsyncOrThrow(dev.get(), out);
    res.written = img.bytes();
    return res;
  }
  if (fs::exists(out)) throw AgentError("output image " + out + " already exists; choose a new name");
  std::string parent = fs::parentOf(out);
  if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw AgentError("cannot create " + out + ": directory " + parent + " does not exist");
  removeDeadPartials(parent, std::filesystem::path(out).filename().string() + ".partial-");
  std::string tmp = partialName(out);
  try {
    fs::Fd o(fs::openOrThrow(tmp, O_RDWR | O_CREAT | O_TRUNC, "create"));
    PartialGuard guard(tmp);
    ::flock(o.get(), LOCK_EX);
    // A new file reads as zeros where nothing was written: blocks of zeros stay holes.
    if (::ftruncate(o.get(), off_t(img.bytes())) != 0)
      throw AgentError("cannot size " + tmp + ": " + fs::errnoText(errno));
    img.forEachRun(1024, [&](uint32_t first, uint32_t count, const uint8_t* data) {
      forEachNonZero(data, count, bs, [&](uint32_t at, uint32_t n) {
        fs::pwriteAll(o.get(), data + size_t(at) * bs, size_t(n) * bs, uint64_t(first + at) * bs, tmp);
        res.written += uint64_t(n) * bs;
      });
    });
    fs::fsyncOrThrow(o.get(), tmp);
    fs::renameOrThrow(tmp, out);
  } catch (...) {
    ::unlink(tmp.c_str());
    throw;
  }
  return res;
}

RestoreResult restoreToStream(const std::string& dir, int round, std::ostream& out) {
  ChainImage img(dir, round);
  const uint32_t bs = img.manifest().source.blockSize;
  RestoreResult res = resultOf(img);
  img.forEachRun(1024, [&](uint32_t, uint32_t count, const uint8_t* data) {
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size_t(count) * bs));
    if (!out) throw AgentError("cannot write the image to standard output (closed?)");
  });
  out.flush();
  res.written = img.bytes();
  return res;
}

namespace {

void compareRuns(VerifyResult& r, const uint8_t* a, const uint8_t* b, uint64_t bytes, uint64_t firstBlock,
                 size_t maxList, const Bitmap* only = nullptr) {
  for (uint64_t off = 0; off < bytes; off += r.blockSize) {
    size_t n = size_t(std::min<uint64_t>(r.blockSize, bytes - off));
    uint64_t block = firstBlock + off / r.blockSize;
    if (only && (block > 0xffffffffu || !only->test(uint32_t(block)))) continue;
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
                           size_t maxList, const Bitmap* only) {
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
    if (std::memcmp(ba.data(), truth + off, n) != 0)
      compareRuns(r, ba.data(), truth + off, n, off / blockSize, maxList, only);
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
