#include "scan/file_find.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/message_queue.h"
#include "platform/platform.h"
#include "tests/unit/os_test_util.h"
#include "tests/unit/test_util.h"

namespace nerlo::scan {
namespace {

using nerlo::testing::TempDir;
using nerlo::testing::WriteFile;
namespace fs = std::filesystem;

// Counts pumps of the walk; a hook may act from inside a pump, as a Stop button does.
class CountingQueue : public platform::MessageQueue {
 public:
  CountingQueue() { platform::InstallMessageQueue(this); }
  ~CountingQueue() override { platform::InstallMessageQueue(nullptr); }
  void ProcessMessages() override {
    ++pumps;
    if (on_pump) on_pump();
  }
  void WaitForMessages(std::chrono::milliseconds) override { ProcessMessages(); }
  void Synchronize(std::function<void()> fn) override { fn(); }
  void Queue(std::function<void()> fn) override { fn(); }

  int pumps = 0;
  std::function<void()> on_pump;
};

// A finder that records what it reports and which directories it enters.
struct Recorder {
  explicit Recorder(TFileFind& ff) {
    ff.SetStopOnFirstMatch(false);
    ff.OnMatch = [this](TFileFind& sender) {
      reports.push_back(sender.LastMatch());
      if (on_match) on_match(sender);
    };
    ff.OnChangeDirectory = [this](TFileFind&, const std::string& dir) { entered.push_back(dir); };
  }
  std::vector<std::string> reports;
  std::vector<std::string> entered;
  std::function<void(TFileFind&)> on_match;
};

struct Listed {
  std::vector<std::string> files;    // matching non-directories, listing order
  std::vector<std::string> subdirs;  // directories other than "." and "..", listing order
  std::vector<std::string> all;      // every entry of a "*.*" listing
};

Listed List(const std::string& dir, const std::string& mask) {
  Listed listed;
  platform::DirectoryListing listing;
  platform::DirEntry entry;
  if (nerlo::testing::OpenListing(listing, dir, mask))
    while (listing.Next(&entry))
      if (!entry.is_directory) listed.files.push_back(entry.name);
  if (nerlo::testing::OpenListing(listing, dir, "*.*")) {
    while (listing.Next(&entry)) {
      listed.all.push_back(entry.name);
      if (entry.is_directory && entry.name != "." && entry.name != "..")
        listed.subdirs.push_back(entry.name);
    }
  }
  return listed;
}

// The order a walk must take: the directory's files, then each subdirectory in turn.
void ExpectedWalk(const std::string& dir, const std::string& mask, std::vector<std::string>* files,
                  std::vector<std::string>* dirs) {
  dirs->push_back(dir);
  Listed listed = List(dir, mask);
  for (const std::string& name : listed.files) files->push_back(platform::JoinPath(dir, name));
  for (const std::string& name : listed.subdirs)
    ExpectedWalk(platform::JoinPath(dir, name), mask, files, dirs);
}

// Every regular file below root, found without the platform layer.
std::set<std::string> RegularFilesBelow(const std::string& root) {
  std::set<std::string> files;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it)
    if (it->is_regular_file() && !it->is_symlink()) files.insert(it->path().string());
  return files;
}

void MakeTree(const TempDir& dir) {
  for (int i = 0; i < 12; ++i) WriteFile(dir / ("top" + std::to_string(i) + ".txt"), "t");
  WriteFile(dir / "noext", "n");
  for (int d = 0; d < 4; ++d) {
    std::string sub = dir / ("d" + std::to_string(d));
    for (int i = 0; i < 5; ++i) WriteFile(sub + "/f" + std::to_string(i) + ".bin", "b");
    WriteFile(sub + "/deep/deeper/leaf.txt", "l");
    WriteFile(sub + "/deep/x.txt", "x");
  }
  fs::create_directory(dir / "empty");
}

TEST(FileFind, WalksDepthFirstFilesBeforeSubdirectoriesInListingOrder) {
  TempDir dir;
  MakeTree(dir);
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir.path() + "/*.*");
  ff.Start();

  std::vector<std::string> files, dirs;
  ExpectedWalk(dir.path() + "/", "*.*", &files, &dirs);
  EXPECT_EQ(rec.reports, files);
  EXPECT_EQ(rec.entered, dirs);
  EXPECT_EQ(rec.entered.front(), dir.path() + "/");
  EXPECT_EQ(rec.entered.size(), 1u + 4 * 3 + 1);
  // Every file, none twice, whatever the order.
  EXPECT_EQ(std::set<std::string>(rec.reports.begin(), rec.reports.end()),
            RegularFilesBelow(dir.path()));
  EXPECT_EQ(rec.reports.size(), 13u + 4 * 7);
  EXPECT_EQ(ff.LastMatch(), rec.reports.back());

  // One pump per reported file and one per entry of every directory pass ("." and ".."
  // included), entered or not.
  size_t directory_pass_entries = 0;
  for (const std::string& d : dirs) directory_pass_entries += List(d, "*.*").all.size();
  EXPECT_EQ(queue.pumps, static_cast<int>(rec.reports.size() + directory_pass_entries));
}

TEST(FileFind, MaskAppliesAtEveryLevel) {
  TempDir dir;
  MakeTree(dir);
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  for (const char* mask : {"*.txt", "f?.bin", "noext", "*x*", "nothing"}) {
    rec.reports.clear();
    rec.entered.clear();
    ff.SetFileName(dir.path() + "/" + mask);
    ff.Start();
    std::vector<std::string> files, dirs;
    ExpectedWalk(dir.path() + "/", mask, &files, &dirs);
    EXPECT_EQ(rec.reports, files) << mask;
    EXPECT_EQ(rec.entered, dirs) << mask;
    for (const std::string& path : rec.reports)
      EXPECT_TRUE(platform::MatchesMask(path.substr(path.rfind('/') + 1), mask)) << path;
  }
  ff.SetFileName(dir.path() + "/*.txt");
  ff.Start();
  EXPECT_EQ(rec.reports.size(), 12u + 4 * 2);
}

TEST(FileFind, SingleFileTargetAndScopes) {
  TempDir dir;
  WriteFile(dir / "a/target.bin", "1");
  WriteFile(dir / "a/other.bin", "2");
  WriteFile(dir / "a/sub/target.bin", "3");
  WriteFile(dir / "a/sub/deeper/target.bin", "4");
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir / "a/target.bin");

  ff.SetSearchScope(TSearchScope::ssCurrentDir);
  ff.Start();
  EXPECT_EQ(rec.reports, std::vector<std::string>{dir / "a/target.bin"});
  EXPECT_EQ(rec.entered, std::vector<std::string>{dir / "a/"});

  for (TSearchScope scope : {TSearchScope::ssEntireDisk, TSearchScope::ssCurrentDirAndBelow}) {
    rec.reports.clear();
    ff.SetSearchScope(scope);
    ff.Start();
    EXPECT_EQ(std::set<std::string>(rec.reports.begin(), rec.reports.end()),
              (std::set<std::string>{dir / "a/target.bin", dir / "a/sub/target.bin",
                                     dir / "a/sub/deeper/target.bin"}));
    EXPECT_EQ(rec.reports.front(), dir / "a/target.bin");
  }
  // A target with a trailing separator names a directory with an empty mask: nothing matches.
  rec.reports.clear();
  ff.SetFileName(dir / "a/");
  ff.Start();
  EXPECT_TRUE(rec.reports.empty());
  EXPECT_TRUE(ff.LastMatch().empty());
}

TEST(FileFind, DriveWalkUsesTheDefaultListAndSkipsDrivesThatAreNotReady) {
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  std::vector<char> drives;
  ff.OnChangeDrive = [&](TFileFind&, char drive) { drives.push_back(drive); };
  ff.SetFileName("nerlo-no-such-file-*");
  ff.SetSearchScope(TSearchScope::ssCurrentDir);  // the root alone, not the whole machine

  ff.SetDriveList("xyz");
  ff.Start();
  EXPECT_TRUE(drives.empty());
  EXPECT_TRUE(rec.entered.empty());

  ff.SetDriveList("");
  ff.Start();
  EXPECT_EQ(ff.DriveList(), platform::DefaultDriveList());
  EXPECT_EQ(drives, std::vector<char>{'/'});
  EXPECT_EQ(rec.entered, std::vector<std::string>{"/"});
  EXPECT_TRUE(rec.reports.empty());
}

TEST(FileFind, StopDuringAReportEndsTheFilePassAndUnwinds) {
  TempDir dir;
  MakeTree(dir);
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir.path() + "/*.*");
  rec.on_match = [](TFileFind& sender) { sender.Stop(); };
  ff.Start();
  EXPECT_TRUE(ff.StopRequested());

  // The root's first file is reported; then its directory pass still handles its first entry,
  // which enters a subdirectory only if that entry is one (the subdirectory's own file pass
  // then handles its first entry).
  const std::string root = dir.path() + "/";
  Listed top = List(root, "*.*");
  std::vector<std::string> expected_reports{root + top.files.front()};
  std::vector<std::string> expected_entered{root};
  const std::string& first = top.all.front();
  if (first != "." && first != ".." && fs::is_directory(root + first)) {
    const std::string sub = root + first;
    expected_entered.push_back(sub);
    platform::DirectoryListing listing;
    platform::DirEntry entry;
    ASSERT_TRUE(nerlo::testing::OpenListing(listing, sub, "*.*"));
    ASSERT_TRUE(listing.Next(&entry));
    if (!entry.is_directory) expected_reports.push_back(sub + "/" + entry.name);
  }
  EXPECT_EQ(rec.reports, expected_reports);
  EXPECT_EQ(rec.entered, expected_entered);
  EXPECT_EQ(ff.LastMatch(), expected_reports.back());
}

TEST(FileFind, StopInADeepLevelUnwindsEveryLevel) {
  TempDir dir;
  MakeTree(dir);
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir.path() + "/*.*");
  // leaf.txt lies in a directory without subdirectories, so nothing can be entered after it.
  rec.on_match = [](TFileFind& sender) {
    if (sender.LastMatch().ends_with("/leaf.txt")) sender.Stop();
  };
  ff.Start();
  std::vector<std::string> files, dirs;
  ExpectedWalk(dir.path() + "/", "*.*", &files, &dirs);
  size_t first_leaf = 0;
  while (!files[first_leaf].ends_with("/leaf.txt")) ++first_leaf;
  EXPECT_EQ(rec.reports, std::vector<std::string>(files.begin(), files.begin() + first_leaf + 1));
}

TEST(FileFind, StopFromThePumpAndOnStopCancelling) {
  TempDir dir;
  MakeTree(dir);
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir.path() + "/*.*");

  // The Stop button acts from inside a pump: after the third report nothing more is reported
  // from the root's file pass.
  queue.on_pump = [&] {
    if (rec.reports.size() == 3) ff.Stop();
  };
  ff.Start();
  ASSERT_GE(rec.reports.size(), 3u);
  std::vector<std::string> files, dirs;
  ExpectedWalk(dir.path() + "/", "*.*", &files, &dirs);
  EXPECT_EQ(std::vector<std::string>(rec.reports.begin(), rec.reports.begin() + 3),
            std::vector<std::string>(files.begin(), files.begin() + 3));
  EXPECT_LE(rec.reports.size(), 4u);

  // OnStop sees the request and may cancel it: the walk then runs to its end.
  rec.reports.clear();
  int stops = 0;
  ff.OnStop = [&](TFileFind&, bool& can_stop) {
    EXPECT_TRUE(can_stop);
    ++stops;
    can_stop = false;
  };
  ff.Start();
  EXPECT_EQ(rec.reports, files);
  EXPECT_GT(stops, 0);
  EXPECT_FALSE(ff.StopRequested());

  // A stop while idle is forgotten by the next Start.
  ff.OnStop = nullptr;
  queue.on_pump = nullptr;
  ff.Stop();
  rec.reports.clear();
  ff.Start();
  EXPECT_EQ(rec.reports, files);
}

TEST(FileFind, StopOnFirstMatchReportsOnceWithoutPumpingAfterTheReport) {
  TempDir dir;
  for (int i = 0; i < 5; ++i) WriteFile(dir / ("f" + std::to_string(i)), "x");
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetStopOnFirstMatch(true);
  ff.SetFileName(dir.path() + "/*.*");
  int pumps_at_report = -1;
  rec.on_match = [&](TFileFind&) { pumps_at_report = queue.pumps; };
  ff.Start();
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(pumps_at_report, 0);
  // No pump for the report; the directory pass pumps once for its first entry and ends.
  EXPECT_EQ(queue.pumps, 1);

  // The same walk stopped by hand inside OnMatch pumps once more: for the report.
  ff.SetStopOnFirstMatch(false);
  rec.on_match = [](TFileFind& sender) { sender.Stop(); };
  queue.pumps = 0;
  rec.reports.clear();
  ff.Start();
  EXPECT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(queue.pumps, 2);
}

TEST(FileFind, HiddenAndReadOnlyFoldersAreEnteredUnreadableOnesSkipped) {
  TempDir dir;
  WriteFile(dir / ".hidden/in_hidden", "h");
  WriteFile(dir / "readonly/in_readonly", "r");
  WriteFile(dir / "locked/in_locked", "l");
  WriteFile(dir / "zz/after", "a");
  ASSERT_EQ(chmod((dir / "readonly").c_str(), 0555), 0);
  const bool root = geteuid() == 0;
  if (!root) {
    ASSERT_EQ(chmod((dir / "locked").c_str(), 0), 0);
  }
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir.path() + "/*.*");
  ff.Start();
  std::set<std::string> reported(rec.reports.begin(), rec.reports.end());
  EXPECT_TRUE(reported.count(dir / ".hidden/in_hidden"));
  EXPECT_TRUE(reported.count(dir / "readonly/in_readonly"));
  EXPECT_TRUE(reported.count(dir / "zz/after"));
  EXPECT_EQ(reported.count(dir / "locked/in_locked"), root ? 1u : 0u);
  EXPECT_EQ(rec.reports.size(), root ? 4u : 3u);
}

TEST(FileFind, LinksFifosAndLoopsAreNeitherReportedNorEntered) {
  TempDir dir;
  WriteFile(dir / "real/file", "f");
  WriteFile(dir / "outside/secret", "s");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "real/link_to_dir").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside/secret").c_str(), (dir / "real/link_to_file").c_str()), 0);
  ASSERT_EQ(symlink((dir / "real").c_str(), (dir / "real/loop").c_str()), 0);
  ASSERT_EQ(symlink("..", (dir / "real/up").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "real/fifo").c_str(), 0600), 0);
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir / "real/*.*");
  ff.Start();
  EXPECT_EQ(rec.reports, std::vector<std::string>{dir / "real/file"});
  EXPECT_EQ(rec.entered, std::vector<std::string>{dir / "real/"});

  // A target reached through a link is walked: the user named it.
  ff.SetFileName(dir / "real/link_to_dir/*.*");
  rec.reports.clear();
  ff.Start();
  EXPECT_EQ(rec.reports, std::vector<std::string>{dir / "real/link_to_dir/secret"});
}

// Mounts a directory over another for the life of the object (root only).
class BindMount {
 public:
  BindMount(const std::string& source, const std::string& target) : target_(target) {
    mounted_ = mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
  }
  ~BindMount() {
    if (mounted_) umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_ = false;
};

TEST(FileFind, DirectoryMountedBelowItselfIsNotWalkedAgain) {
  TempDir dir;
  WriteFile(dir / "top/file", "f");
  WriteFile(dir / "top/a/inner", "i");
  fs::create_directory(dir / "top/a/mirror");
  BindMount bind(dir / "top", dir / "top/a/mirror");
  if (!bind.mounted()) GTEST_SKIP() << "bind mounts need root";
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir / "top/*.*");
  ff.Start();
  EXPECT_EQ(std::set<std::string>(rec.reports.begin(), rec.reports.end()),
            (std::set<std::string>{dir / "top/file", dir / "top/a/inner"}));
  EXPECT_EQ(rec.reports.size(), 2u);
}

TEST(FileFind, ExceptionFromOnMatchLeavesStart) {
  TempDir dir;
  MakeTree(dir);
  CountingQueue queue;
  TFileFind ff;
  Recorder rec(ff);
  ff.SetFileName(dir.path() + "/*.*");
  std::vector<std::string> files, dirs;
  ExpectedWalk(dir.path() + "/", "*.*", &files, &dirs);
  // Throw deep in the tree, several levels down.
  rec.on_match = [](TFileFind& sender) {
    if (sender.LastMatch().ends_with("/leaf.txt")) throw std::runtime_error("boom");
  };
  EXPECT_THROW(ff.Start(), std::runtime_error);
  EXPECT_TRUE(ff.LastMatch().ends_with("/leaf.txt"));
  EXPECT_EQ(rec.reports.back(), ff.LastMatch());
  // The finder is usable again and walks everything.
  rec.on_match = nullptr;
  rec.reports.clear();
  ff.Start();
  EXPECT_EQ(rec.reports, files);
}

// Everything a walk does that a caller can see, in order.
struct WalkLog {
  std::vector<std::string> events;
  // Told and not yet reported, oldest first: every report must be the oldest told.
  std::deque<std::pair<const platform::Directory*, std::string>> told;
  int dropped = 0;
  bool out_of_order = false;
  bool dropped_nothing = false;
  size_t most_told_ahead = 0;
};

// Walks target, stopping at the stop_at-th event (never when 0), once with the look-ahead and
// once without it.
WalkLog LoggedWalk(const std::string& target, bool lookahead, size_t stop_at,
                   const std::function<void()>& on_first_match = {}, size_t files_ahead = 0) {
  CountingQueue queue;
  TFileFind ff;
  if (files_ahead > 0) ff.SetLookahead(files_ahead);
  ff.SetStopOnFirstMatch(false);
  ff.SetFileName(target);
  WalkLog log;
  bool first_done = false;
  auto note = [&](std::string event) {
    log.events.push_back(std::move(event));
    if (log.events.size() == stop_at) ff.Stop();
  };
  ff.OnMatch = [&](TFileFind& sender) {
    if (lookahead) {
      if (log.told.empty() || log.told.front().first != sender.LastDirectory().get() ||
          log.told.front().second != sender.LastName())
        log.out_of_order = true;
      if (!log.told.empty()) log.told.pop_front();
    }
    note("match " + sender.LastMatch());
    if (on_first_match && !first_done) {
      first_done = true;
      on_first_match();
    }
  };
  ff.OnChangeDirectory = [&](TFileFind&, const std::string& dir) { note("enter " + dir); };
  ff.OnNotExamined = [&](TFileFind&, const std::string& path, const std::string&) {
    note("not examined " + path);
  };
  queue.on_pump = [&] { note("pump"); };
  if (lookahead) {
    ff.OnUpcoming = [&](TFileFind&, const platform::DirectoryRef& dir, const std::string& name) {
      log.told.emplace_back(dir.get(), name);
      log.most_told_ahead = std::max(log.most_told_ahead, log.told.size());
    };
    ff.OnUpcomingDropped = [&](TFileFind&) {
      ++log.dropped;
      if (log.told.empty()) log.dropped_nothing = true;
      log.told.clear();
    };
  }
  ff.Start();
  return log;
}

// The look-ahead lists files of the directories still to come, but the walk itself must not
// change: the same reports, directories, failures and pumps in the same order, stopped
// anywhere; every file is told before it is reported and reported in the order told, and what
// a stop leaves told is dropped once.
TEST(FileFind, LookAheadRunsAcrossDirectoriesAndLeavesTheWalkUnchanged) {
  TempDir dir;
  MakeTree(dir);
  // More files in one directory than the look-ahead holds; directories holding only
  // directories, or nothing; a chain of single files.
  for (size_t i = 0; i < TFileFind::kLookahead + 20; ++i)
    WriteFile(dir / ("many/m" + std::to_string(i)), "m");
  WriteFile(dir / "only_dirs/a/b/c/f", "f");
  fs::create_directories(dir / "only_dirs/empty1/empty2");
  for (int i = 0; i < 6; ++i) {
    std::string chain = dir / "chain";
    for (int k = 0; k <= i; ++k) chain += "/c" + std::to_string(k);
    WriteFile(chain + "/file", "c");
  }
  const std::string target = dir.path() + "/*.*";

  const WalkLog plain = LoggedWalk(target, false, 0);
  const WalkLog ahead = LoggedWalk(target, true, 0);
  EXPECT_EQ(ahead.events, plain.events);
  EXPECT_FALSE(ahead.out_of_order);
  EXPECT_TRUE(ahead.told.empty());
  EXPECT_EQ(ahead.dropped, 0);
  EXPECT_EQ(ahead.most_told_ahead, TFileFind::kLookahead);
  // A shorter look-ahead, as a scan sets it under a low descriptor limit: the same walk.
  const WalkLog shorter = LoggedWalk(target, true, 0, {}, 50);
  EXPECT_EQ(shorter.events, plain.events);
  EXPECT_FALSE(shorter.out_of_order);
  EXPECT_EQ(shorter.most_told_ahead, 50u);

  // Files of a directory still to come are told while the current one is being reported.
  {
    CountingQueue queue;
    TFileFind ff;
    ff.SetStopOnFirstMatch(false);
    ff.SetFileName(dir.path() + "/chain/*.*");
    std::vector<std::string> told;
    ff.OnUpcoming = [&](TFileFind&, const platform::DirectoryRef&, const std::string& name) {
      told.push_back(name);
    };
    size_t told_at_first_report = 0;
    ff.OnMatch = [&](TFileFind&) {
      if (told_at_first_report == 0) told_at_first_report = told.size();
    };
    ff.Start();
    EXPECT_EQ(told.size(), 6u);
    EXPECT_EQ(told_at_first_report, 6u);  // every level's file, from the first report on
  }

  for (size_t stop_at = 1; stop_at <= plain.events.size(); stop_at += 1 + stop_at / 8) {
    const WalkLog p = LoggedWalk(target, false, stop_at);
    const WalkLog a = LoggedWalk(target, true, stop_at);
    ASSERT_EQ(a.events, p.events) << "stopped at event " << stop_at;
    EXPECT_FALSE(a.out_of_order) << stop_at;
    EXPECT_TRUE(a.told.empty()) << stop_at;
    EXPECT_LE(a.dropped, 1) << stop_at;
    EXPECT_FALSE(a.dropped_nothing) << stop_at;
  }

  // Directories that cannot be listed are left to the walk, which reports them; one that
  // becomes readable after it was passed over ahead is entered all the same.
  WriteFile(dir / "n/a/file", "a");
  WriteFile(dir / "n/locked/inside", "l");
  WriteFile(dir / "n/later/inside", "l");
  WriteFile(dir / "n/z/file", "z");
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir / "n/locked").c_str(), 0), 0);
  ASSERT_EQ(chown((dir / "n/later").c_str(), 65534, 65534), 0);
  const std::string later = dir / "n/later";
  const std::string failure = nerlo::testing::RunAsNobody([&]() -> std::string {
    std::vector<std::string> logs[2];
    for (int with = 0; with < 2; ++with) {
      if (chmod(later.c_str(), 0) != 0) return "chmod";
      const WalkLog log =
          LoggedWalk(dir / "n/*.*", with == 1, 0, [&] { chmod(later.c_str(), 0755); });
      if (log.out_of_order || !log.told.empty()) return "look-ahead out of order";
      logs[with] = log.events;
    }
    if (logs[0] != logs[1]) return "the walks differ";
    const std::string joined = [&] {
      std::string all;
      for (const std::string& event : logs[1]) all += event + "\n";
      return all;
    }();
    if (joined.find("not examined " + (dir / "n/locked")) == std::string::npos)
      return "locked not reported";
    return "";
  });
  EXPECT_EQ(failure, "");
}

}  // namespace
}  // namespace nerlo::scan
