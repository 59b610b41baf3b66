#include "velloc/agent/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "fileutil.h"
#include "velloc/agent/backup_dir.h"
#include "velloc/agent/sha256.h"

namespace velloc::agent {

using nlohmann::json;

namespace {
constexpr char kHex[] = "0123456789abcdef";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

void writeKeyFile(const std::string& dir, int round, const std::string& partitionId, const AMSessionKey& key) {
  std::string hex;
  for (uint8_t b : key.key) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  json j = {{"format", "velloc-key"}, {"version", 1}, {"round", round}, {"partitionId", partitionId}, {"key", hex}};
  std::string s = j.dump() + "\n";
  fs::writeFileAtomic(dir + "/" + kKeyFileName, s.data(), s.size(), 0600);
}

KeyFileRead readKeyFile(const std::string& dir, const Manifest& m) {
  KeyFileRead r;
  const std::string path = dir + "/" + kKeyFileName;
  const std::string what = "the change-tracking key " + path;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    r.reason = what + (errno == ENOENT ? " is missing" : " cannot be read: " + fs::errnoText(errno));
    return r;
  }
  fs::Fd owned(fd);
  std::string text;
  try {
    uint64_t size = fs::fileSize(fd, path);
    if (size > 4096) {
      r.reason = what + " is damaged (" + std::to_string(size) + " bytes)";
      return r;
    }
    text = fs::readFile(path);
  } catch (const std::exception& e) {
    r.reason = what + " cannot be read";
    return r;
  }
  json j = json::parse(text, nullptr, false);
  auto str = [&](const char* k) { return j.is_object() && j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : ""; };
  std::string hex = str("key");
  if (j.is_discarded() || str("format") != "velloc-key" || !j.contains("version") || !j["version"].is_number() ||
      j["version"] != 1 || !j.contains("round") || !j["round"].is_number_integer() || hex.size() != 2 * VEL_KEY_LEN) {
    r.reason = what + " is damaged (not a velloc key file)";
    return r;
  }
  for (size_t i = 0; i < VEL_KEY_LEN; ++i) {
    int hi = hexValue(hex[2 * i]), lo = hexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      r.reason = what + " is damaged (the key is not hex)";
      return r;
    }
    r.key.key[i] = uint8_t(hi << 4 | lo);
  }
  r.round = j["round"].get<int>();
  if (str("partitionId") != m.partitionId) {
    r.reason = what + " belongs to another partition than the backups in " + dir;
    return r;
  }
  const std::string digest = Sha256::hexOf(r.key.key, VEL_KEY_LEN);
  if (m.rounds.empty() || digest != m.rounds.back().keyDigest) {
    r.reason = what + " is not the key kept after the last round in the manifest" +
               (m.rounds.empty() ? std::string() : " (round " + std::to_string(m.rounds.back().round) + ")");
    for (const RoundEntry& e : m.rounds)
      if (e.round == r.round && e.keyDigest == digest) {
        r.stale = true;
        r.reason += ": it is round " + std::to_string(r.round) + "'s, the run after it ended before keeping its own";
      }
    return r;
  }
  r.ok = true;
  return r;
}

}  // namespace velloc::agent
