// The update run against a real HTTPS mirror on 127.0.0.1: installs, "already current",
// refused channels, faulty downloads, cancels, a full disk and an unwritable root. After
// every refusal and failure the root must be exactly as it was, with no temporary left.
#include "update/updater.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "tests/unit/os_test_util.h"
#include "tests/unit/update_test_util.h"
#include "update/set_store.h"

namespace nerlo::update {
namespace {

using testing::KeyPair;
using testing::MirrorServer;
using testing::ReadFile;
using testing::RootPicture;
using testing::TempDir;
using testing::WriteChannel;
using testing::WriteSetFiles;

constexpr int64_t kNow = 1800000000;  // 2027-01-15
constexpr int64_t kDay = 86400;

std::string Bytes(char fill, size_t size, const std::string& tag) {
  std::string bytes(size, fill);
  bytes.replace(0, tag.size(), tag);
  return bytes;
}

bool HasLeftovers(const std::string& root) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".incoming-", 0) == 0 || name.rfind(".current-", 0) == 0) return true;
  }
  return false;
}

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("no_proxy", "*", 1);
    server_ = std::make_unique<MirrorServer>(mirror_, dir_ / "state");
    ASSERT_TRUE(server_->ok()) << "the mirror server did not start";
    options_.url = server_->url();
    options_.ca_file = server_->ca_file();
    options_.root = root_;
    options_.keys = {key_.public_key};
    options_.now = [] { return kNow; };
    options_.limits.low_speed_seconds = 2;
  }

  // Publishes version with the three databases filled from seed; returns the channel text.
  std::string Publish(uint64_t version, const std::string& seed, int64_t expires = kNow + kDay) {
    databases_ = {{"database.db", Bytes('h', 3000, "hash " + seed)},
                  {"tdb.ldb", Bytes('w', 5000, "windows " + seed)},
                  {"heuristics.db", Bytes('e', 200000, "heuristics " + seed)}};
    return PublishDatabases(version, databases_, expires);
  }
  std::string PublishDatabases(uint64_t version, const std::map<std::string, std::string>& dbs,
                               int64_t expires = kNow + kDay) {
    manifest_ = WriteSetFiles(mirror_, version, dbs, std::min(kNow, expires) - kDay, expires);
    const std::string channel = sigdb::ManifestText(manifest_);
    WriteChannel(mirror_, channel, key_.secret_key);
    return channel;
  }
  std::string FileUrlPath(const std::string& name) const {
    for (const sigdb::SetFile& file : manifest_.files)
      if (file.name == name) return "/files/" + file.sha256;
    return "";
  }

  UpdateResult Run() { return RunUpdate(options_, events_); }

  // Runs once more and checks that the run failed with a message holding expected, and that
  // the root is as it was.
  void ExpectRefused(const std::string& expected) {
    const std::string before = RootPicture(root_);
    const UpdateResult result = Run();
    EXPECT_EQ(result.outcome, UpdateOutcome::kFailed) << result.message;
    EXPECT_NE(result.message.find(expected), std::string::npos) << result.message;
    EXPECT_TRUE(result.message.find("unchanged") != std::string::npos ||
                result.message.find("Nothing was installed") != std::string::npos)
        << result.message;
    EXPECT_EQ(RootPicture(root_), before) << result.message;
    EXPECT_FALSE(HasLeftovers(root_));
  }

  TempDir dir_;
  std::string mirror_ = dir_ / "mirror";
  std::string root_ = dir_ / "root";
  KeyPair key_;
  std::unique_ptr<MirrorServer> server_;
  UpdateOptions options_;
  UpdateEvents events_;
  sigdb::SetManifest manifest_;
  std::map<std::string, std::string> databases_;
};

TEST_F(UpdaterTest, InstallsAWholeSetThenIsAlreadyCurrentAfterFetchingOnlyTheChannel) {
  const std::string channel = Publish(1, "one");
  const UpdateResult first = Run();
  ASSERT_EQ(first.outcome, UpdateOutcome::kUpdated) << first.message;
  EXPECT_EQ(first.files_downloaded, 3);
  EXPECT_EQ(std::filesystem::read_symlink(root_ + "/current").string(), "sets/1");
  for (const auto& [name, bytes] : databases_)
    EXPECT_EQ(ReadFile(root_ + "/sets/1/" + name), bytes) << name;
  // The manifest is the exact bytes that were signed.
  EXPECT_EQ(ReadFile(root_ + "/sets/1/nerlo-set.json"), channel);
  EXPECT_FALSE(HasLeftovers(root_));
  // What a scan would choose is the new set.
  const sigdb::ResolvedSet resolved = sigdb::ResolveSignatureSet({root_}, "");
  EXPECT_EQ(resolved.version, 1u);
  EXPECT_TRUE(resolved.warnings.empty());

  server_->ClearRequests();
  const UpdateResult second = Run();
  EXPECT_EQ(second.outcome, UpdateOutcome::kAlreadyCurrent) << second.message;
  EXPECT_EQ(server_->Requests(), (std::vector<std::string>{"/channel.json", "/channel.json.sig"}));
  EXPECT_EQ(second.bytes_transferred, channel.size() + sigdb::kSignatureBytes);
}

TEST_F(UpdaterTest, DownloadsOnlyChangedFilesAndKeepsTheCurrentAndPreviousSets) {
  Publish(1, "one");
  ASSERT_EQ(Run().outcome, UpdateOutcome::kUpdated);
  // Version 2 changes one database; version 3 changes nothing but the version.
  databases_["tdb.ldb"] = Bytes('w', 5000, "windows two");
  PublishDatabases(2, databases_);
  server_->ClearRequests();
  UpdateResult second = Run();
  ASSERT_EQ(second.outcome, UpdateOutcome::kUpdated) << second.message;
  EXPECT_EQ(second.files_downloaded, 1);
  EXPECT_EQ(second.files_kept, 2);
  EXPECT_EQ(server_->Requests(), (std::vector<std::string>{"/channel.json", "/channel.json.sig",
                                                           FileUrlPath("tdb.ldb")}));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/sets/1"));

  PublishDatabases(3, databases_);
  UpdateResult third = Run();
  ASSERT_EQ(third.outcome, UpdateOutcome::kUpdated) << third.message;
  EXPECT_EQ(third.files_downloaded, 0);
  EXPECT_EQ(std::filesystem::read_symlink(root_ + "/current").string(), "sets/3");
  EXPECT_FALSE(std::filesystem::exists(root_ + "/sets/1"));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/sets/2"));
  for (const auto& [name, bytes] : databases_) EXPECT_EQ(ReadFile(root_ + "/sets/3/" + name), bytes);

  // A held file that was damaged is not trusted: it is downloaded again.
  std::filesystem::remove(root_ + "/sets/2/tdb.ldb");
  testing::WriteFile(root_ + "/sets/3/tdb.ldb.bak", "x");
  {
    // Same size, other bytes, in both holders.
    for (const char* version : {"2", "3"}) {
      const std::string path = root_ + "/sets/" + version + "/database.db";
      if (!std::filesystem::exists(path)) continue;
      std::string bytes = ReadFile(path);
      bytes[100] ^= 1;
      std::filesystem::remove(path);
      testing::WriteFile(path, bytes);
    }
  }
  PublishDatabases(4, databases_);
  UpdateResult fourth = Run();
  ASSERT_EQ(fourth.outcome, UpdateOutcome::kUpdated) << fourth.message;
  EXPECT_EQ(ReadFile(root_ + "/sets/4/database.db"), databases_["database.db"]);
}

TEST_F(UpdaterTest, RefusesChannelsThatDoNotVerifyOrAreNotNewer) {
  Publish(5, "five");
  ASSERT_EQ(Run().outcome, UpdateOutcome::kUpdated);

  // Signed by a key that is not installed.
  KeyPair stranger;
  std::string channel = sigdb::ManifestText(WriteSetFiles(mirror_, 6, databases_, kNow, kNow + kDay));
  WriteChannel(mirror_, channel, stranger.secret_key);
  ExpectRefused("does not verify");
  // A valid signature over other bytes (the channel before an edit).
  const std::string original = channel;
  channel.insert(channel.size() - 1, " ");
  WriteChannel(mirror_, channel, key_.secret_key, &original);
  ExpectRefused("does not verify");
  // A signature file of the wrong length.
  WriteChannel(mirror_, original, key_.secret_key);
  testing::WriteFile(mirror_ + "/channel.json.sig", "short");
  ExpectRefused("not a 64-byte signature");
  // Signed, but not a manifest.
  WriteChannel(mirror_, "{\"format\": 1, \"version\": 6}", key_.secret_key);
  ExpectRefused("malformed");
  // Larger than a channel may be: refused before a signature is even fetched.
  WriteChannel(mirror_, std::string(sigdb::kMaxManifestBytes + 1, ' '), key_.secret_key);
  server_->ClearRequests();
  ExpectRefused("more than the 65536 bytes expected");
  EXPECT_EQ(server_->Requests(), std::vector<std::string>{"/channel.json"});
  // Expired: a stale mirror is refused, also when it offers a newer version.
  PublishDatabases(6, databases_, kNow - 3 * kDay);
  ExpectRefused("expired");
  // Older than the installed set: no rollback.
  PublishDatabases(4, databases_);
  ExpectRefused("older than the installed version 5");
  // The same version is current, not a failure.
  PublishDatabases(5, databases_);
  EXPECT_EQ(Run().outcome, UpdateOutcome::kAlreadyCurrent);
  // No key at all.
  options_.keys.clear();
  PublishDatabases(6, databases_);
  ExpectRefused("no publisher's key");
}

TEST_F(UpdaterTest, FaultyDownloadsInstallNothingAndSayWhatFailedWhere) {
  Publish(1, "one");
  ASSERT_EQ(Run().outcome, UpdateOutcome::kUpdated);
  Publish(2, "two");
  const std::string heuristics = FileUrlPath("heuristics.db");
  struct Case {
    std::string path, fault, expected;
  };
  const std::vector<Case> cases = {
      {heuristics, "corrupt", "SHA-256"},
      {heuristics, "truncate", "truncated"},
      {heuristics, "extra", "announced 204096 bytes, more than the 200000"},
      {heuristics, "extra-unsized", "sent more, more than the 200000 bytes expected"},
      {heuristics, "404", "HTTP 404"},
      {heuristics, "redirect-http", "redirected to http://"},
      {heuristics, "stall", "too slow"},
      {"/channel.json", "404", "channel.json: the server answered HTTP 404"},
      {"/channel.json.sig", "truncate", "truncated"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault + " on " + c.path);
    server_->SetFaults({{c.path, c.fault}});
    ExpectRefused(c.expected);
    // The failing file is named with its address.
    if (c.path == heuristics) {
      const UpdateResult again = Run();
      EXPECT_NE(again.message.find("heuristics.db"), std::string::npos) << again.message;
    }
  }
  // A redirect to another https:// address is followed.
  server_->SetFaults({{heuristics, "redirect"}});
  const UpdateResult redirected = Run();
  EXPECT_EQ(redirected.outcome, UpdateOutcome::kUpdated) << redirected.message;
}

TEST_F(UpdaterTest, ConnectionRefusedAndPlainHttpSourcesFail) {
  Publish(1, "one");
  // A port that nothing listens on: bound once, then released.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  options_.url = "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";
  ExpectRefused(options_.url + "channel.json");
  options_.url = "http://127.0.0.1/";
  ExpectRefused("only https:// addresses are accepted");
  // A certificate that no installed authority signed.
  options_.url = server_->url();
  options_.ca_file.clear();
  ExpectRefused("certificate");
}

TEST_F(UpdaterTest, CancelLeavesTheInstalledSetAndRemovesTheStagingFolder) {
  Publish(1, "one");
  ASSERT_EQ(Run().outcome, UpdateOutcome::kUpdated);
  Publish(2, "two");
  server_->SetFaults({{FileUrlPath("heuristics.db"), "slow"}});
  std::atomic<bool> cancel{false};
  uint64_t seen = 0;
  events_.OnBytes = [&](uint64_t done, uint64_t total) {
    EXPECT_LE(done, total);
    seen = done;
    if (done > 0) cancel = true;
  };
  events_.Cancelled = [&] { return cancel.load(); };
  const std::string before = RootPicture(root_);
  const UpdateResult result = Run();
  EXPECT_EQ(result.outcome, UpdateOutcome::kCancelled) << result.message;
  EXPECT_GT(seen, 0u);
  EXPECT_EQ(result.message, "Update cancelled. The installed signatures (version 1) are unchanged.");
  EXPECT_EQ(RootPicture(root_), before);
  EXPECT_FALSE(HasLeftovers(root_));
}

TEST_F(UpdaterTest, AFullDiskFailsCleanly) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const std::string mount_point = dir_ / "small";
  std::filesystem::create_directories(mount_point);
  if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=320k") != 0)
    GTEST_SKIP() << "tmpfs cannot be mounted here";
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mount_point};
  options_.root = mount_point + "/root";
  root_ = options_.root;
  // Version 1 fits (about 208 kB); version 2 shares nothing with it and does not fit beside it.
  Publish(1, "one");
  ASSERT_EQ(Run().outcome, UpdateOutcome::kUpdated);
  Publish(2, "two");
  ExpectRefused("No space left on device");
  const UpdateResult result = Run();
  EXPECT_NE(result.message.find("cannot write " + root_ + "/.incoming-"), std::string::npos)
      << result.message;
  EXPECT_EQ(sigdb::ResolveSignatureSet({root_}, "").version, 1u);
}

TEST_F(UpdaterTest, ARootTheUserMayNotWriteFailsAndNamesIt) {
  Publish(1, "one");
  ASSERT_EQ(Run().outcome, UpdateOutcome::kUpdated);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add);
  const std::string before = RootPicture(root_);
  const std::string failure = testing::RunAsNobody([&]() -> std::string {
    // Before any network: the lock file cannot be made.
    const UpdateResult result = Run();
    if (result.outcome != UpdateOutcome::kFailed) return "not failed: " + result.message;
    if (result.message.find("cannot lock " + root_ + "/.lock: Permission denied") ==
        std::string::npos)
      return "unexpected message: " + result.message;
    return "";
  });
  EXPECT_EQ(failure, "");
  EXPECT_EQ(RootPicture(root_), before);
}

// ---- The staged install, step by step ----

class SetStoreTest : public ::testing::Test {
 protected:
  // Installs version with one small database through the store's steps.
  bool Install(SetStore& store, uint64_t version, std::string* error) {
    if (!store.BeginStaging(error)) return false;
    testing::WriteFile(store.Staging() + "database.db", "db " + std::to_string(version));
    sigdb::SetManifest manifest;
    manifest.version = version;
    manifest.created = sigdb::FormatUtcTime(kNow);
    manifest.expires = sigdb::FormatUtcTime(kNow + kDay);
    const std::string bytes = "db " + std::to_string(version);
    manifest.files.push_back({"database.db", bytes.size(), sigdb::Sha256Hex(bytes)});
    return store.Commit(version, sigdb::ManifestText(manifest), error);
  }
  TempDir dir_;
  std::string root_ = dir_ / "root";
};

TEST_F(SetStoreTest, AFailureAtAnyStepLeavesTheCurrentSetAndNoTemporaries) {
  for (const char* step : {"stage-dir", "manifest", "sync-staging", "move", "sync-sets",
                           "new-link", "switch"}) {
    SCOPED_TRACE(step);
    TempDir dir;
    const std::string root = dir / "root";
    std::string error;
    {
      SetStore store(root);
      ASSERT_TRUE(store.Open(&error)) << error;
      ASSERT_TRUE(Install(store, 1, &error)) << error;
    }
    const std::string before = RootPicture(root);
    SetStore store(root);
    ASSERT_TRUE(store.Open(&error)) << error;
    store.fail_step = [step](const char* now) { return std::string(now) == step; };
    EXPECT_FALSE(Install(store, 2, &error));
    EXPECT_NE(error.find("Input/output error"), std::string::npos) << error;
    store.AbandonStaging();
    EXPECT_EQ(RootPicture(root), before);
    EXPECT_EQ(store.ReadInstalled().version, 1u);
  }
}

TEST_F(SetStoreTest, LeftoversOfAKilledRunAreRemovedAndOnlyTwoSetsStay) {
  std::string error;
  {
    SetStore store(root_);
    ASSERT_TRUE(store.Open(&error)) << error;
    for (uint64_t version : {1, 2, 3}) ASSERT_TRUE(Install(store, version, &error)) << error;
    EXPECT_EQ(store.Prune(2), std::vector<std::string>{});
  }
  EXPECT_FALSE(std::filesystem::exists(root_ + "/sets/1"));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/sets/2"));
  // What a run killed at various points leaves: a staging folder, a new link not yet renamed
  // over current, and a whole set moved in but never switched to.
  testing::WriteFile(root_ + "/.incoming-dead/database.db", "partial");
  std::filesystem::create_symlink("sets/9", root_ + "/.current-dead");
  std::filesystem::create_directories(root_ + "/sets/9");
  // A second store cannot open while the first holds the lock.
  SetStore store(root_);
  ASSERT_TRUE(store.Open(&error)) << error;
  SetStore other(root_);
  EXPECT_FALSE(other.Open(&error));
  EXPECT_EQ(error, "another update is installing into " + root_);
  EXPECT_FALSE(HasLeftovers(root_));
  EXPECT_EQ(store.ReadInstalled().version, 3u);
  EXPECT_TRUE(store.Prune(SetStore::kNewestBelowCurrent).empty());
  EXPECT_FALSE(std::filesystem::exists(root_ + "/sets/9"));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/sets/2"));
  EXPECT_TRUE(std::filesystem::exists(root_ + "/sets/3"));
}

TEST_F(SetStoreTest, ADamagedCurrentSetIsPassedOverAndReplaced) {
  std::string error;
  SetStore store(root_);
  ASSERT_TRUE(store.Open(&error)) << error;
  ASSERT_TRUE(Install(store, 4, &error)) << error;
  testing::WriteFile(root_ + "/sets/4/database.db", "longer than it was");
  const InstalledSet damaged = store.ReadInstalled();
  EXPECT_FALSE(damaged.present);
  EXPECT_EQ(damaged.version, 0u);
  EXPECT_NE(damaged.problem.find("database.db has 18 bytes, not 4"), std::string::npos)
      << damaged.problem;
  // The same version installs over it.
  ASSERT_TRUE(Install(store, 4, &error)) << error;
  EXPECT_TRUE(store.ReadInstalled().present);
  EXPECT_EQ(ReadFile(root_ + "/sets/4/database.db"), "db 4");
}

TEST(SetStoreNames, VersionFolderNames) {
  uint64_t version = 0;
  EXPECT_TRUE(ParseVersionName("18446744073709551615", &version));
  EXPECT_EQ(version, UINT64_MAX);
  for (const char* bad : {"", "0", "007", "18446744073709551616", "1a", "-1", " 1"})
    EXPECT_FALSE(ParseVersionName(bad, &version)) << bad;
}

}  // namespace
}  // namespace nerlo::update
