/*
 * velloc.h - the interface between the velloc module and its user-space agents.
 *
 * Everything an agent needs to drive the control device: the device identity, the
 * ioctl command codes, the argument records it passes and the records the module
 * writes back, the result codes and the session / change-tracking state values.
 *
 * The same file is compiled inside the module (kernel headers only) and by the agent
 * (ordinary user-space C++), so it uses nothing but 8- and 32-bit fixed-width types.
 * Every record is a sequence of little-endian 32-bit words with no padding; a pointer
 * travels as a 32-bit address in the agent's memory (there is no translation for
 * agents of another word size). Sizes and offsets are checked at compile time.
 */
#ifndef _VELLOC_H
#define _VELLOC_H

#if defined(__KERNEL__)
#include <linux/types.h>
typedef u8 vel_u8;
typedef u32 vel_u32;
typedef s32 vel_s32;
#else
#include <stdint.h>
typedef uint8_t vel_u8;
typedef uint32_t vel_u32;
typedef int32_t vel_s32;
#endif

/* ---- Device identity and version ---------------------------------------------------- */

#define VEL_MAJOR 120               /* character device major number */
#define VEL_DEVICE_NAME "velloc"    /* name given to register_chrdev */
#define VEL_VERSION_MAJOR 3         /* answered by doGetVersionMajor */
#define VEL_VERSION_MINOR 1         /* answered by doGetVersionMinor */
#define VEL_VERSION_MINOR2 0
#define VEL_VERSION_BUILD 9504

/* ---- ioctl number layout -------------------------------------------------------------
 * bits 0-7 command number, bits 8-15 type, bits 16-29 argument size in bytes,
 * bits 30-31 direction (1 = the agent passes a record). The dispatcher compares the
 * whole 32-bit value, so a size field that differs from the record's is unknown. */

#define VEL_IOC_TYPE 0x2au          /* '*' */
#define VEL_IOC_NRSHIFT 0
#define VEL_IOC_TYPESHIFT 8
#define VEL_IOC_SIZESHIFT 16
#define VEL_IOC_DIRSHIFT 30
#define VEL_IOC_SIZEMASK 0x3fffu
#define VEL_IOC_WRITE 1u            /* direction: the agent writes a record to the module */

#define VEL_IOC(dir, nr, size)                                              \
  ((vel_u32)(((vel_u32)(dir) << VEL_IOC_DIRSHIFT) |                         \
             (((vel_u32)(size) & VEL_IOC_SIZEMASK) << VEL_IOC_SIZESHIFT) |  \
             (VEL_IOC_TYPE << VEL_IOC_TYPESHIFT) | ((vel_u32)(nr) << VEL_IOC_NRSHIFT)))
#define VEL_IO(nr) VEL_IOC(0u, (nr), 0u)                  /* no direction, no record */
#define VEL_IOW(nr, size) VEL_IOC(VEL_IOC_WRITE, (nr), (size))

/* ---- Argument records ----------------------------------------------------------------- */

#define VEL_KEY_LEN 56              /* bytes of a change-tracking session key */

/* Opaque key of a change-tracking session; compared as 56 bytes. */
typedef struct AMSessionKey {
  vel_u8 key[VEL_KEY_LEN];
} AMSessionKey;

/* doGetBlockSize: which device to describe and where the answer goes. */
typedef struct GetBlockSize {
  vel_u32 major;                    /* device major */
  vel_u32 minor;                    /* device minor */
  vel_u32 bs;                       /* agent address of a BlockSize */
  vel_u32 len;                      /* bytes of the agent's BlockSize buffer */
} GetBlockSize;

/* Answer of doGetBlockSize (written by the module, at most len bytes of it). */
typedef struct BlockSize {
  vel_u32 major;                    /* as asked */
  vel_u32 minor;                    /* as asked */
  vel_s32 blockSize;                /* file-system block size, bytes */
  vel_u32 partitionSizeKB;          /* partition size, KiB (low 32 bits) */
} BlockSize;

/* doStartBackup. */
typedef struct StartBackup {
  vel_u32 major;                    /* device major */
  vel_u32 minor;                    /* device minor */
  vel_u32 totalBlocks;              /* file-system blocks on the partition, as the agent counts */
  vel_u32 maxCacheBlocks;           /* most blocks the copy-on-write cache may hold */
} StartBackup;

/* doSnapShot: the key the agent holds (only read; at most 56 bytes of it). */
typedef struct SnapShot {
  vel_u32 amsKey;                   /* agent address of an AMSessionKey */
  vel_u32 len;                      /* bytes of the agent's key buffer */
} SnapShot;

/* doGetState. */
typedef struct GetState {
  vel_u32 s;                        /* agent address of a State */
  vel_u32 len;                      /* bytes of the agent's State buffer */
} GetState;

/* Answer of doGetState. */
typedef struct State {
  vel_u32 major;                    /* device of the session, 0 if none */
  vel_u32 minor;
  vel_u32 state;                    /* session state (BackupState) */
  vel_s32 blockSize;                /* bytes */
  vel_s32 mmapSize;                 /* bytes of transfer buffer the agent may map */
} State;

/* doGetAutoMapState. */
typedef struct GetAutoMapState {
  vel_u32 ams;                      /* agent address of an AutoMapState */
  vel_u32 len;                      /* bytes of the agent's AutoMapState buffer */
} GetAutoMapState;

/* Answer of doGetAutoMapState; all zero when the device has no change tracking. */
typedef struct AutoMapState {
  vel_u32 major;
  vel_u32 minor;
  vel_u32 state;                    /* AutoMapSessionState */
  vel_u32 mapLen;                   /* blocks covered by the change map */
  vel_u32 mapSize;                  /* bytes of the change map */
  AMSessionKey amsKey;              /* key to present at the next snapshot */
} AutoMapState;

/* A bitmap in the agent's memory: block n is bit (n % 8), least significant first,
 * of byte n / 8. */
typedef struct UserBlockMap {
  vel_u32 map;                      /* agent address of the bitmap bytes */
  vel_u32 mapLen;                   /* blocks (bits) the bitmap covers */
} UserBlockMap;

/* doLoadBlockMap: exactly 8 bytes are copied from bm; len is not used. */
typedef struct LoadBlockMap {
  vel_u32 bm;                       /* agent address of a UserBlockMap */
  vel_u32 len;
} LoadBlockMap;

/* doGetAutoMap: same layout as LoadBlockMap. */
typedef struct GetAutoMap {
  vel_u32 bm;                       /* agent address of a UserBlockMap */
  vel_u32 len;
} GetAutoMap;

/* doGetDirtyBlock: receives a block number, VEL_NO_DIRTY_BLOCK when the cache is empty. */
typedef struct DirtyBlock {
  vel_u32 blockNum;                 /* agent address of a 32-bit unsigned int */
} DirtyBlock;

#define VEL_NO_DIRTY_BLOCK 0xFFFFFFFFu

/* doReadBlocks: block startBlockNum + i lands at byte i * blockSize of the mapping. */
typedef struct ReadBlocks {
  vel_u32 startBlockNum;            /* first block */
  vel_u32 numBlocks;                /* number of blocks */
  vel_u32 data;                     /* agent address: the start of one transfer-buffer mapping */
} ReadBlocks;

/* ---- Command codes ------------------------------------------------------------------- */

#define doGetBlockSize VEL_IOW(0x00, sizeof(GetBlockSize))
#define doStartBackup VEL_IOW(0x01, sizeof(StartBackup))
#define doSnapShot VEL_IOW(0x02, sizeof(SnapShot))
#define doGetState VEL_IOW(0x03, sizeof(GetState))
#define doGetAutoMapState VEL_IOW(0x04, sizeof(GetAutoMapState))
#define doNoLoadFromAutoMap VEL_IO(0x05)                 /* argument ignored */
#define doNoStartAutoMap VEL_IO(0x06)                    /* argument ignored */
#define doLoadBlockMap VEL_IOW(0x07, sizeof(LoadBlockMap))
#define doGetAutoMap VEL_IOW(0x08, sizeof(GetAutoMap))
#define doGetDirtyBlock VEL_IOW(0x09, sizeof(DirtyBlock))
#define doReadBlocks VEL_IOW(0x0a, sizeof(ReadBlocks))
/* 0x0b is not a command. */
#define doGetVersionMajor VEL_IOW(0x0c, sizeof(vel_u32)) /* address of a 4-byte int */
#define doGetVersionMinor VEL_IOW(0x0d, sizeof(vel_u32)) /* address of a 4-byte int */
#define doSync VEL_IOW(0x0e, sizeof(vel_u32))            /* argument ignored */
#define doUnload VEL_IOW(0x0f, sizeof(vel_u32))          /* argument ignored */
#define doReserved VEL_IOW(0x10, sizeof(vel_u32))        /* always refused with 3 */

/* ---- Result codes --------------------------------------------------------------------
 * The ioctl result is the handler's result: 0 or one of these small positive codes.
 * Two failures pass the kernel's negative error number through instead: a worker thread
 * that could not be created (doStartBackup) and a dirty-block answer that could not be
 * stored (doGetDirtyBlock). 10 and 13 are never returned. */
enum VelResult {
  velOK = 0,
  velErrNotInitialised = 1,   /* module not initialised; no make-request function known */
  velErrInvalid = 2,          /* no session record; wrong state; unusable argument or device */
  velErrRefused = 3,          /* reserved command; unusable block size; cache clean-up failed */
  velErrUnknownCommand = 4,   /* code not in the command table */
  velErrNoMemory = 5,         /* out of memory */
  velErrCopyFromUser = 6,     /* a record, key or map could not be read from the agent */
  velErrCopyToUser = 7,       /* a result could not be written to the agent */
  velErrNoFileSystem = 8,     /* no mounted file system on the device */
  velErrOtherBackupOpen = 9,  /* another handle is running a backup */
  velErrNotIdle = 11,         /* this handle's session is not idle */
  velErrReadError = 12        /* a disk read for the agent failed */
};

/* ---- Session states (State.state) ----------------------------------------------------
 * 3 and 11 are never assigned. States up to stateMapLoaded are working states; every
 * state above it ends the session's usefulness (writes are no longer cached, reads are
 * refused): "state <= stateMapLoaded" separates the two groups. */
enum BackupState : vel_u32 {
  stateIdle = 0,              /* no backup on this handle */
  stateStarting = 1,          /* start is building the session (a failed start stays here) */
  stateStarted = 2,           /* session built and active; waiting for the snapshot */
  stateSnapshotComplete = 4,  /* writes intercepted, old contents cached */
  stateLoadingMap = 5,        /* the agent's block map is being loaded */
  stateMapLoaded = 6,         /* cache keeps and serves only blocks of the loaded map */
  stateClosing = 7,           /* the handle is being closed */
  stateCacheReadError = 8,    /* reading a block's old contents failed */
  stateMapLoadFailed = 9,     /* loading the block map, or cleaning the cache after it, failed */
  stateCacheExhausted = 10,   /* no memory for a cached block, or maxCacheBlocks reached */
  stateOtherBackupOpen = 12,  /* a start was refused: another backup holds the slot */
  stateQueueOutOfMemory = 13  /* no memory to queue an intercepted write */
};

/* ---- Change-tracking session states (AutoMapState.state) ---------------------------- */
enum AutoMapSessionState : vel_u32 {
  amsNotInSync = 0,           /* the map may miss writes; the next snapshot will not use it */
  amsInSync = 1               /* every write since the snapshot that set this is in the map */
};

/* ---- Compile-time checks of the layout ----------------------------------------------- */

#define VEL_CHECK_FIELD(rec, field, off) \
  static_assert(__builtin_offsetof(rec, field) == (off), #rec "." #field " offset")

static_assert(sizeof(vel_u32) == 4 && sizeof(vel_s32) == 4 && sizeof(vel_u8) == 1, "types");

static_assert(sizeof(AMSessionKey) == 56, "AMSessionKey size");
VEL_CHECK_FIELD(AMSessionKey, key, 0);

static_assert(sizeof(GetBlockSize) == 16, "GetBlockSize size");
VEL_CHECK_FIELD(GetBlockSize, major, 0);
VEL_CHECK_FIELD(GetBlockSize, minor, 4);
VEL_CHECK_FIELD(GetBlockSize, bs, 8);
VEL_CHECK_FIELD(GetBlockSize, len, 12);

static_assert(sizeof(BlockSize) == 16, "BlockSize size");
VEL_CHECK_FIELD(BlockSize, major, 0);
VEL_CHECK_FIELD(BlockSize, minor, 4);
VEL_CHECK_FIELD(BlockSize, blockSize, 8);
VEL_CHECK_FIELD(BlockSize, partitionSizeKB, 12);

static_assert(sizeof(StartBackup) == 16, "StartBackup size");
VEL_CHECK_FIELD(StartBackup, major, 0);
VEL_CHECK_FIELD(StartBackup, minor, 4);
VEL_CHECK_FIELD(StartBackup, totalBlocks, 8);
VEL_CHECK_FIELD(StartBackup, maxCacheBlocks, 12);

static_assert(sizeof(SnapShot) == 8, "SnapShot size");
VEL_CHECK_FIELD(SnapShot, amsKey, 0);
VEL_CHECK_FIELD(SnapShot, len, 4);

static_assert(sizeof(GetState) == 8, "GetState size");
VEL_CHECK_FIELD(GetState, s, 0);
VEL_CHECK_FIELD(GetState, len, 4);

static_assert(sizeof(State) == 20, "State size");
VEL_CHECK_FIELD(State, major, 0);
VEL_CHECK_FIELD(State, minor, 4);
VEL_CHECK_FIELD(State, state, 8);
VEL_CHECK_FIELD(State, blockSize, 12);
VEL_CHECK_FIELD(State, mmapSize, 16);

static_assert(sizeof(GetAutoMapState) == 8, "GetAutoMapState size");
VEL_CHECK_FIELD(GetAutoMapState, ams, 0);
VEL_CHECK_FIELD(GetAutoMapState, len, 4);

static_assert(sizeof(AutoMapState) == 76, "AutoMapState size");
VEL_CHECK_FIELD(AutoMapState, major, 0);
VEL_CHECK_FIELD(AutoMapState, minor, 4);
VEL_CHECK_FIELD(AutoMapState, state, 8);
VEL_CHECK_FIELD(AutoMapState, mapLen, 12);
VEL_CHECK_FIELD(AutoMapState, mapSize, 16);
VEL_CHECK_FIELD(AutoMapState, amsKey, 20);

static_assert(sizeof(UserBlockMap) == 8, "UserBlockMap size");
VEL_CHECK_FIELD(UserBlockMap, map, 0);
VEL_CHECK_FIELD(UserBlockMap, mapLen, 4);

static_assert(sizeof(LoadBlockMap) == 8, "LoadBlockMap size");
VEL_CHECK_FIELD(LoadBlockMap, bm, 0);
VEL_CHECK_FIELD(LoadBlockMap, len, 4);

static_assert(sizeof(GetAutoMap) == 8, "GetAutoMap size");
VEL_CHECK_FIELD(GetAutoMap, bm, 0);
VEL_CHECK_FIELD(GetAutoMap, len, 4);

static_assert(sizeof(DirtyBlock) == 4, "DirtyBlock size");
VEL_CHECK_FIELD(DirtyBlock, blockNum, 0);

static_assert(sizeof(ReadBlocks) == 12, "ReadBlocks size");
VEL_CHECK_FIELD(ReadBlocks, startBlockNum, 0);
VEL_CHECK_FIELD(ReadBlocks, numBlocks, 4);
VEL_CHECK_FIELD(ReadBlocks, data, 8);

static_assert(doGetBlockSize == 0x40102a00u, "doGetBlockSize");
static_assert(doStartBackup == 0x40102a01u, "doStartBackup");
static_assert(doSnapShot == 0x40082a02u, "doSnapShot");
static_assert(doGetState == 0x40082a03u, "doGetState");
static_assert(doGetAutoMapState == 0x40082a04u, "doGetAutoMapState");
static_assert(doNoLoadFromAutoMap == 0x2a05u, "doNoLoadFromAutoMap");
static_assert(doNoStartAutoMap == 0x2a06u, "doNoStartAutoMap");
static_assert(doLoadBlockMap == 0x40082a07u, "doLoadBlockMap");
static_assert(doGetAutoMap == 0x40082a08u, "doGetAutoMap");
static_assert(doGetDirtyBlock == 0x40042a09u, "doGetDirtyBlock");
static_assert(doReadBlocks == 0x400c2a0au, "doReadBlocks");
static_assert(doGetVersionMajor == 0x40042a0cu, "doGetVersionMajor");
static_assert(doGetVersionMinor == 0x40042a0du, "doGetVersionMinor");
static_assert(doSync == 0x40042a0eu, "doSync");
static_assert(doUnload == 0x40042a0fu, "doUnload");
static_assert(doReserved == 0x40042a10u, "doReserved");

#undef VEL_CHECK_FIELD

#endif /* _VELLOC_H */
