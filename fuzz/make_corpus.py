#!/usr/bin/env python3
"""Writes the ioctl fuzzer's seed corpus (fuzz/corpus/): agent sessions spelled in the byte
format that the fuzzer's Input reader consumes, so the fuzzer starts from real backups and
mutates from there. Run from anywhere: python3 fuzz/make_corpus.py"""
import os
import struct

OPEN, CLOSE, IOCTL, MMAP, MUNMAP, TOUCH, DUP = 0, 2, 3, 6, 7, 8, 9
# Index of each command in the fuzzer's kCommands table.
CMD = dict(GetBlockSize=0, StartBackup=1, SnapShot=2, GetState=3, GetAutoMapState=4, NoLoadFromAutoMap=5,
           NoStartAutoMap=6, LoadBlockMap=7, GetAutoMap=8, GetDirtyBlock=9, ReadBlocks=10, GetVersionMajor=11,
           GetVersionMinor=12, Sync=13, Unload=14, Reserved=15)
# Index of each value in the fuzzer's table of values a partition gives (word kind 2).
MAJOR, MINOR, BLOCKS, BLOCKS1, BS, KEYLEN, STATELEN, AMSLEN, ALLONES, TOPBIT = range(10)


def u8(v):
    return bytes([v & 0xFF])


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


# ---- argument words (Program::word) ----
def literal(v):
    return u8(0) + u32(v)


def small(v):  # 0..300
    return u8(1) + u16(v)


def partval(part, which):
    return u8(2) + u8(part) + u8(which)


def raw_buffer(length, data=b"", hole=False):  # a fresh buffer with up to 64 raw bytes
    fill = (data + bytes(64))[: min(length, 64)]
    return u8(3) + u16(length) + u8(hole) + u8(0) + fill


def word_buffer(length, words, hole=False):  # a fresh buffer holding argument words
    return u8(3) + u16(length) + u8(hole) + u8(1) + u8(len(words)) + b"".join(words)


def mapping(index=0, offset=None):
    if offset is None:
        return u8(4) + u8(index) + u8(1)
    return u8(4) + u8(index) + u8(0) + u32(offset)


# ---- steps (Program::run) ----
def op_open(proc=0):
    return u8(OPEN) + u8(proc)


def op_close(index):
    return u8(CLOSE) + u8(index)


def op_ioctl(fd, cmd, words, hole=False):
    return u8(IOCTL) + u8(fd) + u8(1) + u8(CMD[cmd]) + u8(2) + u8(len(words)) + b"".join(words) + u8(hole)


def op_ioctl_noarg(fd, cmd):
    return u8(IOCTL) + u8(fd) + u8(1) + u8(CMD[cmd]) + u8(0)


def op_mmap(fd, pages, prot=1, shared=False):
    return u8(MMAP) + u8(fd) + u8(1) + u16(pages) + u8(prot) + u8(shared) + u8(1)


def op_munmap(index):
    return u8(MUNMAP) + u8(index)


def op_touch(index, offset):
    return u8(TOUCH) + u8(index) + u32(offset)


def op_dup(index):
    return u8(DUP) + u8(index)


def start(fd, part, cache_blocks=BLOCKS):
    return op_ioctl(fd, "StartBackup", [partval(part, MAJOR), partval(part, MINOR), partval(part, BLOCKS),
                                        partval(part, cache_blocks)])


def snapshot(fd):
    return op_ioctl(fd, "SnapShot", [raw_buffer(56), small(56)])


def get_state(fd):
    return op_ioctl(fd, "GetState", [raw_buffer(20), small(20)])


def ams_state(fd):
    return op_ioctl(fd, "GetAutoMapState", [raw_buffer(76), small(76)])


def load_map(fd, part, bitmap=b"\xff" * 32):
    ubm = word_buffer(8, [raw_buffer(len(bitmap), bitmap), partval(part, BLOCKS)])
    return op_ioctl(fd, "LoadBlockMap", [ubm, small(8)])


def get_automap(fd, part):
    ubm = word_buffer(8, [raw_buffer(4096), partval(part, BLOCKS)])
    return op_ioctl(fd, "GetAutoMap", [ubm, small(8)])


def read_blocks(fd, start_block, n, map_index=0):
    return op_ioctl(fd, "ReadBlocks", [small(start_block), small(n), mapping(map_index)])


def dirty(fd):
    return op_ioctl(fd, "GetDirtyBlock", [raw_buffer(4)])


def block_size(fd, part):
    return op_ioctl(fd, "GetBlockSize", [partval(part, MAJOR), partval(part, MINOR), raw_buffer(16), small(16)])


SEEDS = {
    "full-backup-4k": op_open() + start(0, 0) + op_mmap(0, 16) + snapshot(0) + get_state(0) + read_blocks(0, 0, 16)
    + read_blocks(0, 16, 16) + read_blocks(0, 48, 16) + op_close(0),
    "full-backup-1k-map-drain": op_open() + block_size(0, 1) + start(0, 1) + op_mmap(0, 64) + snapshot(0)
    + ams_state(0) + load_map(0, 1) + read_blocks(0, 0, 200) + dirty(0) + read_blocks(0, 200, 56) + dirty(0)
    + op_touch(0, 8192) + op_munmap(0) + op_close(0),
    "incremental": op_open() + start(0, 0) + op_mmap(0, 8) + snapshot(0) + ams_state(0) + op_close(0) + op_munmap(0)
    + op_open() + start(0, 0) + snapshot(0) + get_automap(0, 0) + load_map(0, 0) + op_close(0),
    "race-two-processes": op_open(0) + op_open(1) + start(0, 0) + start(1, 1) + get_state(1) + start(1, 1)
    + op_close(0) + start(1, 1) + op_close(0),
    "unload-mid-backup": op_open(0) + op_open(1) + start(0, 1) + op_mmap(0, 32) + snapshot(0)
    + op_ioctl(1, "Unload", [small(0)]) + read_blocks(0, 0, 128) + op_close(1) + op_close(0),
    "cache-limit-and-two-maps": op_open() + start(0, 0, cache_blocks=KEYLEN) + op_mmap(0, 4) + op_mmap(0, 8)
    + op_mmap(0, 8) + snapshot(0) + read_blocks(0, 0, 4, 0) + read_blocks(0, 4, 8, 1) + op_dup(0) + op_close(0)
    + get_state(0) + op_munmap(1) + op_munmap(0) + op_close(0),
    "switches-and-versions": op_open() + op_ioctl_noarg(0, "NoStartAutoMap") + op_ioctl_noarg(0, "NoLoadFromAutoMap")
    + op_ioctl(0, "GetVersionMajor", [raw_buffer(4)]) + op_ioctl(0, "GetVersionMinor", [raw_buffer(4)])
    + op_ioctl(0, "Reserved", []) + op_ioctl(0, "Sync", []) + start(0, 2) + start(0, 0) + snapshot(0) + op_close(0),
    "short-records": op_open() + op_ioctl(0, "GetState", [raw_buffer(20), small(20)], hole=True)
    + op_ioctl(0, "StartBackup", [partval(0, MAJOR)], hole=True) + op_ioctl(0, "ReadBlocks", [literal(0xFFFFFFFF)])
    + op_close(0),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {out}")


if __name__ == "__main__":
    main()
