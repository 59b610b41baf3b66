#include "velloc/agent/check.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "fileutil.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/bitmap.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/key_file.h"
#include "velloc/agent/round_chunks.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

namespace {

std::string roundName(int r) { return "round " + std::to_string(r); }

uint64_t sizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// The incremental's header against the manifest and the round before it.
void incrementalHeaderProblems(const Manifest& m, const std::string& dir, const RoundEntry& e,
                               const RoundEntry* prev, std::vector<std::string>& out) {
  const std::string path = dir + "/" + e.file;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    out.push_back("cannot read " + path + ": " + fs::errnoText(errno));
    return;
  }
  fs::Fd owned(fd);
  uint8_t hb[kIncrHeaderBytes];
  IncrHeader h;
  if (fs::fileSize(fd, path) < kIncrHeaderBytes) {
    out.push_back(path + " is truncated");
    return;
  }
  fs::preadAll(fd, hb, sizeof hb, 0, path);
  if (!decodeIncrHeader(hb, sizeof hb, &h)) {
    out.push_back(path + " is not a velloc incremental");
    return;
  }
  if (h.partitionId != m.partitionId || h.blockSize != m.source.blockSize || h.totalBlocks != m.source.totalBlocks) {
    out.push_back(roundName(e.round) + " (" + path + ") is from another partition than " + dir + " (" +
                  m.source.device + " of " + m.source.image + ")");
    return;
  }
  if (int(h.round) != e.round) {
    out.push_back(path + " holds round " + std::to_string(h.round) + ", not " + std::to_string(e.round));
    return;
  }
  if (!prev || h.presentedKeyDigest != prev->keyDigest || e.presentedKeyDigest != prev->keyDigest) {
    out.push_back(roundName(e.round) + " does not follow " + roundName(e.round - 1) +
                  ": its change map was taken against another snapshot (key digests differ)");
    return;
  }
  if (h.keyDigest != e.keyDigest || h.mapSha256 != e.mapSha256 || h.changedBlocks != e.blocks)
    out.push_back("the header of " + path + " disagrees with the manifest (" +
                  (h.keyDigest != e.keyDigest ? "key digest" : h.mapSha256 != e.mapSha256 ? "map checksum" : "blocks") +
                  ")");
}

void mapProblems(const Manifest& m, const std::string& dir, const RoundEntry& e, std::vector<std::string>& out) {
  const std::string mapPath = dir + "/" + e.mapFile;
  if (!fs::exists(mapPath)) {
    out.push_back(roundName(e.round) + " is missing its change map: " + mapPath + " not found");
    return;
  }
  std::string bytes;
  try {
    bytes = fs::readFile(mapPath);
  } catch (const AgentError& err) {
    out.push_back(err.what());
    return;
  }
  if (Sha256::hexOf(bytes.data(), bytes.size()) != e.mapSha256) {
    out.push_back(roundName(e.round) + " change map " + mapPath + " does not match its checksum (corrupt or replaced)");
    return;
  }
  if (bytes.size() != (uint64_t(m.source.totalBlocks) + 7) / 8) {
    out.push_back(mapPath + " has the wrong size for " + std::to_string(m.source.totalBlocks) + " blocks");
    return;
  }
  Bitmap map = Bitmap::fromBytes(m.source.totalBlocks, std::vector<uint8_t>(bytes.begin(), bytes.end()));
  if (map.count() != e.blocks ||
      (e.encoding == "raw" && map.count() * m.source.blockSize + kIncrHeaderBytes != e.bytes))
    out.push_back(roundName(e.round) + ": its change map and its data disagree on the number of blocks");
}

}  // namespace

std::vector<std::string> roundProblems(const Manifest& m, const std::string& dir, const RoundEntry& e,
                                       const RoundEntry* prev, bool readData) {
  std::vector<std::string> out;
  const std::string path = dir + "/" + e.file;
  if (!fs::exists(path)) {
    out.push_back(roundName(e.round) + " is missing: " + path + " not found");
    return out;
  }
  uint64_t size = sizeOf(path);
  if (e.encoding == kChunkedEncoding) {
    std::string p = chunkedProblems(path, chunkHeaderOf(m, e), readData);
    if (!p.empty()) out.push_back(p);
    else if (e.incremental && (!prev || e.presentedKeyDigest != prev->keyDigest))
      out.push_back(roundName(e.round) + " does not follow " + roundName(e.round - 1) +
                    ": its change map was taken against another snapshot (key digests differ)");
    else if (e.incremental)
      mapProblems(m, dir, e, out);
    if (!out.empty()) return out;
  } else if (e.encoding != "raw") {
    out.push_back(path + " is stored as \"" + e.encoding + "\", which this velloc cannot read (a newer one wrote it?)");
    return out;
  } else if (!e.incremental) {
    uint64_t want = uint64_t(m.source.totalBlocks) * m.source.blockSize;
    if (size != want) {
      out.push_back(roundName(e.round) + " image " + path + " has " + std::to_string(size) + " bytes, the partition " +
                    std::to_string(want) + ": it belongs to another partition or is truncated");
      return out;
    }
  } else {
    incrementalHeaderProblems(m, dir, e, prev, out);
    if (!out.empty()) return out;
    mapProblems(m, dir, e, out);
    if (!out.empty()) return out;
  }
  if (size != e.bytes) {
    out.push_back(path + " has " + std::to_string(size) + " bytes, the manifest says " + std::to_string(e.bytes) +
                  " (truncated or replaced)");
    return out;
  }
  if (readData && sha256File(path) != e.sha256)
    out.push_back(roundName(e.round) + " file " + path +
                  " does not match its checksum in the manifest (corrupt or replaced)");
  return out;
}

namespace {

bool isLeftoverName(const std::string& name) {
  return name.find(".partial-") != std::string::npos || name.rfind("round-", 0) == 0;
}

// True when some live process holds the flock of a partial file.
bool writtenNow(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool busy = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
  ::close(fd);
  return busy;
}

}  // namespace

CheckReport checkBackupDir(const std::string& dir, bool readData) {
  CheckReport rep;
  rep.dir = dir;
  rep.readData = readData;
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || !fs::exists(dir + "/manifest.json")) {
    rep.couldNotCheck = true;
    std::string why = ::stat(dir.c_str(), &st) != 0 ? fs::errnoText(errno)
                      : !S_ISDIR(st.st_mode)        ? std::string("not a directory")
                                                    : std::string("no manifest.json: not a velloc backup");
    rep.problems.push_back({dir, why});
    return rep;
  }
  Manifest m;
  try {
    m = Manifest::load(dir);
  } catch (const AgentError& e) {
    rep.problems.push_back({dir + "/manifest.json", e.what()});
    return rep;
  }
  rep.rounds = int(m.rounds.size());
  std::set<std::string> known = {"manifest.json", "lock", kKeyFileName, "kernel.log"};
  const RoundEntry* prev = nullptr;
  for (const RoundEntry& e : m.rounds) {
    if (prev && e.round != prev->round + 1)
      rep.problems.push_back({dir + "/manifest.json", "round " + std::to_string(e.round) + " follows round " +
                                                          std::to_string(prev->round) + ": rounds are missing or out of order"});
    if (!prev && e.incremental)
      rep.problems.push_back({dir + "/manifest.json", "the first round listed (" + std::to_string(e.round) +
                                                          ") is an incremental: no full image to start from"});
    for (const std::string& p : roundProblems(m, dir, e, prev, readData)) rep.problems.push_back({dir + "/" + e.file, p});
    known.insert(e.file);
    rep.files++;
    rep.bytes += e.bytes;
    if (e.incremental) {
      known.insert(e.mapFile);
      rep.files++;
    }
    prev = &e;
  }
  if (fs::exists(dir + "/" + kKeyFileName)) {
    KeyFileRead k = readKeyFile(dir, m);
    if (!k.ok) (k.stale ? rep.notes : rep.problems).push_back({dir + "/" + kKeyFileName, k.reason});
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (known.count(name)) continue;
    std::string path = dir + "/" + name;
    if (!isLeftoverName(name))
      rep.problems.push_back({path, "unknown file: velloc did not write it"});
    else if (name.find(".partial-") != std::string::npos && writtenNow(path))
      rep.notes.push_back({path, "being written by a running velloc"});
    else
      rep.notes.push_back({path, "left by an interrupted run; no round needs it and the next backup, merge or prune "
                                 "removes it"});
  }
  return rep;
}

}  // namespace velloc::agent
