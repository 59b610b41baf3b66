// Compressed round files: the blocks a round holds (a full round: every block; an
// incremental: the blocks set in its map, in order), in chunks of `chunkBlocks`
// consecutive ones, each compressed on its own with zstd, and an index of the chunks at
// the end, so one block is read by decompressing one chunk. A chunk of zeros is stored
// as nothing. Layout in docs/formats.md.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "velloc/agent/backup.h"
#include "velloc/agent/backup_dir.h"

namespace velloc::agent {

// What `velloc backup` uses unless told otherwise (chosen from the benchmark's ratio of
// compressed to raw full-backup throughput, BENCHMARKS.md).
constexpr Compression kDefaultCompression = Compression::none;

// "none" | "fast" | "strong"; false for anything else.
bool parseCompression(const std::string& s, Compression* c);
const char* compressionName(Compression c);
int zstdLevel(Compression c);

constexpr uint32_t kChunkHeaderBytes = 4096;
constexpr char kChunkMagic[9] = "VELCHNK1";
constexpr const char* kChunkedEncoding = "zstd-chunks";

struct ChunkHeader {
  uint32_t version = 1, round = 0, blockSize = 0, totalBlocks = 0;
  uint64_t blocks = 0;            // blocks the round holds
  bool incremental = false;
  uint32_t chunkBlocks = 0, chunkCount = 0;
  int32_t level = 0;
  uint64_t indexOffset = 0;
  std::string partitionId, presentedKeyDigest, keyDigest, mapSha256, indexSha256;
};
std::vector<uint8_t> encodeChunkHeader(const ChunkHeader& h);
bool decodeChunkHeader(const uint8_t* p, size_t len, ChunkHeader* h);

// The header a chunked file of round `e` must have.
ChunkHeader chunkHeaderOf(const Manifest& m, const RoundEntry& e);
// Blocks per chunk for a block size: 256 KiB of data.
uint32_t chunkBlocksFor(uint32_t blockSize);

// One entry of the index: where chunk i is and how it is stored.
struct ChunkEntry {
  uint64_t offset = 0;
  uint32_t length = 0;            // stored bytes
  uint32_t kind = 0;              // kChunkZstd, kChunkZero
};
constexpr uint32_t kChunkZstd = 0, kChunkZero = 1;
constexpr size_t kChunkEntryBytes = 16;

// Writes the blocks handed to it (in any order) into the chunked file `fd`: each chunk
// is compressed and appended once all its blocks are in. finish() writes the index and
// the header.
class ChunkedSink : public BlockSink {
 public:
  // `ranked`: for an incremental, its map with a rank table (the k-th set block is the
  // k-th block held); nullptr for a full round.
  ChunkedSink(int fd, std::string path, ChunkHeader h, const Bitmap* ranked);
  ~ChunkedSink() override;
  using BlockSink::write;
  void write(uint32_t block, const std::vector<Piece>& pieces, uint32_t count) override;
  void finish(ChunkHeader h);    // the header's key and map fields as they are final
 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// The chunked file `path`, its header and index read and checked. Throws AgentError.
std::unique_ptr<RoundData> openChunkedRoundData(const std::string& path, const ChunkHeader& expect);
// What is wrong with a chunked file against `expect` (header, index, sizes); with
// `decode` also every chunk decompressed. Empty when nothing is.
std::string chunkedProblems(const std::string& path, const ChunkHeader& expect, bool decode);

}  // namespace velloc::agent
