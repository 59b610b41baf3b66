// The control protocol's fuzzer: each input is up to 16 request lines handed to one
// service (its own stand-in machine, one small ext4 image attached) exactly as a client
// connection hands them over. Whatever the bytes, every line gets events and then exactly
// one reply, each a JSON object of protocol version 1, the reply echoing a valid id; the
// service never crashes, hangs or leaks (ASan, UBSan, the lock-order checker).
//
// Each input starts from the same image. Requests reach the host's files only inside the fuzzer's scratch directory: "image" and
// "repo" are replaced by a name there made from their text, and `mount` (a host FUSE mount
// and loop device) is left out.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "velloc/agent/image_builder.h"
#include "velloc/service/service.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string g_scratch, g_image, g_pristine;

void removeScratch() {
  std::error_code ec;
  if (!g_scratch.empty()) fs::remove_all(g_scratch, ec);
}

[[noreturn]] void broken(const std::string& why, const std::string& line, const std::string& reply) {
  std::fprintf(stderr, "protocol fuzzer: %s\n  request: %s\n  reply:   %s\n", why.c_str(), line.c_str(), reply.c_str());
  std::abort();
}

// The name inside the scratch directory that a request's path stands for: its letters,
// digits, dots, dashes and underscores, at most 24 of them ("disk.img" is the image).
std::string inScratch(const std::string& sub, const std::string& text) {
  std::string name;
  for (char c : text)
    if (name.size() < 24 && (isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')) name += c;
  if (name.empty() || name == "." || name == "..") name = "x";
  return g_scratch + "/" + sub + "/" + name;
}

// The line as the service will see it: paths moved into the scratch directory, mount
// refused here. False when the line is not to be sent.
bool confine(std::string& line) {
  json j = json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return true;
  if (auto op = j.find("op"); op != j.end() && op->is_string() && *op == "mount") return false;
  bool changed = false;
  if (auto it = j.find("image"); it != j.end() && it->is_string()) {
    *it = inScratch("images", it->get<std::string>());
    changed = true;
  }
  if (auto it = j.find("repo"); it != j.end() && it->is_string()) {
    *it = inScratch("repos", it->get<std::string>());
    changed = true;
  }
  if (changed) line = j.dump(-1, ' ', false, json::error_handler_t::replace);
  return true;
}

// The id a reply must echo: that of a request the service could read as an object.
json expectedId(const std::string& line) {
  json j = json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return nullptr;
  auto it = j.find("id");
  if (it == j.end() || !(it->is_number() || it->is_string())) return nullptr;
  return *it;
}

void checkAnswer(const std::string& line, const std::vector<std::string>& sent) {
  if (sent.empty()) broken("no reply", line, "");
  for (size_t i = 0; i < sent.size(); i++) {
    json j = json::parse(sent[i], nullptr, false);
    if (j.is_discarded() || !j.is_object()) broken("a line sent is not a JSON object", line, sent[i]);
    if (j.value("v", 0) != velloc::service::kProtocolVersion) broken("a line sent has no protocol version", line, sent[i]);
    const bool last = i + 1 == sent.size();
    if (last != j.contains("ok")) broken(last ? "the last line is no reply" : "a reply before the last line", line, sent[i]);
    if (!last && !j.contains("event")) broken("a line before the reply is no event", line, sent[i]);
    if (last) {
      if (!j["ok"].is_boolean()) broken("\"ok\" is not a boolean", line, sent[i]);
      if (!j["ok"] && !(j.contains("error") && j["error"].is_string())) broken("a refusal without an error", line, sent[i]);
      json id = expectedId(line);
      if (!id.is_null() && j.value("id", json()) != id) broken("the reply does not echo the id", line, sent[i]);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/velloc-protocol-fuzz-XXXXXX";
  if (!::mkdtemp(dir)) {
    std::perror("protocol fuzzer: mkdtemp");
    std::exit(1);
  }
  g_scratch = dir;
  std::atexit(removeScratch);
  fs::create_directories(g_scratch + "/images");
  fs::create_directories(g_scratch + "/repos");
  g_image = g_scratch + "/images/disk.img";
  g_pristine = g_scratch + "/pristine.img";
  velloc::agent::FsSpec spec;
  spec.bytes = 8ull << 20;
  spec.files = 3;
  spec.fileBytes = 256 << 10;
  velloc::agent::buildExt4Image(g_pristine, {spec}, g_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < size && lines.size() < 16; i++) {
    if (data[i] == '\n') {
      lines.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += char(data[i]);
    }
  }
  if (!cur.empty() && lines.size() < 16) lines.push_back(std::move(cur));

  // Every input starts from the same disk: `write` requests change it.
  fs::copy_file(g_pristine, g_image, fs::copy_options::overwrite_existing);
  {
    velloc::service::ServiceOptions opt;
    opt.testWrites = true;
    opt.repoLockWaitSeconds = 0;
    velloc::service::Service svc(opt);
    svc.attach(g_image);
    std::vector<std::string> sent;
    velloc::service::Peer peer;
    peer.send = [&](const std::string& s) {
      sent.push_back(s);
      return true;
    };
    peer.gone = [] { return false; };
    peer.uid = ::getuid();
    peer.pid = ::getpid();
    for (std::string& line : lines) {
      if (!confine(line)) continue;
      sent.clear();
      svc.handle(line, peer);
      checkAnswer(line, sent);
    }
  }
  // Repositories and copied images of this input go with it.
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(g_scratch + "/repos", ec)) fs::remove_all(e.path(), ec);
  for (const auto& e : fs::directory_iterator(g_scratch + "/images", ec))
    if (e.path() != g_image) fs::remove_all(e.path(), ec);
  return 0;
}
