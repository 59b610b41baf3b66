#include "velloc/agent/backup_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "fileutil.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

using nlohmann::json;

std::string SourceInfo::id() const {
  std::string s = "velloc-partition\n" + image + "\n" + std::to_string(partition) + "\n" +
                  std::to_string(startSector) + "\n" + std::to_string(sectors) + "\n" + std::to_string(blockSize);
  return Sha256::hexOf(s.data(), s.size());
}

std::string roundFileName(int round, bool incremental) {
  char b[40];
  std::snprintf(b, sizeof b, "round-%03d.%s", round, incremental ? "incr" : "full.img");
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
  j["version"] = 1;
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

Manifest Manifest::load(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) throw AgentError("backup directory " + dir + ": " + fs::errnoText(errno));
  if (!S_ISDIR(st.st_mode)) throw AgentError(dir + " is not a directory");
  std::string path = dir + "/manifest.json";
  if (!fs::exists(path)) throw AgentError(dir + " is not a velloc backup: manifest.json is missing");
  Manifest m;
  try {
    json j = json::parse(fs::readFile(path));
    if (j.value("format", "") != "velloc-backup")
      throw AgentError(path + " is not a velloc backup manifest");
    if (j.value("version", 0) != 1)
      throw AgentError(path + " has manifest version " + std::to_string(j.value("version", 0)) + ", expected 1");
    m.partitionId = j.at("partitionId").get<std::string>();
    const json& s = j.at("source");
    m.source.image = s.at("image");
    m.source.partition = s.at("partition");
    m.source.device = s.value("device", "");
    m.source.major = s.at("major");
    m.source.minor = s.at("minor");
    m.source.startSector = s.at("startSector");
    m.source.sectors = s.at("sectors");
    m.source.blockSize = s.at("blockSize");
    m.source.totalBlocks = s.at("totalBlocks");
    for (const json& e : j.at("rounds")) {
      RoundEntry r;
      r.round = e.at("round");
      r.incremental = e.at("kind").get<std::string>() == "incremental";
      r.file = e.at("file");
      r.bytes = e.at("bytes");
      r.sha256 = e.at("sha256");
      r.blocks = e.at("blocks");
      r.keyDigest = e.at("keyDigest");
      r.seconds = e.value("seconds", 0.0);
      if (r.incremental) {
        r.mapFile = e.at("map");
        r.mapSha256 = e.at("mapSha256");
        r.presentedKeyDigest = e.at("presentedKeyDigest");
      } else {
        r.reason = e.value("reason", "");
      }
      m.rounds.push_back(r);
    }
  } catch (const json::exception& e) {
    throw AgentError(path + " is damaged: " + e.what());
  }
  if (m.source.blockSize < 512 || m.source.blockSize > 4096 || (m.source.blockSize & (m.source.blockSize - 1)))
    throw AgentError(path + " is damaged: block size " + std::to_string(m.source.blockSize));
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
    for (const Piece& p : pieces) iov.push_back({const_cast<uint8_t*>(p.data), p.len});
    fs::pwritevAll(fd_, iov.data(), int(iov.size()), off, path_);
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
  Bitmap ranked;  // incrementals: the change map with its rank table
};

BackupDirWriter::BackupDirWriter(const std::string& dir, const SourceInfo& src) : final_(dir) {
  std::string d = dir;
  while (d.size() > 1 && d.back() == '/') d.pop_back();
  final_ = d;
  if (fs::exists(final_)) throw AgentError("output directory " + final_ + " already exists; choose a new one");
  std::string parent = fs::parentOf(final_);
  struct stat st;
  if (::stat(parent.c_str(), &st) != 0)
    throw AgentError("cannot create " + final_ + ": " + parent + ": " + fs::errnoText(errno));
  if (!S_ISDIR(st.st_mode)) throw AgentError("cannot create " + final_ + ": " + parent + " is not a directory");
  if (::access(parent.c_str(), W_OK) != 0)
    throw AgentError("cannot create " + final_ + ": " + parent + " is not writable");
  tmp_ = final_ + ".partial-" + std::to_string(::getpid());
  fs::removeTree(tmp_);
  if (::mkdir(tmp_.c_str(), 0755) != 0)
    throw AgentError("cannot create " + final_ + ": " + fs::errnoText(errno));
  m_.source = src;
  m_.partitionId = src.id();
}

BackupDirWriter::~BackupDirWriter() {
  cur_.reset();
  if (!published_) fs::removeTree(tmp_);
}

std::unique_ptr<BlockSink> BackupDirWriter::openRound(int round, const RoundPlan& plan) {
  abortRound(round);
  cur_ = std::make_unique<RoundFiles>();
  cur_->round = round;
  cur_->tmp = tmp_ + "/" + roundFileName(round, plan.incremental) + ".tmp";
  cur_->fd = fs::Fd(fs::openOrThrow(cur_->tmp, O_RDWR | O_CREAT | O_TRUNC, "create"));
  uint64_t bs = m_.source.blockSize;
  uint64_t size = plan.incremental ? kIncrHeaderBytes + plan.blocks.count() * bs : uint64_t(m_.source.totalBlocks) * bs;
  if (::ftruncate(cur_->fd.get(), off_t(size)) != 0)
    throw AgentError("cannot size " + cur_->tmp + ": " + fs::errnoText(errno));
  const Bitmap* ranked = nullptr;
  if (plan.incremental) {
    cur_->ranked = plan.blocks;
    cur_->ranked.buildRank();
    ranked = &cur_->ranked;
  }
  return std::make_unique<FileSink>(cur_->fd.get(), cur_->tmp, m_.source.blockSize, ranked);
}

RoundEntry BackupDirWriter::commitRound(int round, const RoundPlan& plan, const RoundResult& r) {
  if (!cur_ || cur_->round != round) throw AgentError("internal error: round " + std::to_string(round) + " not open");
  RoundEntry e;
  e.round = round;
  e.incremental = plan.incremental;
  e.file = roundFileName(round, plan.incremental);
  e.blocks = r.blocksCopied;
  e.keyDigest = plan.keyDigest;
  e.presentedKeyDigest = plan.presentedKeyDigest;
  e.reason = plan.fallbackReason;
  e.seconds = r.secondsTotal;
  if (plan.incremental) {
    e.mapFile = roundMapName(round);
    const auto& bytes = plan.blocks.bytes();
    e.mapSha256 = Sha256::hexOf(bytes.data(), bytes.size());
    fs::writeFileAtomic(tmp_ + "/" + e.mapFile, bytes.data(), bytes.size());
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
  m_.rounds.push_back(e);
  m_.save(published_ ? final_ : tmp_);
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
  fs::renameOrThrow(tmp_, final_);
  published_ = true;
  tmp_ = final_;  // later rounds go straight into the published directory
}

}  // namespace velloc::agent
