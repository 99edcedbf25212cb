// The quarantine: every file that a scan deletes is first kept here, so that a false alarm
// never costs a user a file. The folder is $XDG_DATA_HOME/nerlo/quarantine (by default
// ~/.local/share/nerlo/quarantine), or /var/lib/nerlo/quarantine for the super-user; mode
// 0700, entries 0600.
//
// An entry is one file, ID.nq: a header line, a record (the original path as bytes, size,
// mode, owner, modification time, MD5, SHA-256, the checks that fired, when it was kept), an
// empty line, then the file's bytes XOR-ed with a fixed key, so that no other scanner or file
// manager takes the entry for the original file. An entry is written under a temporary name,
// flushed and only then renamed to ID.nq, so that a crash never leaves a half entry that could
// be restored; the next start removes such leftovers (after checking them whole). IDs begin with
// the UTC time the entry was kept (YYYYMMDD-HHMMSS-xxxxxx), so that their order is the order of
// age. The bytes are flushed to the disk before the file is removed from its place (for several
// deletions at once, see DeletionBatch); a flushed entry whose name did not reach the disk before
// a crash is published by the next start.
//
// Settings ([Quarantine] in nerlo.ini): Keep (1; 0 turns the quarantine off and deletions
// remove files at once), MaxSizeMB (1024: the bytes all entries may take) and MaxDays (30:
// older entries are removed). When a new entry needs room, the oldest go first; a file larger
// than the whole quota is not kept, and so not deleted.
//
// One Quarantine object belongs to one thread at a time, but for Flush: it may run on another
// thread while this one stages and marks further entries (nothing else runs alongside it).
// Several processes may share the folder: leftovers are removed only when the process that
// wrote them has ended.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/quarantine_io.h"

namespace nerlo::scan {

struct QuarantineSettings {
  bool keep = true;
  int64_t max_bytes = int64_t{1} << 30;
  int64_t max_days = 30;
};

// The [Quarantine] settings of the INI text settings_text (keys and sections compared without
// regard to ASCII case; a missing or malformed value keeps its default, MaxSizeMB and MaxDays
// must be positive).
QuarantineSettings ParseQuarantineSettings(std::string_view settings_text);
// The same, read from the user's settings file (platform::SettingsFilePath); the defaults
// when it is missing.
QuarantineSettings ReadQuarantineSettings();

// The bytes of a file as the scan examined them, with their MD5 text (as the hash check has
// it): when the copy that Stage reads through the file's descriptor is the same byte for byte,
// its MD5 is taken from here instead of being computed again. Empty: nothing known.
struct ExaminedContent {
  std::string_view bytes;
  std::string_view md5_text;
};

struct QuarantineRecord {
  std::string id;
  std::string original_path;  // bytes, as the scan named the file
  int64_t size = 0;
  uint32_t mode = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
  int64_t modified_ns = 0;
  std::string md5;                  // 32 upper-case hex digits
  std::string sha256;               // 64 lower-case hex digits
  std::vector<std::string> checks;  // "hash", "heuristic N", "window N"
  int64_t kept_at = 0;              // seconds since 1970, UTC
  int64_t stored_bytes = 0;         // the entry file's size
};

// "YYYY-MM-DD HH:MM:SS" (UTC) of seconds since 1970.
std::string FormatUtc(int64_t seconds);

class Quarantine {
 public:
  // The folder to use: $NERLO_QUARANTINE_DIR when set (tests and benchmarks), else
  // /var/lib/nerlo/quarantine for the super-user, else DATA_HOME/nerlo/quarantine; empty when
  // no home folder is known.
  static std::string DefaultFolder();

  // A quarantine in folder, not yet opened. now_seconds, when not null, replaces the clock
  // (tests).
  explicit Quarantine(std::string folder, QuarantineSettings settings = {},
                      int64_t (*now_seconds)() = nullptr);

  // Creates the folder when missing (0700), removes half-written entries of processes that
  // have ended, finishes or undoes their interrupted deletions (see DeleteKeeping), and reads
  // the sizes of the entries. False with *error set when the folder cannot be made or read.
  bool Open(std::string* error);

  const std::string& Folder() const { return folder_; }
  const QuarantineSettings& Settings() const { return settings_; }

  // A fresh entry ID (the current UTC time and random digits).
  std::string NewEntryId();

  // Copies file (read through its own descriptor) into a new entry id, not yet durable nor
  // listed: its bytes are written to a temporary (".tmp-PID-ID"), to be made durable by Flush
  // and published by Publish, or dropped by Unstage. Room is made first by removing entries
  // older than MaxDays and then the oldest ones, never one still staged. Returns false, with
  // *reason set, when it could not be written whole (no space, no permission, larger than the
  // quota or than the room left beside the entries staged, the folder could not be opened);
  // nothing of it is left then. examined, when it holds the bytes read, saves hashing them
  // again for the record's MD5.
  bool Stage(platform::AsideFile& file, const std::string& original_path, std::string_view check,
             const std::string& id, std::string* reason, const ExaminedContent& examined = {});
  // Makes every entry staged so far durable, bytes and names (platform::FileSystemFlush, or
  // the flush hook). False with *reason set when the file system reports a failed write:
  // then no staged entry may be relied on.
  bool Flush(std::string* reason);
  // Gives the staged entry id its name ID.nq, so that it is listed and can be restored. The
  // folder is not flushed again: after a crash that lost the new name the next start finds
  // the flushed temporary, checks it whole and publishes it (see Open).
  bool Publish(const std::string& id, std::string* reason);
  // Removes the entry id, staged or published.
  void Unstage(const std::string& id);
  // True when a file of size bytes surely fits beside the entries staged now, however long its
  // path; false means: flush and publish them first.
  bool RoomBesideStaged(int64_t size) const;
  // Entries staged and not yet published or removed.
  size_t StagedCount() const { return staged_.size(); }

  // Every entry, oldest first. Entries whose header cannot be read are left out.
  bool List(std::vector<QuarantineRecord>* records, std::string* error) const;
  // The record of id; false with *error set when there is no such entry.
  bool Find(const std::string& id, QuarantineRecord* record, std::string* error) const;
  // The original bytes of id, checked against the size and both hashes of its record; false
  // with *error set when the entry is missing or damaged.
  bool ReadOriginal(const std::string& id, std::string* bytes, QuarantineRecord* record,
                    std::string* error) const;

  // Writes the bytes of id back, with its mode and modification time (and its owner when run
  // as the super-user), to its original path, or to `to` when that is not empty (a folder
  // there means the original name inside it). Never replaces anything: an existing file or a
  // missing folder is an error that says so. The entry is removed once the file is back.
  // *restored_path receives the path written.
  bool Restore(const std::string& id, const std::string& to, std::string* restored_path,
               std::string* error);
  // Writes the original bytes of id to a new file at path (mode 0600; never over an existing
  // file). The entry stays.
  bool Export(const std::string& id, const std::string& path, std::string* error) const;
  bool Remove(const std::string& id, std::string* error);
  // Removes every entry kept more than older_than_days days ago (all of them when
  // older_than_days is negative); the number removed into *removed.
  bool Purge(int64_t older_than_days, int* removed, std::string* error);

  // Test hook: called at the steps of a deletion ("open", "write" after every piece, "staged"
  // in Stage; "flush", "flushed" in Flush; "commit", "committed" in Publish; "pending" and
  // "deleted" in DeletionBatch), so that a test can end the process at any of them.
  void SetStepHook(void (*hook)(const char* step)) { step_hook_ = hook; }
  // Test hook: called by Flush in place of flushing the file system; returns false with
  // *reason set to fail it.
  void SetFlushHook(std::function<bool(std::string* reason)> hook) {
    flush_hook_ = std::move(hook);
  }

  // Bookkeeping of the deletions in progress, used by DeletionBatch: a marker, written when
  // a file has been moved aside and before its copy is made, and removed once every deletion
  // of the batch has ended either way, so that the next start can give a file left under its
  // hidden name by a process that was killed its name back (and drop its entry then, since
  // the file is in its place again). The deletions of one batch share one marker file.
  bool MarkPending(const std::string& id, const std::string& original_path,
                   const std::string& aside_name, const platform::FileIdentity& identity,
                   std::string* reason);
  void ClearPending();
  // Hands the marker of the deletions marked so far to the caller, who removes it
  // (platform::NewFile::Discard) once they have ended; further deletions get a marker of
  // their own.
  platform::NewFile TakePendingMarker() { return std::move(pending_marker_); }
  // Runs the step hook, when one is set.
  void Step(const char* step) const {
    if (step_hook_ != nullptr) step_hook_(step);
  }

 private:
  std::string EntryPath(const std::string& id) const;
  std::string TemporaryPath(const std::string& id) const;
  int64_t Now() const;
  bool MakeRoom(int64_t needed, std::string* reason);
  void RecoverPending(const std::string& marker_name);
  void RecoverDeletion(std::string_view record);
  void PublishOrRemove(const std::string& temporary_name);
  void Forget(const std::string& id);

  std::string folder_;
  QuarantineSettings settings_;
  int64_t (*now_seconds_)() = nullptr;
  void (*step_hook_)(const char*) = nullptr;
  std::function<bool(std::string*)> flush_hook_;
  platform::FileSystemFlush flush_;
  platform::NewFile pending_marker_;  // open while deletions are in progress
  // Staged entry IDs with their sizes in bytes; their bytes count towards the quota.
  std::map<std::string, int64_t> staged_;
  int64_t staged_bytes_ = 0;
  bool open_ = false;
  // Entry IDs with their sizes in bytes, read by Open and kept up to date.
  std::map<std::string, int64_t> sizes_;
  int64_t total_bytes_ = 0;
  std::string open_error_;
  std::string buffer_;  // the bytes of the file being kept; its allocation is reused
};

}  // namespace nerlo::scan
