// The change-tracking key a backup directory keeps for its next incremental: DIR/key,
// readable by its owner only, written atomically once the round that drew the key is
// complete in the manifest. The manifest keeps digests of keys only; a key file that
// does not match the manifest's last digest is never used.
#pragma once
#include <string>

#include "velloc.h"

namespace velloc::agent {

struct Manifest;

constexpr const char* kKeyFileName = "key";

// Writes DIR/key for round `round` (tmp, fsync, rename, fsync of the directory).
void writeKeyFile(const std::string& dir, int round, const std::string& partitionId, const AMSessionKey& key);

struct KeyFileRead {
  bool ok = false;
  AMSessionKey key{};
  int round = -1;
  // When !ok: the file is whole and this partition's, but holds the key of an earlier
  // round of the manifest (a run ended between switching the manifest and the key).
  bool stale = false;
  // When !ok: why the key cannot be used, as the reason of the full backup it causes
  // ("the change-tracking key DIR/key is missing").
  std::string reason;
};

// Reads DIR/key and checks it against `m`: same partition, and its digest is the
// keyDigest of the manifest's last round. Never throws.
KeyFileRead readKeyFile(const std::string& dir, const Manifest& m);

}  // namespace velloc::agent
