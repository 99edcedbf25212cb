// An installation root of signature sets, and the staged install of a new set into it.
//
//   ROOT/.lock              held (flock) by the one run that may change the root
//   ROOT/sets/<version>/    a whole set: its databases and nerlo-set.json; never changed
//   ROOT/current            symbolic link "sets/<version>": the set that scans read
//   ROOT/.incoming-*        a set being staged; ROOT/.current-* a link about to become current
//
// An install writes every file of the new set into a staging folder under the root, flushes
// them to the disk, moves the folder to sets/<version>/ with one rename and then switches
// current with one rename of a new link over it. A run killed at any point leaves current
// naming the old set or the new one, each complete; the leftovers (.incoming-*, .current-*,
// and sets that never became current) are removed by the next run. After a switch, sets
// other than the new one and the one before it are removed.
//
// One object per run, used by one thread. Failures come back as false with *error saying
// what failed and where (which path, which step, the system's reason).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs_install.h"
#include "sigdb/signature_set.h"

namespace nerlo::update {

// The set a root's current link names.
struct InstalledSet {
  bool present = false;       // current names a complete set
  uint64_t version = 0;       // 0 when none
  std::string folder;         // ROOT/sets/<version>/ when present
  sigdb::SetManifest manifest;
  std::string problem;        // why a current link that exists was passed over, else empty
};

class SetStore {
 public:
  explicit SetStore(std::string root);
  ~SetStore();
  SetStore(const SetStore&) = delete;
  SetStore& operator=(const SetStore&) = delete;

  const std::string& Root() const { return root_; }

  // Makes the root (mode 0755, and the folders above it) and sets/ when missing, takes the
  // root's lock (fails when another run holds it) and removes the leftovers of runs that
  // ended early. Must succeed before any other call but ReadInstalled.
  bool Open(std::string* error);

  // What current names now (reads only; also before Open).
  InstalledSet ReadInstalled() const;

  // The path of an installed file (in any set folder of the root) whose manifest entry has
  // this SHA-256 and size and whose bytes still hash to it; empty when none.
  std::string FindHeldFile(const sigdb::SetFile& file) const;

  // Makes a fresh staging folder; returns its path with a trailing "/".
  bool BeginStaging(std::string* error);
  const std::string& Staging() const { return staging_; }

  // Puts a copy of the installed file held (from FindHeldFile) into the staging folder as
  // name: a hard link when the file system allows one, else a copy checked against sha256.
  bool StageHeldFile(const std::string& held, const std::string& name, const std::string& sha256,
                     std::string* error);

  // Writes manifest (the exact bytes of the accepted channel) as nerlo-set.json into the
  // staging folder, flushes the folder, moves it to sets/<version>/ and switches current to
  // it. On failure before the switch the staging folder is removed and current is as it was.
  bool Commit(uint64_t version, std::string_view manifest, std::string* error);

  // Removes the staging folder, if any (after a failure or a cancel).
  void AbandonStaging();

  // Removes every set folder but the current one and previous (the set that was current
  // before this run's switch; kNewestBelowCurrent: the newest one below the current one).
  // Failures are returned as warnings; they leave only extra folders behind.
  static constexpr uint64_t kNewestBelowCurrent = UINT64_MAX;
  std::vector<std::string> Prune(uint64_t previous);

  // Test hook: called with the name of each step of staging and Commit before it runs
  // ("stage-dir", "link", "manifest", "sync-staging", "move", "sync-sets", "new-link",
  // "switch", "sync-root"); returning true makes the step fail, without running, as if the
  // system refused (EIO).
  std::function<bool(const char* step)> fail_step;

 private:
  // True, with *code set to EIO, when the test hook fails step.
  bool Injected(const char* step, platform::ErrorCode* code) const;
  void RemoveLeftovers();

  std::string root_;   // without a trailing "/"
  std::string sets_;   // root_ + "/sets"
  std::string staging_;
  platform::ExclusiveLock lock_;
};

// The decimal version a set folder's name stands for; false for any other name (leading
// zeros included, and 0).
bool ParseVersionName(std::string_view name, uint64_t* version);

}  // namespace nerlo::update
