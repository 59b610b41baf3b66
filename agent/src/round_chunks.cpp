#include "velloc/agent/round_chunks.h"

#include <fcntl.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "fileutil.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/restore.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

bool parseCompression(const std::string& s, Compression* c) {
  if (s == "none") *c = Compression::none;
  else if (s == "fast") *c = Compression::fast;
  else if (s == "strong") *c = Compression::strong;
  else return false;
  return true;
}

const char* compressionName(Compression c) {
  return c == Compression::none ? "none" : c == Compression::fast ? "fast" : "strong";
}

int zstdLevel(Compression c) { return c == Compression::strong ? 9 : c == Compression::fast ? 1 : 0; }

ChunkHeader chunkHeaderOf(const Manifest& m, const RoundEntry& e) {
  ChunkHeader h;
  h.round = uint32_t(e.round);
  h.blockSize = m.source.blockSize;
  h.totalBlocks = m.source.totalBlocks;
  h.incremental = e.incremental;
  h.blocks = e.incremental ? e.blocks : m.source.totalBlocks;  // a full round holds every block
  h.partitionId = m.partitionId;
  h.presentedKeyDigest = e.presentedKeyDigest;
  h.keyDigest = e.keyDigest;
  h.mapSha256 = e.mapSha256;
  return h;
}

uint32_t chunkBlocksFor(uint32_t blockSize) { return std::max<uint32_t>(1, (256u << 10) / blockSize); }

// ---- header -----------------------------------------------------------------------------

namespace {

void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + size_t(i)] = uint8_t(v >> (8 * i));
}
void put64(std::vector<uint8_t>& b, size_t off, uint64_t v) {
  for (int i = 0; i < 8; ++i) b[off + size_t(i)] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t* p, size_t off) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t(p[off + size_t(i)]) << (8 * i);
  return v;
}
uint64_t get64(const uint8_t* p, size_t off) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t(p[off + size_t(i)]) << (8 * i);
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

std::vector<uint8_t> encodeChunkHeader(const ChunkHeader& h) {
  std::vector<uint8_t> b(kChunkHeaderBytes, 0);
  std::memcpy(b.data(), kChunkMagic, 8);
  put32(b, 8, h.version);
  put32(b, 12, kChunkHeaderBytes);
  put32(b, 16, h.round);
  put32(b, 20, h.blockSize);
  put32(b, 24, h.totalBlocks);
  put32(b, 28, h.incremental ? 1 : 0);
  put64(b, 32, h.blocks);
  put32(b, 40, h.chunkBlocks);
  put32(b, 44, h.chunkCount);
  put32(b, 48, uint32_t(h.level));
  put64(b, 56, h.indexOffset);
  putHex(b, 64, h.partitionId);
  putHex(b, 128, h.presentedKeyDigest);
  putHex(b, 192, h.keyDigest);
  putHex(b, 256, h.mapSha256);
  putHex(b, 320, h.indexSha256);
  return b;
}

bool decodeChunkHeader(const uint8_t* p, size_t len, ChunkHeader* h) {
  if (len < kChunkHeaderBytes || std::memcmp(p, kChunkMagic, 8) != 0 || get32(p, 12) != kChunkHeaderBytes)
    return false;
  h->version = get32(p, 8);
  h->round = get32(p, 16);
  h->blockSize = get32(p, 20);
  h->totalBlocks = get32(p, 24);
  h->incremental = get32(p, 28) != 0;
  h->blocks = get64(p, 32);
  h->chunkBlocks = get32(p, 40);
  h->chunkCount = get32(p, 44);
  h->level = int32_t(get32(p, 48));
  h->indexOffset = get64(p, 56);
  h->partitionId = getHex(p, 64);
  h->presentedKeyDigest = getHex(p, 128);
  h->keyDigest = getHex(p, 192);
  h->mapSha256 = getHex(p, 256);
  h->indexSha256 = getHex(p, 320);
  return true;
}

namespace {

std::vector<uint8_t> encodeIndex(const std::vector<ChunkEntry>& index) {
  std::vector<uint8_t> b(index.size() * kChunkEntryBytes);
  for (size_t i = 0; i < index.size(); ++i) {
    put64(b, i * kChunkEntryBytes, index[i].offset);
    put32(b, i * kChunkEntryBytes + 8, index[i].length);
    put32(b, i * kChunkEntryBytes + 12, index[i].kind);
  }
  return b;
}

uint32_t blocksInChunk(const ChunkHeader& h, uint32_t i) {
  uint64_t first = uint64_t(i) * h.chunkBlocks;
  return uint32_t(std::min<uint64_t>(h.chunkBlocks, h.blocks - first));
}

}  // namespace

// ---- writing ----------------------------------------------------------------------------

struct ChunkedSink::Impl {
  int fd;
  std::string path;
  ChunkHeader h;
  const Bitmap* ranked;
  ZSTD_CCtx* cctx = nullptr;
  uint64_t end = kChunkHeaderBytes;  // where the next chunk goes
  std::vector<ChunkEntry> index;
  std::vector<bool> done;
  struct Pending {
    std::vector<uint8_t> data;
    uint32_t filled = 0;
  };
  std::unordered_map<uint32_t, Pending> pending;  // chunks some of whose blocks are in
  std::vector<uint8_t> packed, compressed;

  void store(uint32_t i, const uint8_t* data, size_t len) {
    ChunkEntry& e = index[i];
    e.offset = end;
    if (isZeroBlock(data, len)) {
      e.kind = kChunkZero;
    } else {
      compressed.resize(ZSTD_compressBound(len));
      size_t n = ZSTD_compressCCtx(cctx, compressed.data(), compressed.size(), data, len, h.level);
      if (ZSTD_isError(n)) throw AgentError("cannot compress a chunk of " + path + ": " + ZSTD_getErrorName(n));
      fs::pwriteAll(fd, compressed.data(), n, end, path);
      e.kind = kChunkZstd;
      e.length = uint32_t(n);
      end += n;
    }
    done[i] = true;
  }
};

ChunkedSink::ChunkedSink(int fd, std::string path, ChunkHeader h, const Bitmap* ranked) : d_(new Impl{fd, path, h, ranked}) {
  d_->cctx = ZSTD_createCCtx();
  if (!d_->cctx) throw AgentError("cannot set up compression for " + path);
  d_->h.chunkCount = uint32_t((h.blocks + h.chunkBlocks - 1) / h.chunkBlocks);
  d_->index.resize(d_->h.chunkCount);
  d_->done.resize(d_->h.chunkCount);
}

ChunkedSink::~ChunkedSink() { ZSTD_freeCCtx(d_->cctx); }

void ChunkedSink::write(uint32_t block, const std::vector<Piece>& pieces, uint32_t count) {
  Impl& d = *d_;
  const uint32_t bs = d.h.blockSize;
  d.packed.resize(size_t(count) * bs);
  size_t at = 0;
  for (const Piece& p : pieces) {
    std::memcpy(d.packed.data() + at, p.data, std::min(p.len, d.packed.size() - at));
    at += p.len;
  }
  uint64_t k = d.ranked ? d.ranked->rank(block) : block;  // the first block's place in the round
  for (uint32_t j = 0; j < count;) {
    uint32_t chunk = uint32_t((k + j) / d.h.chunkBlocks);
    uint32_t within = uint32_t((k + j) % d.h.chunkBlocks);
    uint32_t size = blocksInChunk(d.h, chunk);
    uint32_t n = std::min(count - j, size - within);
    const uint8_t* src = d.packed.data() + size_t(j) * bs;
    if (within == 0 && n == size) {
      d.store(chunk, src, size_t(n) * bs);  // the whole chunk at once: no copy
    } else {
      Impl::Pending& p = d.pending[chunk];
      p.data.resize(size_t(size) * bs);
      std::memcpy(p.data.data() + size_t(within) * bs, src, size_t(n) * bs);
      p.filled += n;
      if (p.filled == size) {
        d.store(chunk, p.data.data(), p.data.size());
        d.pending.erase(chunk);
      }
    }
    j += n;
  }
}

void ChunkedSink::finish(ChunkHeader h) {
  Impl& d = *d_;
  // Blocks never handed over read as zeros, as in a raw round's file (a full round
  // that copies only the blocks in use leaves the free ones out).
  for (uint32_t i = 0; i < d.h.chunkCount; ++i) {
    if (d.done[i]) continue;
    auto it = d.pending.find(i);
    std::vector<uint8_t> zeros;
    if (it == d.pending.end()) zeros.assign(size_t(blocksInChunk(d.h, i)) * d.h.blockSize, 0);
    const std::vector<uint8_t>& data = it == d.pending.end() ? zeros : it->second.data;
    d.store(i, data.data(), data.size());
  }
  d.pending.clear();
  h.chunkBlocks = d.h.chunkBlocks;
  h.chunkCount = d.h.chunkCount;
  h.level = d.h.level;
  h.blocks = d.h.blocks;
  h.indexOffset = d.end;
  auto idx = encodeIndex(d.index);
  h.indexSha256 = Sha256::hexOf(idx.data(), idx.size());
  if (!idx.empty()) fs::pwriteAll(d.fd, idx.data(), idx.size(), d.end, d.path);
  auto hb = encodeChunkHeader(h);
  fs::pwriteAll(d.fd, hb.data(), hb.size(), 0, d.path);
}

// ---- reading ----------------------------------------------------------------------------

namespace {

// The header and index of a chunked file, checked against `expect` and the file size.
struct ChunkedFile {
  ChunkHeader h;
  std::vector<ChunkEntry> index;
};

std::string readChunked(int fd, const std::string& path, const ChunkHeader& want, ChunkedFile* out) {
  uint64_t size = fs::fileSize(fd, path);
  if (size < kChunkHeaderBytes) return path + " is truncated";
  uint8_t hb[kChunkHeaderBytes];
  fs::preadAll(fd, hb, sizeof hb, 0, path);
  ChunkHeader& h = out->h;
  if (!decodeChunkHeader(hb, sizeof hb, &h)) return path + " is not a velloc compressed round";
  if (h.version != 1) return path + " has compressed-round version " + std::to_string(h.version) + ", expected 1";
  if (h.partitionId != want.partitionId || h.blockSize != want.blockSize || h.totalBlocks != want.totalBlocks)
    return "round " + std::to_string(want.round) + " (" + path + ") is from another partition";
  if (h.round != want.round) return path + " holds round " + std::to_string(h.round) + ", not " + std::to_string(want.round);
  if (h.incremental != want.incremental || h.blocks != want.blocks || h.keyDigest != want.keyDigest ||
      h.presentedKeyDigest != want.presentedKeyDigest || h.mapSha256 != want.mapSha256)
    return "the header of " + path + " disagrees with the manifest";
  if (h.chunkBlocks == 0 || h.chunkBlocks > (64u << 20) / h.blockSize ||
      h.chunkCount != (h.blocks + h.chunkBlocks - 1) / h.chunkBlocks)
    return "the header of " + path + " is damaged (chunk layout)";
  if (h.indexOffset + uint64_t(h.chunkCount) * kChunkEntryBytes != size) return path + " is truncated or has bytes past its index";
  std::vector<uint8_t> idx(size_t(h.chunkCount) * kChunkEntryBytes);
  if (!idx.empty()) fs::preadAll(fd, idx.data(), idx.size(), h.indexOffset, path);
  if (Sha256::hexOf(idx.data(), idx.size()) != h.indexSha256) return "the chunk index of " + path + " is damaged";
  // Chunks are stored in the order they were completed (the copy reads cached blocks
  // first), so the index is in chunk order and the data in any: together the stored
  // chunks must tile the bytes between the header and the index exactly.
  std::vector<std::pair<uint64_t, uint64_t>> spans;  // offset, length of stored chunks
  for (uint32_t i = 0; i < h.chunkCount; ++i) {
    ChunkEntry e{get64(idx.data(), size_t(i) * kChunkEntryBytes), get32(idx.data(), size_t(i) * kChunkEntryBytes + 8),
                 get32(idx.data(), size_t(i) * kChunkEntryBytes + 12)};
    if ((e.kind == kChunkZero ? e.length != 0 : e.kind != kChunkZstd || e.length == 0) || e.offset < kChunkHeaderBytes ||
        e.offset + e.length > h.indexOffset)
      return "the chunk index of " + path + " is damaged (chunk " + std::to_string(i) + ")";
    if (e.length) spans.emplace_back(e.offset, e.length);
    out->index.push_back(e);
  }
  std::sort(spans.begin(), spans.end());
  uint64_t next = kChunkHeaderBytes;
  for (auto [offset, length] : spans) {
    if (offset != next) return "the chunk index of " + path + " is damaged (chunks overlap or leave gaps)";
    next += length;
  }
  if (next != h.indexOffset) return "the chunk index of " + path + " does not cover its data";
  return {};
}

class ChunkedRoundData : public RoundData {
 public:
  ChunkedRoundData(const std::string& path, ChunkedFile f, fs::Fd fd)
      : path_(path), f_(std::move(f)), fd_(std::move(fd)), dctx_(ZSTD_createDCtx()) {}
  ~ChunkedRoundData() override { ZSTD_freeDCtx(dctx_); }
  void read(uint64_t index, uint32_t count, uint8_t* out) override {
    const uint32_t bs = f_.h.blockSize;
    while (count) {
      uint32_t chunk = uint32_t(index / f_.h.chunkBlocks);
      uint32_t within = uint32_t(index % f_.h.chunkBlocks);
      if (chunk >= f_.h.chunkCount) throw AgentError(path_ + ": block " + std::to_string(index) + " is past its data");
      load(chunk);
      uint32_t n = std::min(count, blocksInChunk(f_.h, chunk) - within);
      std::memcpy(out, data_.data() + size_t(within) * bs, size_t(n) * bs);
      out += size_t(n) * bs;
      index += n;
      count -= n;
    }
  }
  // Decompresses chunk i into data_ (kept for the next read).
  void load(uint32_t i) {
    if (i == loaded_) return;
    const ChunkEntry& e = f_.index[i];
    data_.assign(size_t(blocksInChunk(f_.h, i)) * f_.h.blockSize, 0);
    if (e.kind == kChunkZstd) {
      stored_.resize(e.length);
      fs::preadAll(fd_.get(), stored_.data(), e.length, e.offset, path_);
      size_t n = ZSTD_decompressDCtx(dctx_, data_.data(), data_.size(), stored_.data(), stored_.size());
      if (ZSTD_isError(n) || n != data_.size())
        throw AgentError("chunk " + std::to_string(i) + " of " + path_ + " is damaged: it does not decompress");
    }
    loaded_ = i;
  }
  uint32_t chunks() const { return f_.h.chunkCount; }

 private:
  std::string path_;
  ChunkedFile f_;
  fs::Fd fd_;
  ZSTD_DCtx* dctx_;
  uint32_t loaded_ = ~0u;
  std::vector<uint8_t> data_, stored_;
};

}  // namespace

std::unique_ptr<RoundData> openChunkedRoundData(const std::string& path, const ChunkHeader& expect) {
  fs::Fd fd(fs::openOrThrow(path, O_RDONLY, "read"));
  ChunkedFile f;
  std::string problem = readChunked(fd.get(), path, expect, &f);
  if (!problem.empty()) throw AgentError(problem);
  return std::make_unique<ChunkedRoundData>(path, std::move(f), std::move(fd));
}

std::string chunkedProblems(const std::string& path, const ChunkHeader& expect, bool decode) {
  try {
    fs::Fd fd(fs::openOrThrow(path, O_RDONLY, "read"));
    ChunkedFile f;
    std::string problem = readChunked(fd.get(), path, expect, &f);
    if (!problem.empty() || !decode) return problem;
    ChunkedRoundData data(path, std::move(f), std::move(fd));
    for (uint32_t i = 0; i < data.chunks(); ++i) data.load(i);
  } catch (const AgentError& e) {
    return e.what();
  }
  return {};
}

}  // namespace velloc::agent
