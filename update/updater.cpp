#include "update/updater.h"

#include <cerrno>

#include "platform/fs_install.h"
#include "sigdb/crypto.h"
#include "sigdb/signature_set.h"
#include "update/set_store.h"

namespace nerlo::update {

namespace {

// Larger database files than this are refused before any byte is fetched.
constexpr uint64_t kMaxSetFileBytes = uint64_t{1} << 31;

std::string VersionText(uint64_t version) {
  return version == 0 ? std::string("none") : "version " + std::to_string(version);
}

std::string UnchangedText(const InstalledSet& installed) {
  return installed.present ? "The installed signatures (version " +
                                 std::to_string(installed.version) + ") are unchanged."
                           : "Nothing was installed.";
}

}  // namespace

std::string ByteCountText(uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  const char* units[] = {"kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1000.0;
  int unit = 0;
  // The unit is chosen on the value as printed, so that 999,999 bytes read "1.00 MB", not
  // "1000 kB".
  while (value >= 999.5 && unit < 3) {
    value /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10 ? "%.2f %s" : value < 100 ? "%.1f %s" : "%.0f %s",
                value, units[unit]);
  return text;
}

UpdateResult RunUpdate(const UpdateOptions& options, const UpdateEvents& events) {
  UpdateResult result;
  auto step = [&](const std::string& text) {
    if (events.OnStep) events.OnStep(text);
  };
  auto cancelled = [&] { return events.Cancelled && events.Cancelled(); };

  SetStore store(options.root);
  InstalledSet installed;
  auto finish = [&](UpdateOutcome outcome, const std::string& message) {
    store.AbandonStaging();
    result.outcome = outcome;
    if (outcome == UpdateOutcome::kFailed)
      result.message = "Update failed: " + message + ". " + UnchangedText(installed);
    else if (outcome == UpdateOutcome::kCancelled)
      result.message = "Update cancelled. " + UnchangedText(installed);
    else
      result.message = message;
    return result;
  };

  std::string error;
  // Read without the lock at first, so that a run that fails before any download (no
  // network, a refused channel) has not even made the root; read again under the lock.
  installed = store.ReadInstalled();
  result.installed_version = installed.version;
  if (options.keys.empty())
    return finish(UpdateOutcome::kFailed, "no publisher's key is installed");

  Downloader downloader(options.ca_file, options.limits);
  auto keep_going = [&](uint64_t) { return !cancelled(); };
  const std::string channel_url = ChannelFileUrl(options.url, "channel.json");
  const std::string signature_url = ChannelFileUrl(options.url, "channel.json.sig");

  // ---- The channel ----
  step("Fetching " + channel_url);
  std::string channel;
  auto append_channel = [&](std::string_view bytes) {
    channel.append(bytes);
    return true;
  };
  DownloadStatus status = downloader.Fetch(channel_url, sigdb::kMaxManifestBytes, false,
                                           append_channel, keep_going, &error);
  if (status == DownloadStatus::kOk) {
    step("Fetching " + signature_url);
    std::string signature;
    status = downloader.Fetch(
        signature_url, sigdb::kSignatureBytes, false,
        [&](std::string_view bytes) {
          signature.append(bytes);
          return true;
        },
        keep_going, &error);
    if (status == DownloadStatus::kOk && signature.size() != sigdb::kSignatureBytes) {
      error = signature_url + ": " + std::to_string(signature.size()) + " bytes, not a " +
              std::to_string(sigdb::kSignatureBytes) + "-byte signature";
      status = DownloadStatus::kFailed;
    }
    if (status == DownloadStatus::kOk) {
      bool verified = false;
      for (const std::string& key : options.keys)
        verified = verified || sigdb::VerifyDetached(channel, signature, key);
      if (!verified) {
        error = channel_url + ": the signature " + signature_url +
                " does not verify against any installed publisher's key (" +
                std::to_string(options.keys.size()) + " installed)";
        status = DownloadStatus::kFailed;
      }
    }
  }
  result.bytes_transferred = downloader.TotalReceived();
  if (status == DownloadStatus::kCancelled) return finish(UpdateOutcome::kCancelled, error);
  if (status != DownloadStatus::kOk) return finish(UpdateOutcome::kFailed, error);

  sigdb::SetManifest manifest;
  if (!sigdb::ParseManifest(channel, &manifest, &error))
    return finish(UpdateOutcome::kFailed, channel_url + " is malformed: " + error);
  result.offered_version = manifest.version;
  int64_t expires = 0;
  const int64_t now = options.now ? options.now() : platform::CurrentUtcSeconds();
  if (!sigdb::ParseUtcTime(manifest.expires, &expires))
    return finish(UpdateOutcome::kFailed, channel_url + ": unreadable expiry time");
  if (expires <= now) {
    const int64_t days = (now - expires) / 86400;
    return finish(UpdateOutcome::kFailed,
                  channel_url + " expired at " + manifest.expires +
                      (days > 0 ? " (" + std::to_string(days) + " days ago)" : "") +
                      ": the mirror is stale");
  }
  // Only now is the root made and locked; the installed set is read again under the lock,
  // since another run may have installed meanwhile.
  if (!store.Open(&error)) return finish(UpdateOutcome::kFailed, error);
  installed = store.ReadInstalled();
  result.installed_version = installed.version;
  if (!installed.problem.empty())
    result.warnings.push_back("the installed set is passed over: " + installed.problem);

  if (manifest.version == installed.version) {
    for (const std::string& warning : store.Prune(SetStore::kNewestBelowCurrent))
      result.warnings.push_back(warning);
    return finish(UpdateOutcome::kAlreadyCurrent,
                  "The signatures are current: version " + std::to_string(installed.version) +
                      ", created " + installed.manifest.created + ".");
  }
  if (manifest.version < installed.version)
    return finish(UpdateOutcome::kFailed,
                  channel_url + " offers version " + std::to_string(manifest.version) +
                      ", older than the installed version " +
                      std::to_string(installed.version) + "; an older set is never installed");

  // ---- The files ----
  if (!store.BeginStaging(&error)) return finish(UpdateOutcome::kFailed, error);
  std::vector<const sigdb::SetFile*> to_fetch;
  for (const sigdb::SetFile& file : manifest.files) {
    if (cancelled()) return finish(UpdateOutcome::kCancelled, "");
    if (file.size > kMaxSetFileBytes)
      return finish(UpdateOutcome::kFailed, channel_url + " announces " + file.name + " with " +
                                                std::to_string(file.size) +
                                                " bytes, more than a set file may have");
    const std::string held = store.FindHeldFile(file);
    if (held.empty()) {
      to_fetch.push_back(&file);
      continue;
    }
    if (!store.StageHeldFile(held, file.name, file.sha256, &error))
      return finish(UpdateOutcome::kFailed, error);
    ++result.files_kept;
  }
  uint64_t total = 0;
  for (const sigdb::SetFile* file : to_fetch) total += file->size;
  uint64_t done_before = 0;
  for (const sigdb::SetFile* file : to_fetch) {
    const std::string url = ChannelFileUrl(options.url, "files/" + file->sha256);
    const std::string path = store.Staging() + file->name;
    step("Downloading " + file->name + " (" + ByteCountText(file->size) + ") from " + url);
    platform::ErrorCode code = 0;
    platform::OutputFile out = platform::OutputFile::Create(path, 0644, &code);
    if (!out.IsOpen())
      return finish(UpdateOutcome::kFailed,
                    "cannot write " + path + ": " + platform::ErrorText(code));
    sigdb::Sha256 hash;
    bool write_failed = false;
    auto sink = [&](std::string_view bytes) {
      hash.Update(bytes.data(), bytes.size());
      if (!out.Write(bytes, &code)) {
        write_failed = true;
        return false;
      }
      return true;
    };
    auto progress = [&](uint64_t received) {
      if (events.OnBytes) events.OnBytes(done_before + received, total);
      return !cancelled();
    };
    status = downloader.Fetch(url, file->size, true, sink, progress, &error);
    result.bytes_transferred = downloader.TotalReceived();
    if (write_failed)
      return finish(UpdateOutcome::kFailed,
                    "cannot write " + path + ": " + platform::ErrorText(code));
    if (status == DownloadStatus::kCancelled) return finish(UpdateOutcome::kCancelled, error);
    if (status != DownloadStatus::kOk)
      return finish(UpdateOutcome::kFailed, file->name + ": " + error);
    const std::string digest = hash.FinishHex();
    if (digest != file->sha256)
      return finish(UpdateOutcome::kFailed, url + " (" + file->name + "): the SHA-256 is " +
                                                digest + ", not the announced " + file->sha256);
    if (!out.Sync(&code) || !out.Close(&code))
      return finish(UpdateOutcome::kFailed,
                    "cannot write " + path + ": " + platform::ErrorText(code));
    done_before += file->size;
    ++result.files_downloaded;
    if (events.OnBytes) events.OnBytes(done_before, total);
  }
  if (cancelled()) return finish(UpdateOutcome::kCancelled, "");

  // ---- The install ----
  step("Installing version " + std::to_string(manifest.version) + " into " + store.Root());
  if (!store.Commit(manifest.version, channel, &error)) {
    // A failure after the switch (only the final flush can fail there) installed the set.
    if (store.ReadInstalled().version != manifest.version)
      return finish(UpdateOutcome::kFailed, error);
    result.warnings.push_back(error);
  }
  for (const std::string& warning : store.Prune(installed.version))
    result.warnings.push_back(warning);
  std::string message = "Updated the signatures from " + VersionText(installed.version) +
                        " to version " + std::to_string(manifest.version) + " (created " +
                        manifest.created + "): ";
  message += std::to_string(result.files_downloaded) +
             (result.files_downloaded == 1 ? " file" : " files") + " downloaded (" +
             ByteCountText(done_before) + ")";
  if (result.files_kept > 0)
    message += ", " + std::to_string(result.files_kept) + " already held";
  message += ".";
  return finish(UpdateOutcome::kUpdated, message);
}

}  // namespace nerlo::update
