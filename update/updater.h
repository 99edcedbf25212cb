// One update run: fetch the channel, accept it or not, download what is missing, install.
//
// A channel is accepted only when channel.json.sig is a valid signature of channel.json's
// exact bytes under one of the given public keys, the channel has not expired, and its
// version is higher than the installed set's (equal: nothing is downloaded, the run is
// "already current"). Only the files whose SHA-256 the root does not already hold are
// downloaded, each checked for size and hash while it streams in; nothing is installed
// unless everything verified. Any failure or cancel leaves the installed set exactly as it
// was and removes the run's temporary files.
//
// RunUpdate runs on the calling thread and blocks until the run ends; the events are called
// on that thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/download.h"

namespace nerlo::update {

struct UpdateOptions {
  std::string url;                   // the channel's base address (https://)
  std::string ca_file;               // extra certificate bundle, or empty
  std::string root;                  // installation root
  std::vector<std::string> keys;     // public keys, raw bytes
  DownloadLimits limits;
  std::function<int64_t()> now;      // seconds since 1970 UTC; the system clock when empty
};

struct UpdateEvents {
  // A step begins: a short sentence such as "Fetching https://.../channel.json".
  std::function<void(const std::string& step)> OnStep;
  // Bytes of the set's files downloaded so far, of total to download. Also called when no
  // byte arrived, at least about once a second during a transfer.
  std::function<void(uint64_t done, uint64_t total)> OnBytes;
  // Asked often; true cancels the run.
  std::function<bool()> Cancelled;
};

enum class UpdateOutcome { kUpdated, kAlreadyCurrent, kFailed, kCancelled };

struct UpdateResult {
  UpdateOutcome outcome = UpdateOutcome::kFailed;
  // One or two sentences in plain words: what happened, and for a failure what failed and
  // where (file, check, URL) and that the installed set is unchanged.
  std::string message;
  uint64_t installed_version = 0;  // before the run
  uint64_t offered_version = 0;    // the channel's, when it was read
  int files_downloaded = 0;
  int files_kept = 0;              // already held by the root, not downloaded
  uint64_t bytes_transferred = 0;  // every body byte received, channel.json included
  std::vector<std::string> warnings;
};

UpdateResult RunUpdate(const UpdateOptions& options, const UpdateEvents& events);

// "1.2 MB", "850 kB", "12 bytes": a byte count for people (decimal units).
std::string ByteCountText(uint64_t bytes);

}  // namespace nerlo::update
