#include "velloc/agent/image_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "../fileutil.h"
#include "host/host.h"
#include "velloc/agent/errors.h"
#include "velloc/agent/host.h"

namespace velloc::agent {

bool haveTool(const std::string& name) { return !host::find_program(name).empty(); }

int runTool(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  int rc = host::run_program(argv, out, err);
  if (rc >= 0) return rc;
  if (err) *err = argv.at(0) + (rc == -ENOENT ? std::string(": not found") : ": " + std::string(std::strerror(-rc)));
  return -1;
}

void writeMbr(const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& parts) {
  if (parts.size() > 4) throw AgentError("an MBR holds at most 4 primary partitions");
  uint8_t mbr[512] = {0};
  for (size_t i = 0; i < parts.size(); ++i) {
    uint8_t* e = mbr + 446 + 16 * i;
    // CHS fields say "use LBA" (0xfe/0xff/0xff) as modern tools write them.
    e[1] = 0xfe; e[2] = 0xff; e[3] = 0xff;
    e[4] = 0x83;
    e[5] = 0xfe; e[6] = 0xff; e[7] = 0xff;
    uint32_t start = uint32_t(parts[i].first), count = uint32_t(parts[i].second);
    std::memcpy(e + 8, &start, 4);
    std::memcpy(e + 12, &count, 4);
  }
  mbr[510] = 0x55;
  mbr[511] = 0xaa;
  fs::Fd fd(fs::openOrThrow(image, O_WRONLY, "write"));
  fs::pwriteAll(fd.get(), mbr, sizeof mbr, 0, image);
}

std::vector<uint32_t> fileBlocks(const std::string& fsImage, const std::string& path) {
  std::string out, err;
  int rc = runTool({"debugfs", "-R", "blocks " + path, fsImage}, &out, &err);
  if (rc != 0) throw AgentError("debugfs could not list the blocks of " + path + ": " + err);
  std::vector<uint32_t> v;
  std::stringstream ss(out);
  for (uint64_t b; ss >> b;) v.push_back(uint32_t(b));
  return v;
}

std::vector<uint32_t> dataBlocksOf(const std::string& image, uint64_t offset, size_t maxFiles) {
  std::string dev = image + "?offset=" + std::to_string(offset);
  std::string out, err;
  if (runTool({"debugfs", "-R", "stats", dev}, &out, &err) != 0)
    throw AgentError("debugfs cannot read the file system at byte " + std::to_string(offset) + " of " + image);
  uint64_t bs = 0;
  if (auto at = out.find("Block size:"); at != std::string::npos) bs = std::strtoull(out.c_str() + at + 11, nullptr, 10);
  if (!bs) throw AgentError("debugfs did not report a block size for " + dev);
  std::vector<uint32_t> blocks;
  std::vector<std::string> dirs{"/"};
  size_t files = 0, visited = 0;
  while (!dirs.empty() && files < maxFiles && visited < 256) {
    std::string d = dirs.back();
    dirs.pop_back();
    visited++;
    out.clear();
    if (runTool({"debugfs", "-R", "ls -p \"" + d + "\"", dev}, &out, &err) != 0) continue;
    std::stringstream ss(out);
    for (std::string line; std::getline(ss, line) && files < maxFiles;) {
      // /inode/mode/uid/gid/name/size/
      std::vector<std::string> f;
      std::stringstream ls(line);
      for (std::string x; std::getline(ls, x, '/');) f.push_back(x);
      if (f.size() < 6) continue;
      const std::string& mode = f[2];
      const std::string& name = f[5];
      if (name == "." || name == ".." || name == "lost+found") continue;
      std::string path = (d == "/" ? "/" : d + "/") + name;
      if (mode.rfind("040", 0) == 0) {
        dirs.push_back(path);
      } else if (mode.rfind("100", 0) == 0 && f.size() >= 7) {
        uint64_t size = std::strtoull(f[6].c_str(), nullptr, 10);
        if (size < bs) continue;
        auto b = fileBlocks(dev, path);
        if (b.size() != (size + bs - 1) / bs) continue;
        blocks.insert(blocks.end(), b.begin(), b.end());
        files++;
      }
    }
  }
  return blocks;
}

bool e2fsckClean(const std::string& fsImage, std::string* report) {
  std::string out, err;
  int rc = runTool({"e2fsck", "-fn", fsImage}, &out, &err);
  if (report) *report = out + err;
  return rc == 0;
}

std::vector<BuiltPartition> buildExt4Image(const std::string& image, const std::vector<FsSpec>& specs,
                                           const std::string& scratch) {
  if (!haveTool("mkfs.ext4") || !haveTool("debugfs"))
    throw AgentError("mkfs.ext4 and debugfs (e2fsprogs) are needed to build the image: apt-get install e2fsprogs");
  const uint64_t align = 2048;  // sectors: 1 MiB
  std::vector<BuiltPartition> parts;
  uint64_t next = align;
  for (size_t i = 0; i < specs.size(); ++i) {
    const FsSpec& s = specs[i];
    BuiltPartition p;
    p.partno = int(i) + 1;
    p.startSector = next;
    p.sectors = (s.bytes / 512 + align - 1) / align * align;
    p.blockSize = s.blockSize;
    next += p.sectors;

    // The files mkfs lays down: their data blocks are where writers may write.
    std::string dir = scratch + "/files-" + std::to_string(p.partno);
    fs::removeTree(dir);
    std::filesystem::create_directories(dir);
    std::vector<uint8_t> block(s.blockSize);
    for (unsigned f = 0; f < s.files; ++f) {
      std::string path = dir + "/data" + std::to_string(f) + ".bin";
      fs::Fd fd(fs::openOrThrow(path, O_WRONLY | O_CREAT | O_TRUNC, "create"));
      for (uint64_t off = 0; off < s.fileBytes; off += s.blockSize) {
        fillBlock(block.data(), s.blockSize, uint32_t(off / s.blockSize), 0, f);
        fs::pwriteAll(fd.get(), block.data(), block.size(), off, path);
      }
    }
    std::string part = scratch + "/part-" + std::to_string(p.partno) + ".img";
    fs::removeTree(part);
    {
      fs::Fd fd(fs::openOrThrow(part, O_WRONLY | O_CREAT | O_TRUNC, "create"));
      if (::ftruncate(fd.get(), off_t(p.sectors * 512)) != 0) throw AgentError("cannot size " + part);
    }
    std::string out, err;
    int rc = runTool({"mkfs.ext4", "-F", "-q", "-b", std::to_string(s.blockSize), "-L", s.label, "-E",
                      "lazy_itable_init=0,lazy_journal_init=0", "-d", dir, part},
                     &out, &err);
    if (rc != 0) throw AgentError("mkfs.ext4 failed on partition " + std::to_string(p.partno) + ": " + err);
    for (unsigned f = 0; f < s.files; ++f) {
      auto b = fileBlocks(part, "/data" + std::to_string(f) + ".bin");
      uint64_t want = (s.fileBytes + s.blockSize - 1) / s.blockSize;
      if (b.size() != want)
        throw AgentError("debugfs listed " + std::to_string(b.size()) + " blocks for a file of " +
                         std::to_string(want) + " blocks");
      p.dataBlocks.insert(p.dataBlocks.end(), b.begin(), b.end());
    }
    fs::removeTree(dir);
    parts.push_back(p);
  }

  // Lay the partitions into the image behind the MBR.
  std::string tmp = image + ".partial";
  {
    fs::Fd out(fs::openOrThrow(tmp, O_RDWR | O_CREAT | O_TRUNC, "create"));
    if (::ftruncate(out.get(), off_t(next * 512)) != 0) throw AgentError("cannot size " + tmp);
    std::vector<uint8_t> buf(4 << 20);
    for (const auto& p : parts) {
      std::string part = scratch + "/part-" + std::to_string(p.partno) + ".img";
      fs::Fd in(fs::openOrThrow(part, O_RDONLY, "read"));
      for (uint64_t off = 0; off < p.sectors * 512; off += buf.size()) {
        size_t n = size_t(std::min<uint64_t>(buf.size(), p.sectors * 512 - off));
        fs::preadAll(in.get(), buf.data(), n, off, part);
        fs::pwriteAll(out.get(), buf.data(), n, p.startSector * 512 + off, tmp);
      }
      in.close();
      fs::removeTree(part);
    }
    fs::fsyncOrThrow(out.get(), tmp);
  }
  std::vector<std::pair<uint64_t, uint64_t>> table;
  for (const auto& p : parts) table.emplace_back(p.startSector, p.sectors);
  writeMbr(tmp, table);
  fs::renameOrThrow(tmp, image);
  return parts;
}

}  // namespace velloc::agent
