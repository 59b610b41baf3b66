#include "velloc/agent/backup_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <limits>
#include <set>
#include <type_traits>

#include "fileutil.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/key_file.h"
#include "velloc/agent/restore.h"
#include "velloc/agent/round_chunks.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

using nlohmann::json;

std::string SourceInfo::id() const {
  std::string s = "velloc-partition\n" + image + "\n" + std::to_string(partition) + "\n" +
                  std::to_string(startSector) + "\n" + std::to_string(sectors) + "\n" + std::to_string(blockSize);
  return Sha256::hexOf(s.data(), s.size());
}

std::string roundFileName(int round, bool incremental, Compression c) {
  char b[40];
  std::snprintf(b, sizeof b, "round-%03d.%s%s", round, incremental ? "incr" : c == Compression::none ? "full.img" : "full",
                c == Compression::none ? "" : ".zchunks");
  return b;
}

std::string roundMapName(int round) {
  char b[40];
  std::snprintf(b, sizeof b, "round-%03d.map", round);
  return b;
}

// ---- manifest --------------------------------------------------------------------------

void Manifest::save(const std::string& dir) const {
  json j;
  j["format"] = "velloc-backup";
  bool allRaw = std::all_of(rounds.begin(), rounds.end(), [](const RoundEntry& r) { return r.encoding == "raw"; });
  // A full image that left free blocks out no longer equals its partition block for
  // block, which versions before 3 take for granted.
  bool usedOnly = std::any_of(rounds.begin(), rounds.end(), [](const RoundEntry& r) { return r.blockMap == "used"; });
  j["version"] = usedOnly ? 3 : allRaw ? 1 : 2;
  j["partitionId"] = partitionId;
  j["source"] = {{"image", source.image},         {"partition", source.partition},
                 {"device", source.device},       {"major", source.major},
                 {"minor", source.minor},         {"startSector", source.startSector},
                 {"sectors", source.sectors},     {"blockSize", source.blockSize},
                 {"totalBlocks", source.totalBlocks}};
  j["rounds"] = json::array();
  for (const RoundEntry& r : rounds) {
    json e = {{"round", r.round},
              {"kind", r.incremental ? "incremental" : "full"},
              {"file", r.file},
              {"bytes", r.bytes},
              {"sha256", r.sha256},
              {"blocks", r.blocks},
              {"keyDigest", r.keyDigest},
              {"seconds", r.seconds}};
    if (r.encoding != "raw") e["encoding"] = r.encoding;
    if (!r.blockMap.empty()) e["blockMap"] = r.blockMap;
    if (!r.allBlocksReason.empty()) e["allBlocksReason"] = r.allBlocksReason;
    if (r.incremental) {
      e["map"] = r.mapFile;
      e["mapSha256"] = r.mapSha256;
      e["presentedKeyDigest"] = r.presentedKeyDigest;
    } else {
      e["reason"] = r.reason;
    }
    j["rounds"].push_back(e);
  }
  std::string s = j.dump(2) + "\n";
  fs::writeFileAtomic(dir + "/manifest.json", s.data(), s.size());
}

namespace {

// Reads manifest fields, naming the one that is missing or of the wrong kind.
class Fields {
 public:
  Fields(const std::string& path) : path_(path) {}
  template <class T>
  T get(const json& j, const char* name, const std::string& where) const {
    if (!j.is_object() || !j.contains(name)) damaged(where + " has no \"" + name + "\"");
    const json& v = j[name];
    if constexpr (std::is_same_v<T, std::string>) {
      if (!v.is_string()) damaged(where + "'s \"" + name + "\" is not text");
      return v.get<std::string>();
    } else if constexpr (std::is_floating_point_v<T>) {
      if (!v.is_number()) damaged(where + "'s \"" + name + "\" is not a number");
      return v.get<T>();
    } else {
      if (!v.is_number_integer()) damaged(where + "'s \"" + name + "\" is not a whole number");
      bool fits = v.is_number_unsigned() ? v.get<uint64_t>() <= uint64_t(std::numeric_limits<T>::max())
                                         : v.get<int64_t>() >= int64_t(std::numeric_limits<T>::min()) &&
                                               (std::is_unsigned_v<T> || v.get<int64_t>() <= int64_t(std::numeric_limits<T>::max()));
      if (!fits) damaged(where + "'s \"" + name + "\" is out of range");
      return v.get<T>();
    }
  }
  template <class T>
  T opt(const json& j, const char* name, const std::string& where, T dflt) const {
    return j.is_object() && j.contains(name) ? get<T>(j, name, where) : dflt;
  }
  [[noreturn]] void damaged(const std::string& what) const { throw AgentError(path_ + " is damaged: " + what); }

 private:
  std::string path_;
};

}  // namespace

Manifest Manifest::load(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) throw AgentError("backup directory " + dir + ": " + fs::errnoText(errno));
  if (!S_ISDIR(st.st_mode)) throw AgentError(dir + " is not a directory");
  std::string path = dir + "/manifest.json";
  if (!fs::exists(path)) throw AgentError(dir + " is not a velloc backup: manifest.json is missing");
  Manifest m;
  Fields f(path);
  json j = json::parse(fs::readFile(path), nullptr, false);
  if (j.is_discarded()) f.damaged("it is not valid JSON (cut short or overwritten?)");
  if (!j.is_object() || f.opt<std::string>(j, "format", "the manifest", "") != "velloc-backup")
    throw AgentError(path + " is not a velloc backup manifest");
  int version = f.get<int>(j, "version", "the manifest");
  if (version < 1 || version > kManifestVersion)
    throw AgentError(path + " has manifest version " + std::to_string(version) + "; this velloc reads versions 1-" +
                     std::to_string(kManifestVersion) + " (a newer velloc wrote it?)");
  m.partitionId = f.get<std::string>(j, "partitionId", "the manifest");
  if (!j.contains("source")) f.damaged("the manifest has no \"source\"");
  const json& s = j["source"];
  const std::string src = "\"source\"";
  m.source.image = f.get<std::string>(s, "image", src);
  m.source.partition = f.get<int>(s, "partition", src);
  m.source.device = f.opt<std::string>(s, "device", src, "");
  m.source.major = f.get<uint32_t>(s, "major", src);
  m.source.minor = f.get<uint32_t>(s, "minor", src);
  m.source.startSector = f.get<uint64_t>(s, "startSector", src);
  m.source.sectors = f.get<uint64_t>(s, "sectors", src);
  m.source.blockSize = f.get<uint32_t>(s, "blockSize", src);
  m.source.totalBlocks = f.get<uint32_t>(s, "totalBlocks", src);
  if (!j.contains("rounds") || !j["rounds"].is_array()) f.damaged("the manifest has no list of \"rounds\"");
  for (const json& e : j["rounds"]) {
    RoundEntry r;
    std::string where = "round entry " + std::to_string(m.rounds.size() + 1);
    r.round = f.get<int>(e, "round", where);
    where = "round " + std::to_string(r.round);
    std::string kind = f.get<std::string>(e, "kind", where);
    if (kind != "incremental" && kind != "full") f.damaged(where + " has kind \"" + kind + "\"");
    r.incremental = kind == "incremental";
    r.file = f.get<std::string>(e, "file", where);
    r.bytes = f.get<uint64_t>(e, "bytes", where);
    r.sha256 = f.get<std::string>(e, "sha256", where);
    r.blocks = f.get<uint64_t>(e, "blocks", where);
    r.keyDigest = f.get<std::string>(e, "keyDigest", where);
    r.seconds = f.opt<double>(e, "seconds", where, 0.0);
    r.encoding = f.opt<std::string>(e, "encoding", where, "raw");
    r.blockMap = f.opt<std::string>(e, "blockMap", where, "");
    if (!r.blockMap.empty() && r.blockMap != "used" && r.blockMap != "all")
      f.damaged(where + " has block map \"" + r.blockMap + "\"");
    r.allBlocksReason = f.opt<std::string>(e, "allBlocksReason", where, "");
    if (r.incremental) {
      r.mapFile = f.get<std::string>(e, "map", where);
      r.mapSha256 = f.get<std::string>(e, "mapSha256", where);
      r.presentedKeyDigest = f.get<std::string>(e, "presentedKeyDigest", where);
    } else {
      r.reason = f.opt<std::string>(e, "reason", where, "");
    }
    if (r.file.find('/') != std::string::npos || r.mapFile.find('/') != std::string::npos)
      f.damaged(where + " names a file outside the backup directory");
    m.rounds.push_back(r);
  }
  if (m.source.blockSize < 512 || m.source.blockSize > 4096 || (m.source.blockSize & (m.source.blockSize - 1)))
    f.damaged("block size " + std::to_string(m.source.blockSize));
  return m;
}

// ---- incremental header ----------------------------------------------------------------

namespace {
void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + size_t(i)] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t* p, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(p[off + size_t(i)]) << (8 * i);
  return v;
}
void putHex(std::vector<uint8_t>& b, size_t off, const std::string& s) {
  std::memcpy(b.data() + off, s.data(), std::min<size_t>(s.size(), 64));
}
std::string getHex(const uint8_t* p, size_t off) {
  std::string s(reinterpret_cast<const char*>(p + off), 64);
  return s.substr(0, s.find('\0'));
}
}  // namespace

std::vector<uint8_t> encodeIncrHeader(const IncrHeader& h) {
  std::vector<uint8_t> b(kIncrHeaderBytes, 0);
  std::memcpy(b.data(), kIncrMagic, 8);
  put32(b, 8, h.version);
  put32(b, 12, kIncrHeaderBytes);
  put32(b, 16, h.round);
  put32(b, 20, h.blockSize);
  put32(b, 24, h.totalBlocks);
  put32(b, 28, h.changedBlocks);
  putHex(b, 32, h.partitionId);
  putHex(b, 96, h.presentedKeyDigest);
  putHex(b, 160, h.keyDigest);
  putHex(b, 224, h.mapSha256);
  return b;
}

bool decodeIncrHeader(const uint8_t* p, size_t len, IncrHeader* h) {
  if (len < 288 || std::memcmp(p, kIncrMagic, 8) != 0) return false;
  h->version = get32(p, 8);
  if (get32(p, 12) != kIncrHeaderBytes) return false;
  h->round = get32(p, 16);
  h->blockSize = get32(p, 20);
  h->totalBlocks = get32(p, 24);
  h->changedBlocks = get32(p, 28);
  h->partitionId = getHex(p, 32);
  h->presentedKeyDigest = getHex(p, 96);
  h->keyDigest = getHex(p, 160);
  h->mapSha256 = getHex(p, 224);
  return true;
}

// ---- writer ----------------------------------------------------------------------------

namespace {

// Writes blocks at their place in the round's file: a full image at block x block size,
// an incremental packed in block order after its header.
class FileSink : public BlockSink {
 public:
  FileSink(int fd, std::string path, uint32_t bs, const Bitmap* ranked)
      : fd_(fd), path_(std::move(path)), bs_(bs), ranked_(ranked) {}
  using BlockSink::write;
  void write(uint32_t block, const std::vector<Piece>& pieces, uint32_t count) override {
    uint64_t off = ranked_ ? kIncrHeaderBytes + ranked_->rank(block) * bs_ : uint64_t(block) * bs_;
    std::vector<struct iovec> iov;
    if (ranked_) {
      for (const Piece& p : pieces) iov.push_back({const_cast<uint8_t*>(p.data), p.len});
      fs::pwritevAll(fd_, iov.data(), int(iov.size()), off, path_);
      return;
    }
    // A full image is a file of the partition's size that reads as zeros where nothing
    // was written: pieces of zeros are left as holes.
    uint64_t at = off, groupAt = off;
    auto flush = [&] {
      if (!iov.empty()) fs::pwritevAll(fd_, iov.data(), int(iov.size()), groupAt, path_);
      iov.clear();
    };
    for (const Piece& p : pieces) {
      if (isZeroBlock(p.data, p.len)) {
        flush();
      } else {
        if (iov.empty()) groupAt = at;
        iov.push_back({const_cast<uint8_t*>(p.data), p.len});
      }
      at += p.len;
    }
    flush();
  }
 private:
  int fd_;
  std::string path_;
  uint32_t bs_;
  const Bitmap* ranked_;
};

}  // namespace

struct RoundFiles {
  int round = -1;
  fs::Fd fd;
  std::string tmp;
  PartialGuard guard;
  Compression compression = Compression::none;
  std::unique_ptr<ChunkedSink> chunked;  // compressed rounds
  Bitmap ranked;  // incrementals: the change map with its rank table
};

BackupDirWriter::BackupDirWriter(const std::string& dir, const SourceInfo& src, double lockWaitSeconds) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  final_ = d;
  m_.source = src;
  m_.partitionId = src.id();
  if (fs::exists(final_))
    continueExisting(src, lockWaitSeconds);
  else
    createNew();
}

void BackupDirWriter::createNew() {
  std::string parent = fs::parentOf(final_);
  struct stat st;
  if (::stat(parent.c_str(), &st) != 0)
    throw AgentError("cannot create " + final_ + ": " + parent + ": " + fs::errnoText(errno));
  if (!S_ISDIR(st.st_mode)) throw AgentError("cannot create " + final_ + ": " + parent + " is not a directory");
  if (::access(parent.c_str(), W_OK) != 0)
    throw AgentError("cannot create " + final_ + ": " + parent + " is not writable");
  removeDeadPartials(parent, std::filesystem::path(final_).filename().string() + ".partial-");
  tmp_ = partialName(final_);
  fs::removeTree(tmp_);
  if (::mkdir(tmp_.c_str(), 0755) != 0)
    throw AgentError("cannot create " + final_ + ": " + fs::errnoText(errno));
  tmpGuard_ = PartialGuard(tmp_, true);
  lock_ = RepoLock::acquire(tmp_);
}

void BackupDirWriter::continueExisting(const SourceInfo& src, double lockWaitSeconds) {
  struct stat st;
  if (::stat(final_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw AgentError("output directory " + final_ + " already exists and is not a directory; choose a new one");
  if (!fs::exists(final_ + "/manifest.json"))
    throw AgentError("output directory " + final_ + " already exists and holds no velloc backup; choose a new one");
  lock_ = RepoLock::acquire(final_, lockWaitSeconds);
  Manifest m = Manifest::load(final_);
  if (m.partitionId != m_.partitionId)
    throw AgentError(final_ + " holds the backups of " + m.source.device + " (partition " +
                     std::to_string(m.source.partition) + " of " + m.source.image + "), not of " + src.device +
                     " (partition " + std::to_string(src.partition) + " of " + src.image + "); choose another directory");
  m_ = std::move(m);
  m_.source.device = src.device;  // device names may change between runs; the partition did not
  m_.source.major = src.major;
  m_.source.minor = src.minor;
  removeDeadPartials(final_);
  removeUnlistedRoundFiles(final_, m_);
  tmp_ = final_;
  published_ = true;
}

BackupDirWriter::~BackupDirWriter() {
  abortRound(-1);
  if (!published_) fs::removeTree(tmp_);
}

namespace {
// Hands the blocks on to the round's chunked file, which outlives the caller's sink.
class ForwardSink : public BlockSink {
 public:
  explicit ForwardSink(BlockSink* to) : to_(to) {}
  using BlockSink::write;
  void write(uint32_t block, const std::vector<Piece>& pieces, uint32_t count) override {
    to_->write(block, pieces, count);
  }
 private:
  BlockSink* to_;
};
}  // namespace

std::unique_ptr<BlockSink> BackupDirWriter::openRound(int round, const RoundPlan& plan) {
  abortRound(round);
  cur_ = std::make_unique<RoundFiles>();
  cur_->round = round;
  cur_->compression = compression_;
  cur_->tmp = partialName(tmp_ + "/" + roundFileName(round, plan.incremental, compression_));
  cur_->fd = fs::Fd(fs::openOrThrow(cur_->tmp, O_RDWR | O_CREAT | O_TRUNC, "create"));
  cur_->guard = PartialGuard(cur_->tmp);
  ::flock(cur_->fd.get(), LOCK_EX);
  const uint32_t bs = m_.source.blockSize;
  const Bitmap* ranked = nullptr;
  if (plan.incremental) {
    cur_->ranked = plan.blocks;
    cur_->ranked.buildRank();
    ranked = &cur_->ranked;
  }
  if (compression_ != Compression::none) {
    ChunkHeader h;
    h.blockSize = bs;
    h.blocks = plan.incremental ? plan.blocks.count() : m_.source.totalBlocks;
    h.chunkBlocks = chunkBlocksFor(bs);
    h.level = zstdLevel(compression_);
    cur_->chunked = std::make_unique<ChunkedSink>(cur_->fd.get(), cur_->tmp, h, ranked);
    return std::make_unique<ForwardSink>(cur_->chunked.get());
  }
  uint64_t size = plan.incremental ? kIncrHeaderBytes + plan.blocks.count() * bs : uint64_t(m_.source.totalBlocks) * bs;
  if (::ftruncate(cur_->fd.get(), off_t(size)) != 0)
    throw AgentError("cannot size " + cur_->tmp + ": " + fs::errnoText(errno));
  return std::make_unique<FileSink>(cur_->fd.get(), cur_->tmp, bs, ranked);
}

RoundEntry BackupDirWriter::commitRound(int round, const RoundPlan& plan, const RoundResult& r) {
  RoundEntry e = completeRound(round, plan, r);
  Manifest next = m_;
  next.rounds.push_back(e);
  switchManifest(std::move(next));
  return e;
}

void BackupDirWriter::switchManifest(Manifest next) {
  // The manifest in memory changes only once the one on disk has.
  next.save(published_ ? final_ : tmp_);
  m_ = std::move(next);
}

RoundEntry BackupDirWriter::completeRound(int round, const RoundPlan& plan, const RoundResult& r) {
  if (!cur_ || cur_->round != round) throw AgentError("internal error: round " + std::to_string(round) + " not open");
  RoundEntry e;
  e.round = round;
  e.incremental = plan.incremental;
  e.file = roundFileName(round, plan.incremental, cur_->compression);
  e.encoding = cur_->chunked ? kChunkedEncoding : "raw";
  e.blocks = r.blocksCopied;
  e.keyDigest = plan.keyDigest;
  e.presentedKeyDigest = plan.presentedKeyDigest;
  e.reason = plan.fallbackReason;
  e.blockMap = plan.usedOnly ? "used" : "all";
  e.allBlocksReason = plan.allBlocksReason;
  e.seconds = r.secondsTotal;
  if (plan.incremental) {
    e.mapFile = roundMapName(round);
    const auto& bytes = plan.blocks.bytes();
    e.mapSha256 = Sha256::hexOf(bytes.data(), bytes.size());
    fs::writeFileAtomic(tmp_ + "/" + e.mapFile, bytes.data(), bytes.size());
  }
  if (cur_->chunked) {
    cur_->chunked->finish(chunkHeaderOf(m_, e));
  } else if (plan.incremental) {
    IncrHeader h;
    h.round = uint32_t(round);
    h.blockSize = m_.source.blockSize;
    h.totalBlocks = m_.source.totalBlocks;
    h.changedBlocks = uint32_t(plan.blocks.count());
    h.partitionId = m_.partitionId;
    h.presentedKeyDigest = plan.presentedKeyDigest;
    h.keyDigest = plan.keyDigest;
    h.mapSha256 = e.mapSha256;
    auto hb = encodeIncrHeader(h);
    fs::pwriteAll(cur_->fd.get(), hb.data(), hb.size(), 0, cur_->tmp);
  }
  fs::fsyncOrThrow(cur_->fd.get(), cur_->tmp);
  e.bytes = fs::fileSize(cur_->fd.get(), cur_->tmp);
  cur_->fd.close();
  e.sha256 = sha256File(cur_->tmp);
  if (e.sha256.empty()) throw AgentError("cannot read back " + cur_->tmp);
  fs::renameOrThrow(cur_->tmp, tmp_ + "/" + e.file);
  cur_.reset();
  fs::fsyncDir(tmp_);
  return e;
}

void BackupDirWriter::abortRound(int round) {
  if (!cur_) return;
  cur_->fd.close();
  ::unlink(cur_->tmp.c_str());
  cur_.reset();
}

void BackupDirWriter::publish() {
  if (published_ || m_.rounds.empty()) return;
  if (::rename(tmp_.c_str(), final_.c_str()) != 0) {
    int e = errno;
    if (e == EEXIST || e == ENOTEMPTY)
      throw AgentError("cannot create " + final_ + ": another process created it meanwhile");
    throw AgentError("cannot rename " + tmp_ + " to " + final_ + ": " + fs::errnoText(e));
  }
  tmpGuard_.release();
  published_ = true;
  tmp_ = final_;  // later rounds go straight into the published directory
  fs::fsyncDir(fs::parentOf(final_));
}

void BackupDirWriter::keepKey(int round, const AMSessionKey& key) {
  if (m_.rounds.empty() || m_.rounds.back().round != round)
    throw AgentError("internal error: key of round " + std::to_string(round) + " kept before the round is complete");
  writeKeyFile(tmp_, round, m_.partitionId, key);
}

void removeUnlistedRoundFiles(const std::string& dir, const Manifest& m) {
  std::set<std::string> listed;
  for (const RoundEntry& r : m.rounds) {
    listed.insert(r.file);
    if (!r.mapFile.empty()) listed.insert(r.mapFile);
  }
  std::error_code ec;
  bool any = false;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.rfind("round-", 0) != 0 || listed.count(name) || name.find(".partial-") != std::string::npos) continue;
    if (it->is_regular_file(ec) && ::unlink((dir + "/" + name).c_str()) == 0) any = true;
  }
  // Best effort: what stays behind is removed by the next writer.
  if (any) try {
      fs::fsyncDir(dir);
    } catch (const AgentError&) {
    }
}

}  // namespace velloc::agent
