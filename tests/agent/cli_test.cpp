// The velloc command: one-line errors for each kind of bad input, nothing left behind,
// and a backup / restore / verify round trip on a real ext4 image.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "agent_test_util.h"
#include "velloc/agent/image_builder.h"

using namespace velloc::agent;
using agent_test::runVelloc;
namespace sfs = std::filesystem;

namespace {

// One image for the suite: partition 1 ext4 (1024-byte blocks), partition 2 raw.
class Cli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new agent_test::TempDir();
    image_ = *dir_ / "disk.img";
    if (!haveTool("mkfs.ext4")) return;
    FsSpec s{1024, 8ull << 20, "clitest", 2, 512ull << 10};
    auto parts = buildExt4Image(image_, {s}, dir_->path());
    uint64_t p2 = parts[0].startSector + parts[0].sectors;
    ::truncate(image_.c_str(), off_t((p2 + 4096) * 512));
    writeMbr(image_, {{parts[0].startSector, parts[0].sectors}, {p2, 4096}});
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override {
    if (!haveTool("mkfs.ext4")) GTEST_SKIP() << "e2fsprogs missing";
  }
  // Runs velloc expecting a failure; returns the error line.
  std::string fails(const std::vector<std::string>& args, int want = 2) {
    std::string out, err;
    int rc = runVelloc(args, &out, &err);
    EXPECT_EQ(rc, want) << "out: " << out << "\nerr: " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("velloc: error: ", 0), 0u) << err;
    return err;
  }
  // Nothing named like `base` (or a temporary of it) exists in the scratch directory.
  void nothingLeft(const std::string& base) {
    for (auto& e : sfs::directory_iterator(t_.path()))
      EXPECT_EQ(e.path().filename().string().rfind(base, 0), std::string::npos) << e.path();
  }
  static agent_test::TempDir* dir_;
  static std::string image_;
  agent_test::TempDir t_;
};
agent_test::TempDir* Cli::dir_;
std::string Cli::image_;

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

}  // namespace

// What every command-line tool does: a version, one usage line for a command that is
// not there, --json wherever it stands, and an error as a JSON document when asked.
TEST_F(Cli, VersionUnknownCommandsAndJsonAnywhere) {
  std::string out, err;
  EXPECT_EQ(runVelloc({"--version"}, &out, &err), 0) << err;
  EXPECT_TRUE(contains(out, "velloc 3.1.0") && contains(out, "build 9504")) << out;

  EXPECT_TRUE(contains(fails({"frob"}), "unknown command \"frob\"")) << "frob";
  EXPECT_TRUE(contains(fails({}), "no command given"));
  EXPECT_TRUE(contains(fails({"--json"}), "no command given"));

  std::string before, after;
  ASSERT_EQ(runVelloc({"--json", "info", image_}, &before, &err), 0) << err;
  ASSERT_EQ(runVelloc({"info", image_, "--json"}, &after, &err), 0) << err;
  EXPECT_EQ(before, after);
  EXPECT_TRUE(nlohmann::json::parse(after, nullptr, false).is_object()) << after;

  for (const auto& args : std::vector<std::vector<std::string>>{
           {"info", "/nonexistent.img", "--json"}, {"--json", "frob"}, {"--json", "restore", "--round", "x"}}) {
    EXPECT_EQ(runVelloc(args, &out, &err), 2) << args[1];
    nlohmann::json j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(j.is_object() && j.contains("error")) << args[1] << ": " << out;
    EXPECT_EQ(j["error"].value("code", 0), 2);
    EXPECT_EQ("velloc: error: " + j["error"].value("message", std::string()) + "\n", err);
  }
}

TEST_F(Cli, MissingUnreadableOrOddImagesAreNamed) {
  std::string missing = t_ / "none.img";
  EXPECT_EQ(fails({"backup", missing, "--partition", "1", "--out", t_ / "b"}),
            "velloc: error: cannot open image " + missing + ": No such file or directory\n");
  EXPECT_TRUE(contains(fails({"info", missing}), "cannot open image " + missing));
  EXPECT_TRUE(contains(fails({"backup", t_.path(), "--partition", "1", "--out", t_ / "b"}), "is not a regular file"));
  std::ofstream(t_ / "tiny.img") << "x";
  EXPECT_TRUE(contains(fails({"info", t_ / "tiny.img"}), "too small"));
  if (::geteuid() != 0) {
    sfs::copy_file(image_, t_ / "locked.img");
    ::chmod((t_ / "locked.img").c_str(), 0);
    EXPECT_TRUE(contains(fails({"info", t_ / "locked.img"}), "Permission denied"));
  }
  nothingLeft("b");
}

TEST_F(Cli, PartitionsThatDoNotExistOrHoldNoFileSystemAreNamed) {
  EXPECT_TRUE(contains(fails({"backup", image_, "--partition", "3", "--out", t_ / "b"}),
                       image_ + " has no partition 3 (it has partitions 1-2)"));
  EXPECT_TRUE(contains(fails({"backup", image_, "--partition", "2", "--out", t_ / "b"}),
                       "partition 2 of " + image_ + " holds no file system velloc can back up"));
  nothingLeft("b");
  std::string out, err;
  ASSERT_EQ(runVelloc({"info", image_}, &out, &err), 0) << err;
  EXPECT_TRUE(contains(out, "1024")) << out;
  EXPECT_TRUE(contains(out, "no file system")) << out;
}

TEST_F(Cli, OutputDirectoriesThatExistOrCannotBeMadeAreRefused) {
  sfs::create_directory(t_ / "taken");
  EXPECT_TRUE(contains(fails({"backup", image_, "--partition", "1", "--out", t_ / "taken"}),
                       "output directory " + (t_ / "taken") + " already exists"));
  std::ofstream(t_ / "file") << "x";
  EXPECT_TRUE(contains(fails({"backup", image_, "--partition", "1", "--out", t_ / "file/b"}), "is not a directory"));
  EXPECT_TRUE(contains(fails({"backup", image_, "--partition", "1", "--out", t_ / "no/such/b"}),
                       "No such file or directory"));
  EXPECT_TRUE(contains(fails({"backup", image_, "--partition", "x", "--out", t_ / "b"}), "partition"));
  nothingLeft("b");
}

TEST_F(Cli, RestoreRefusesChainsWithAMissingRoundOrFromAnotherPartition) {
  std::vector<std::vector<uint8_t>> a(3, std::vector<uint8_t>(64 * 1024, 1)), b = a;
  a[1][0] = 2; a[2][4096] = 3;
  b[1][9] = 4; b[2][8192] = 5;
  agent_test::writeChain(t_ / "A", a, 1024, 1);
  agent_test::writeChain(t_ / "B", b, 1024, 2);
  sfs::copy_file(t_ / "B/round-002.incr", t_ / "A/round-002.incr", sfs::copy_options::overwrite_existing);
  EXPECT_TRUE(contains(fails({"restore", t_ / "A", "--round", "2", "--out", t_ / "r.img"}), "from another partition"));
  sfs::remove(t_ / "A/round-001.incr");
  EXPECT_EQ(fails({"restore", t_ / "A", "--round", "2", "--out", t_ / "r.img"}),
            "velloc: error: round 1 is missing: " + (t_ / "A/round-001.incr") + " not found\n");
  EXPECT_TRUE(contains(fails({"restore", t_ / "A", "--round", "9", "--out", t_ / "r.img"}), "round 9 is not in"));
  EXPECT_TRUE(contains(fails({"restore", t_ / "nope", "--round", "0", "--out", t_ / "r.img"}), "No such file"));
  EXPECT_TRUE(contains(fails({"restore", t_.path(), "--round", "0", "--out", t_ / "r.img"}), "manifest.json is missing"));
  nothingLeft("r.img");
  std::string out, err;
  ASSERT_EQ(runVelloc({"restore", t_ / "B", "--round", "2", "--out", t_ / "r.img"}, &out, &err), 0) << err;
  EXPECT_TRUE(contains(fails({"restore", t_ / "B", "--round", "2", "--out", t_ / "r.img"}), "already exists"));
  EXPECT_TRUE(contains(fails({"verify", t_ / "r.img", t_ / "none"}), "cannot read " + (t_ / "none")));
}

TEST_F(Cli, BackupWithWritersThenRestoreGivesAnImageE2fsckAccepts) {
  std::string work = t_ / "img";
  sfs::copy_file(image_, work);
  std::string out, err;
  int rc = runVelloc({"--json", "backup", work, "--partition", "1", "--out", t_ / "bk", "--rounds", "2", "--writers",
                      "2", "--seconds", "0.2", "--cache-blocks", "4096"},
                     &out, &err);
  ASSERT_EQ(rc, 0) << out << err;
  auto j = nlohmann::json::parse(out);
  ASSERT_EQ(j["rounds"].size(), 3u);
  EXPECT_EQ(j["rounds"][0]["kind"], "full");
  EXPECT_EQ(j["rounds"][1]["kind"], "incr");
  EXPECT_EQ(j["rounds"][2]["kind"], "incr");
  EXPECT_GT(j["writes"].get<uint64_t>(), 0u);
  ASSERT_EQ(runVelloc({"restore", t_ / "bk", "--round", "2", "--out", t_ / "r2.img"}, &out, &err), 0) << err;
  std::string report;
  EXPECT_TRUE(e2fsckClean(t_ / "r2.img", &report)) << report;
  EXPECT_TRUE(e2fsckClean(t_ / "bk/round-000.full.img", &report)) << report;
  // Round 0 is the full image itself.
  ASSERT_EQ(runVelloc({"restore", t_ / "bk", "--round", "0", "--out", t_ / "r0.img"}, &out, &err), 0) << err;
  EXPECT_EQ(runVelloc({"verify", t_ / "r0.img", t_ / "bk/round-000.full.img"}, &out, &err), 0) << out;
  EXPECT_EQ(runVelloc({"verify", t_ / "r0.img", t_ / "r2.img", "--block-size", "1024"}, &out, &err), 1) << out;
  EXPECT_TRUE(contains(out, "DIFFERENT")) << out;
  ASSERT_EQ(runVelloc({"log", t_ / "bk"}, &out, &err), 0) << err;
  EXPECT_TRUE(contains(out, "printStats: peak cached blocks")) << out.substr(0, 400);
}
