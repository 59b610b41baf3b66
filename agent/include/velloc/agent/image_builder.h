// Building disk images with real ext4 file systems from e2fsprogs: each partition is
// made as its own file with `mkfs.ext4 -d` from a directory of files, the blocks of
// those files are listed with `debugfs`, and the partitions are laid into one image
// behind an MBR. Host-side tooling for the demo and tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace velloc::agent {

struct FsSpec {
  uint32_t blockSize = 4096;
  uint64_t bytes = 48ull << 20;   // partition size
  std::string label = "velloc";
  unsigned files = 6;             // regular files laid down by mkfs
  uint64_t fileBytes = 4ull << 20;
};

struct BuiltPartition {
  int partno = 0;
  uint64_t startSector = 0, sectors = 0;
  uint32_t blockSize = 0;
  std::vector<uint32_t> dataBlocks;  // blocks holding file data (safe to overwrite)
};

// Runs a program (found as the stand-in's host layer finds programs: PATH, then the sbin
// and bin folders); returns its exit status, or -1 with the reason in *err when it could
// not be started. Standard output and error are captured.
int runTool(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr);
bool haveTool(const std::string& name);

// Writes an MBR with primary Linux partitions to the first sector of `image`.
void writeMbr(const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& startAndSectors);

// Builds `image` (replacing it) with one partition per spec, starting at 1 MiB and
// aligned to 1 MiB. `scratch` is a directory for the intermediate files. Throws AgentError.
std::vector<BuiltPartition> buildExt4Image(const std::string& image, const std::vector<FsSpec>& specs,
                                           const std::string& scratch);

// Data blocks of `path` inside the ext file system in `fsImage` (debugfs "blocks").
std::vector<uint32_t> fileBlocks(const std::string& fsImage, const std::string& path);

// Data blocks of up to `maxFiles` regular files of the ext file system that starts at
// byte `offset` of `image` (a partition of a disk image). Files whose block list holds
// more than their data (extent tree blocks) are skipped, so writing to the returned
// blocks changes file contents only, never the file system's structure.
std::vector<uint32_t> dataBlocksOf(const std::string& image, uint64_t offset, size_t maxFiles = 64);

// e2fsck -fn on an image holding one file system; true when it reports it clean.
bool e2fsckClean(const std::string& fsImage, std::string* report = nullptr);

}  // namespace velloc::agent
