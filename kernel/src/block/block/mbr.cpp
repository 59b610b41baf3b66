// MBR partition tables: the four primary entries and the boot signature.
#include <linux/errno.h>

#include <cstring>

#include "block_internal.h"

namespace vkblk {
namespace {
constexpr size_t kTable = 446;  // first entry
constexpr size_t kEntry = 16;

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
void put_le32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}
}  // namespace

bool mbr_parse(const unsigned char* sector, uint64_t capacity, machine::PartitionSpec parts[4]) {
  if (sector[510] != 0x55 || sector[511] != 0xAA) return false;
  for (int i = 0; i < 4; i++) {
    const unsigned char* e = sector + kTable + kEntry * i;
    if (e[0] != 0 && e[0] != 0x80) return false;  // a boot sector, not a partition table
  }
  for (int i = 0; i < 4; i++) {
    const unsigned char* e = sector + kTable + kEntry * i;
    parts[i] = {le32(e + 8), le32(e + 12), e[4]};
    if (parts[i].type == 0 || parts[i].sectors == 0 || parts[i].start_sector >= capacity) {
      parts[i].sectors = 0;
      continue;
    }
    if (parts[i].sectors > capacity - parts[i].start_sector) parts[i].sectors = capacity - parts[i].start_sector;
  }
  return true;
}

int mbr_build(unsigned char* sector, const std::vector<machine::PartitionSpec>& parts, uint64_t disk_sectors,
              std::string* err) {
  memset(sector, 0, 512);
  if (parts.size() > 4) {
    if (err) *err = "an MBR holds at most 4 primary partitions";
    return -EINVAL;
  }
  for (size_t i = 0; i < parts.size(); i++) {
    const auto& p = parts[i];
    if (p.sectors == 0) continue;  // an empty slot keeps the numbering of those after it
    if (p.start_sector == 0 || p.start_sector > disk_sectors ||
        p.sectors > disk_sectors - p.start_sector || p.start_sector > 0xFFFFFFFFu || p.sectors > 0xFFFFFFFFu ||
        p.type == 0) {
      if (err) *err = "partition " + std::to_string(i + 1) + " does not fit the disk";
      return -EINVAL;
    }
    unsigned char* e = sector + kTable + kEntry * i;
    e[1] = 0xFE, e[2] = 0xFF, e[3] = 0xFF;  // CHS fields unused: addresses are LBA
    e[4] = p.type;
    e[5] = 0xFE, e[6] = 0xFF, e[7] = 0xFF;
    put_le32(e + 8, (uint32_t)p.start_sector);
    put_le32(e + 12, (uint32_t)p.sectors);
  }
  sector[510] = 0x55;
  sector[511] = 0xAA;
  return 0;
}

}  // namespace vkblk
