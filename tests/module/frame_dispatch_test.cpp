// The command dispatcher: every path, record copies from bad agent memory, unknown codes,
// the reserved and version commands, and the state query at every buffer length.
#include <cerrno>
#include <cstring>
#include <random>
#include <set>

#include "velloc_fixture.h"
#include "vellib.h"

namespace velloc_test {
namespace {

// Commands that carry an argument record, with the record's size.
struct RecordCommand {
  unsigned int cmd;
  uint32_t size;
};
const RecordCommand kRecordCommands[] = {
    {doGetBlockSize, 16}, {doStartBackup, 16},   {doSnapShot, 8},        {doGetState, 8},
    {doGetAutoMapState, 8}, {doLoadBlockMap, 8}, {doGetAutoMap, 8},      {doGetDirtyBlock, 4},
    {doReadBlocks, 12},
};

const std::set<unsigned int> kTable = {
    doGetBlockSize, doStartBackup,   doSnapShot,      doGetState,    doGetAutoMapState, doNoLoadFromAutoMap,
    doNoStartAutoMap, doLoadBlockMap, doGetAutoMap,   doGetDirtyBlock, doReadBlocks,    doGetVersionMajor,
    doGetVersionMinor, doSync,        doUnload,       doReserved};

class FrameDispatch : public VellocFixture {
 protected:
  // A session record driven directly through velIOCTL, to see its counter.
  struct DirectHandle {
    struct inode ino {};
    struct file f {};
    Backup* b() { return static_cast<Backup*>(f.private_data); }
    long ioctl(unsigned int cmd, unsigned long arg) { return velIOCTL(&ino, &f, cmd, arg); }
  };
  void openDirect(DirectHandle* h) {
    ASSERT_EQ(0, velOpen(&h->ino, &h->f));
  }
  void closeDirect(DirectHandle* h) { EXPECT_EQ(0, velRelease(&h->ino, &h->f)); }

  // The answer buffer after a state query with `len`: 32 bytes pre-filled with 0xA5.
  std::vector<uint8_t> stateBytesAfter(uint32_t len, long* result) {
    uint32_t buf = agent().alloc(32);
    std::vector<uint8_t> fill(32, 0xA5);
    agent().write(buf, fill.data(), fill.size());
    GetState gs{buf, len};
    *result = agent().ioctlRecord(doGetState, &gs, sizeof(gs));
    std::vector<uint8_t> out(32);
    agent().read(buf, out.data(), out.size());
    return out;
  }
};

TEST_F(FrameDispatch, RefusesWhenNotInitialisedOrWithoutRecord) {
  DirectHandle h;
  openDirect(&h);
  atomic_set(&initDone, 0);
  EXPECT_EQ(1, h.ioctl(doGetState, 0));
  EXPECT_EQ(1, h.ioctl(0xdeadbeef, 0));
  atomic_set(&initDone, 1);
  EXPECT_EQ(0, atomic_read(&h.b()->ioctlCount));  // refused before counting
  EXPECT_EQ(0, logCount("ioctl command not found"));

  struct file none{};
  EXPECT_EQ(2, velIOCTL(&h.ino, &none, doReserved, 0));
  closeDirect(&h);
}

TEST_F(FrameDispatch, EveryCommandThatReachesTheSessionIsCounted) {
  DirectHandle h;
  openDirect(&h);
  uint32_t ver = agent().alloc(4);
  EXPECT_EQ(3, h.ioctl(doReserved, 0));
  EXPECT_EQ(4, h.ioctl(0x2a0b, 0));
  EXPECT_EQ(6, h.ioctl(doGetState, 0));         // record copy fault
  EXPECT_EQ(0, h.ioctl(doGetVersionMajor, ver));
  EXPECT_EQ(7, h.ioctl(doGetVersionMinor, 0));  // result copy fault
  EXPECT_EQ(0, h.ioctl(doNoLoadFromAutoMap, 0));
  EXPECT_EQ(0, h.ioctl(doNoStartAutoMap, 0xffffffff));
  const int expected = 7;
  EXPECT_EQ(expected, atomic_read(&h.b()->ioctlCount));
  EXPECT_EQ(1, h.b()->noLoadFromAutoMap);
  EXPECT_EQ(1, h.b()->noStartAutoMap);
  closeDirect(&h);
}

TEST_F(FrameDispatch, RecordCopyFaultsGive6WithoutALogLine) {
  uint64_t mark = logMark();
  for (const RecordCommand& c : kRecordCommands) {
    SCOPED_TRACE(c.cmd);
    // Unmapped: address 0, and an inaccessible page.
    EXPECT_EQ(6, agent().ioctl(c.cmd, 0));
    uint32_t hole = agent().allocEndingAtHole(0);
    EXPECT_EQ(6, agent().ioctl(c.cmd, hole));
    // Partly mapped: every prefix short of the whole record.
    for (uint32_t readable = 1; readable < c.size; ++readable) {
      uint32_t a = agent().allocEndingAtHole(readable);
      std::vector<uint8_t> zeros(readable, 0);
      agent().write(a, zeros.data(), readable);
      EXPECT_EQ(6, agent().ioctl(c.cmd, a)) << "readable " << readable;
    }
    // Beyond the 32-bit address space.
    EXPECT_EQ(6, agent().ioctl(c.cmd, 0x100000000ul));
  }
  // The map commands also read the UserBlockMap their record points at.
  for (unsigned int cmd : {doLoadBlockMap, doGetAutoMap}) {
    LoadBlockMap rec{0, 8};
    EXPECT_EQ(6, agent().ioctlRecord(cmd, &rec, sizeof(rec)));
    rec.bm = agent().allocEndingAtHole(7);
    EXPECT_EQ(6, agent().ioctlRecord(cmd, &rec, sizeof(rec)));
  }
  EXPECT_TRUE(logTexts(mark).empty());
}

TEST_F(FrameDispatch, MisalignedRecordsAreReadWhole) {
  uint32_t base = agent().alloc(64);
  uint32_t stateAt = base + 33;
  GetState gs{stateAt, sizeof(State)};
  uint32_t rec = base + 3;
  agent().write(rec, &gs, sizeof(gs));
  EXPECT_EQ(0, agent().ioctl(doGetState, rec));
  State s;
  std::memset(&s, 0xA5, sizeof(s));
  agent().read(stateAt, &s, sizeof(s));
  EXPECT_EQ(0u, s.major);
  EXPECT_EQ(0u, s.state);
  EXPECT_EQ(0, s.mmapSize);
}

TEST_F(FrameDispatch, UnknownCodesGive4AndAreLoggedOncePerCall) {
  uint32_t arg = agent().alloc(4096);  // a readable record for whatever the code might be
  std::vector<unsigned int> codes = {0x2a0b, 0x40042a0b, 0x40042a11, 0, 0xffffffff, 0x2a00, 0x80102a00,
                                     0xc0102a00, 0x40102b00};
  // Each table code with its size field changed, and with its direction or type changed.
  for (unsigned int c : kTable) {
    uint32_t size = (c >> 16) & 0x3fff;
    for (uint32_t other : {size + 1, size - 1, size * 2, 0x3fffu, 0u, 4u, 8u, 12u, 16u}) {
      if (other == size) continue;
      codes.push_back((c & ~(0x3fffu << 16)) | ((other & 0x3fff) << 16));
    }
    codes.push_back(c ^ 0x80000000u);
    codes.push_back(c ^ 0x00000100u);
  }
  // And a seeded sweep of arbitrary 32-bit values.
  std::mt19937 rng(20240601);
  for (int i = 0; i < 3000; ++i) codes.push_back(rng());
  for (unsigned int nr = 0; nr < 256; ++nr) {
    codes.push_back(0x2a00 | nr);
    codes.push_back(0x40042a00 | nr);
  }

  int unknown = 0;
  uint64_t mark = logMark();
  for (unsigned int c : codes) {
    if (kTable.count(c)) continue;
    ++unknown;
    ASSERT_EQ(4, agent().ioctl(c, arg)) << std::hex << c;
  }
  EXPECT_EQ(unknown, logCount("velIOCTL: ioctl command not found", mark));
  for (const machine::LogRecord& r : machine::log_records(mark)) {
    EXPECT_EQ(3, r.level);
    EXPECT_EQ(0u, r.text.find("velIOCTL: ioctl command not found")) << r.text;
  }
}

TEST_F(FrameDispatch, ReservedCommandGives3Silently) {
  uint64_t mark = logMark();
  EXPECT_EQ(3, agent().ioctl(doReserved, 0));
  EXPECT_EQ(3, agent().ioctl(doReserved, agent().alloc(4)));
  EXPECT_TRUE(logTexts(mark).empty());
}

TEST_F(FrameDispatch, VersionCommandsWriteTheirNumber) {
  int v = 0;
  EXPECT_EQ(0, agent().getVersionMajor(&v));
  EXPECT_EQ(3, v);
  EXPECT_EQ(0, agent().getVersionMinor(&v));
  EXPECT_EQ(1, v);
  // Misaligned target.
  uint32_t a = agent().alloc(8);
  EXPECT_EQ(0, agent().ioctl(doGetVersionMinor, a + 3));
  int got = 0;
  agent().read(a + 3, &got, 4);
  EXPECT_EQ(1, got);

  uint64_t mark = logMark();
  EXPECT_EQ(7, agent().ioctl(doGetVersionMajor, 0));
  EXPECT_EQ(7, agent().ioctl(doGetVersionMinor, agent().allocEndingAtHole(2)));
  EXPECT_EQ(2, logCount("velIOCTL: copy to user space failed", mark));
  for (const machine::LogRecord& r : machine::log_records(mark)) EXPECT_EQ(3, r.level);
}

TEST_F(FrameDispatch, StateQueryCopiesAtMostTheRecord) {
  long r = -1;
  // A fresh handle: all five fields 0.
  std::vector<uint8_t> out = stateBytesAfter(20, &r);
  EXPECT_EQ(0, r);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(0, out[i]) << i;
  for (int i = 20; i < 32; ++i) EXPECT_EQ(0xA5, out[i]) << i;

  struct Case {
    uint32_t len;
    int written;
  } cases[] = {{0, 0}, {1, 1}, {4, 4}, {8, 8}, {19, 19}, {20, 20}, {21, 20}, {4096, 20}, {0xffffffffu, 20}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.len);
    out = stateBytesAfter(c.len, &r);
    EXPECT_EQ(0, r);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(i < c.written ? 0 : 0xA5, out[i]) << i;
  }
}

TEST_F(FrameDispatch, StateQueryReportsTheSession) {
  DirectHandle h;
  openDirect(&h);
  Backup* b = h.b();
  b->diskInfo.kdev = (8u << 20) | 0x12345;
  b->diskInfo.blockSize = 2048;
  b->maxVMPages = 128;
  b->state = stateSnapshotComplete;
  uint32_t buf = agent().alloc(sizeof(State));
  GetState gs{buf, sizeof(State)};
  EXPECT_EQ(0, h.ioctl(doGetState, agent().place(gs)));
  State s = agent().fetch<State>(buf);
  EXPECT_EQ(8u, s.major);
  EXPECT_EQ(0x12345u, s.minor);
  EXPECT_EQ(4u, s.state);
  EXPECT_EQ(2048, s.blockSize);
  EXPECT_EQ(128 * 4096, s.mmapSize);
  b->diskInfo.kdev = 0;
  b->state = stateIdle;
  closeDirect(&h);
}

TEST_F(FrameDispatch, StateQueryIntoBadMemoryGives7) {
  uint64_t mark = logMark();
  GetState unmapped{0, 20};
  EXPECT_EQ(7, agent().ioctlRecord(doGetState, &unmapped, sizeof(unmapped)));
  // Partly writable.
  GetState partly{agent().allocEndingAtHole(12), 20};
  EXPECT_EQ(7, agent().ioctlRecord(doGetState, &partly, sizeof(partly)));
  // A zero-length copy to an unmapped address needs no memory.
  GetState empty{0, 0};
  EXPECT_EQ(0, agent().ioctlRecord(doGetState, &empty, sizeof(empty)));
  EXPECT_EQ(2, logCount("ioctlGetState: copy to user space failed", mark));
}

TEST_F(FrameDispatch, ChangeTrackingSwitchesIgnoreTheirArgument) {
  EXPECT_EQ(0, agent().ioctl(doNoStartAutoMap, 0xfffff000));
  EXPECT_EQ(0, agent().ioctl(doNoLoadFromAutoMap, 1));
  EXPECT_EQ(0, agent().noStartAutoMap());  // again: flags are never cleared, still fine
  EXPECT_EQ(0u, agent().state().state);
}

TEST_F(FrameDispatch, SyncAndUnloadWorkOnAnIdleHandle) {
  EXPECT_EQ(0, agent().sync());
  EXPECT_EQ(0, agent().unload());
  EXPECT_EQ(0u, agent().state().state);
}

}  // namespace
}  // namespace velloc_test
