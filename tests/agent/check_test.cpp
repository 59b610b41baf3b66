// `velloc check`: each kind of damage is found and named, a clean directory passes, and
// leftovers of an interrupted run are notes, not damage.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "agent_test_util.h"
#include "velloc/agent/check.h"

using namespace velloc::agent;
using agent_test::runVelloc;
namespace sfs = std::filesystem;

namespace {

constexpr uint32_t kBs = 1024;

std::vector<std::vector<uint8_t>> images(int partition) {
  std::vector<std::vector<uint8_t>> v(3, std::vector<uint8_t>(48 * kBs, uint8_t(partition)));
  v[1] = v[0];
  v[1][4 * kBs] = 7;
  v[1][9 * kBs] = 7;
  v[2] = v[1];
  v[2][30 * kBs] = 8;
  return v;
}

void flip(const std::string& path, uint64_t offset) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(std::streamoff(offset));
  char c = char(f.get());
  f.seekp(std::streamoff(offset));
  f.put(char(c ^ 0x20));
}

struct Damage {
  const char* name;
  std::function<void(const std::string& dir, const std::string& other)> apply;
  const char* file;    // the file the problem line names
  const char* says;    // part of the line
  bool needsData;      // found only with --read-data
};

}  // namespace

TEST(Check, EveryKindOfDamageIsNamedOnItsOwnLineAndACleanDirectoryPasses) {
  agent_test::TempDir t;
  agent_test::writeChain(t / "clean", images(1), kBs, 1);
  agent_test::writeChain(t / "other", images(2), kBs, 2);
  std::string out, err;
  ASSERT_EQ(runVelloc({"check", t / "clean", "--read-data"}, &out, &err), 0) << out << err;
  EXPECT_NE(out.find(": clean: 3 round(s), 5 file(s)"), std::string::npos) << out;

  auto rewriteManifest = [](const std::string& dir, const std::function<void(nlohmann::json&)>& edit) {
    auto j = nlohmann::json::parse(agent_test::readText(dir + "/manifest.json"));
    edit(j);
    std::ofstream(dir + "/manifest.json", std::ios::trunc) << j.dump(2);
  };
  const std::vector<Damage> cases = {
      {"flipped data byte", [](auto& d, auto&) { flip(d + "/round-001.incr", 4096 + 100); }, "round-001.incr",
       "does not match its checksum", true},
      {"flipped full image byte", [](auto& d, auto&) { flip(d + "/round-000.full.img", 5000); }, "round-000.full.img",
       "does not match its checksum", true},
      {"flipped map byte", [](auto& d, auto&) { flip(d + "/round-002.map", 3); }, "round-002.incr",
       "change map", false},
      {"flipped header byte", [](auto& d, auto&) { flip(d + "/round-001.incr", 100); }, "round-001.incr",
       "does not follow round 0", false},
      {"flipped header padding", [](auto& d, auto&) { flip(d + "/round-001.incr", 3000); }, "round-001.incr",
       "does not match its checksum", true},
      {"truncated file", [](auto& d, auto&) { sfs::resize_file(d + "/round-000.full.img", 40 * kBs); },
       "round-000.full.img", "is truncated", false},
      {"missing file", [](auto& d, auto&) { sfs::remove(d + "/round-002.incr"); }, "round-002.incr", "is missing",
       false},
      {"foreign round",
       [](auto& d, auto& o) {
         sfs::copy_file(o + "/round-001.incr", d + "/round-001.incr", sfs::copy_options::overwrite_existing);
       },
       "round-001.incr", "from another partition", false},
      {"broken key chain",
       [&](auto& d, auto&) {
         // Round 2 says (in its header and the manifest alike) it followed another key.
         agent_test::rewriteIncrementalKeys(d, 2, std::string(64, 'c'));
       },
       "round-002.incr", "does not follow round 1", false},
      {"round missing from the manifest",
       [&](auto& d, auto&) { rewriteManifest(d, [](auto& j) { j["rounds"].erase(1); }); }, "manifest.json",
       "follows round 0: rounds are missing", false},
      {"manifest cut short",
       [](auto& d, auto&) { sfs::resize_file(d + "/manifest.json", sfs::file_size(d + "/manifest.json") / 2); },
       "manifest.json", "is damaged: it is not valid JSON", false},
      {"manifest field of the wrong kind",
       [&](auto& d, auto&) { rewriteManifest(d, [](auto& j) { j["rounds"][0]["bytes"] = "many"; }); },
       "manifest.json", "round 0's \"bytes\" is not a whole number", false},
      {"damaged key file", [](auto& d, auto&) { std::ofstream(d + "/key") << "{}"; }, "key", "is damaged", false},
      {"unknown file", [](auto& d, auto&) { std::ofstream(d + "/notes.txt") << "x"; }, "notes.txt", "unknown file",
       false},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string d = t / "d";
    sfs::remove_all(d);
    sfs::copy(t / "clean", d);
    c.apply(d, t / "other");
    if (c.needsData) {
      EXPECT_EQ(runVelloc({"check", d}, &out, &err), 0) << "metadata only: " << out;
    }
    EXPECT_EQ(runVelloc({"check", d, "--read-data"}, &out, &err), 1) << out << err;
    EXPECT_NE(out.find(d + "/" + c.file + ": "), std::string::npos) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_NE(out.find(d + ": damaged: "), std::string::npos) << out;
    EXPECT_EQ(out.find("json.exception"), std::string::npos) << out;
    ASSERT_EQ(runVelloc({"--json", "check", d, "--read-data"}, &out, &err), 1);
    EXPECT_EQ(nlohmann::json::parse(out)["result"], "damaged");
  }

  // Leftovers of an interrupted run are notes; a directory that is no backup cannot be checked.
  std::ofstream(t / "clean/round-003.incr.partial-999999") << "x";
  EXPECT_EQ(runVelloc({"check", t / "clean"}, &out, &err), 0) << out;
  EXPECT_NE(out.find("note: " + (t / "clean/round-003.incr.partial-999999") + ": left by an interrupted run"),
            std::string::npos)
      << out;
  EXPECT_EQ(runVelloc({"check", t / "nothing"}, &out, &err), 2);
  EXPECT_EQ(err, "velloc: error: cannot check " + (t / "nothing") + ": No such file or directory\n");
}
