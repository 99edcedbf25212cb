#include "update/set_store.h"

#include <algorithm>
#include <cerrno>
#include <random>

#include "platform/desktop.h"
#include "platform/fs_query.h"
#include "sigdb/crypto.h"

namespace nerlo::update {

namespace {

constexpr const char* kManifestName = "nerlo-set.json";
constexpr const char* kStagingPrefix = ".incoming-";
constexpr const char* kLinkPrefix = ".current-";

std::string RandomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static const char kDigits[] = "0123456789abcdef";
  uint64_t value = generator();
  std::string text;
  for (int i = 0; i < 12; ++i, value >>= 4) text.push_back(kDigits[value & 15]);
  return text;
}

std::string Reason(const std::string& what, const std::string& path, platform::ErrorCode code) {
  return what + " " + path + ": " + platform::ErrorText(code);
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The manifest of the set folder (with trailing "/") when it reads, parses, names version
// and every file it lists is there with its size.
bool CheckSetFolder(const std::string& folder, uint64_t version, sigdb::SetManifest* manifest,
                    std::string* problem) {
  std::string text;
  platform::ErrorCode code = 0;
  const std::string path = folder + kManifestName;
  if (!platform::ReadFileHead(path, sigdb::kMaxManifestBytes, &text, &code)) {
    *problem = Reason("cannot read", path, code);
    return false;
  }
  if (text.size() > sigdb::kMaxManifestBytes) {
    *problem = path + " is larger than " + std::to_string(sigdb::kMaxManifestBytes) + " bytes";
    return false;
  }
  std::string error;
  if (!sigdb::ParseManifest(text, manifest, &error)) {
    *problem = path + " is malformed: " + error;
    return false;
  }
  if (manifest->version != version) {
    *problem = path + " names version " + std::to_string(manifest->version);
    return false;
  }
  for (const sigdb::SetFile& file : manifest->files) {
    platform::FileStamp stamp;
    if (!platform::StatPath(folder + file.name, &stamp, &code)) {
      *problem = Reason("cannot reach", folder + file.name, code);
      return false;
    }
    if (static_cast<uint64_t>(stamp.size) != file.size) {
      *problem = folder + file.name + " has " + std::to_string(stamp.size) + " bytes, not " +
                 std::to_string(file.size);
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseVersionName(std::string_view name, uint64_t* version) {
  if (name.empty() || name.size() > 20 || name.front() == '0') return false;
  uint64_t value = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *version = value;
  return true;
}

SetStore::SetStore(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  sets_ = root_ + "/sets";
}

SetStore::~SetStore() { AbandonStaging(); }

bool SetStore::Injected(const char* step, platform::ErrorCode* code) const {
  if (fail_step && fail_step(step)) {
    *code = EIO;
    return true;
  }
  return false;
}

bool SetStore::Open(std::string* error) {
  platform::ErrorCode code = 0;
  const size_t slash = root_.rfind('/');
  if (slash != std::string::npos && slash > 0 &&
      !platform::CreateDirectories(root_.substr(0, slash), &code)) {
    *error = Reason("cannot make the folder", root_.substr(0, slash), code);
    return false;
  }
  if (!platform::MakeDirectory(root_, 0755, &code)) {
    *error = Reason("cannot make the folder", root_, code);
    return false;
  }
  lock_ = platform::ExclusiveLock::TryAcquire(root_ + "/.lock", &code);
  if (!lock_.IsHeld()) {
    *error = code == EWOULDBLOCK ? "another update is installing into " + root_
                                 : Reason("cannot lock", root_ + "/.lock", code);
    return false;
  }
  if (!platform::MakeDirectory(sets_, 0755, &code)) {
    *error = Reason("cannot make the folder", sets_, code);
    return false;
  }
  RemoveLeftovers();
  return true;
}

void SetStore::RemoveLeftovers() {
  std::vector<std::string> names;
  if (!platform::ListNames(root_, &names)) return;
  for (const std::string& name : names) {
    if (StartsWith(name, kStagingPrefix) || StartsWith(name, kLinkPrefix))
      platform::RemoveTree(root_ + "/" + name);
  }
}

InstalledSet SetStore::ReadInstalled() const {
  InstalledSet installed;
  std::string target;
  platform::ErrorCode code = 0;
  const std::string link = root_ + "/current";
  if (!platform::ReadSymbolicLink(link, &target, &code)) {
    if (code != ENOENT) installed.problem = Reason("cannot read the link", link, code);
    return installed;
  }
  uint64_t version = 0;
  if (!StartsWith(target, "sets/") || !ParseVersionName(target.substr(5), &version)) {
    installed.problem = link + " names " + target + ", not a set folder";
    return installed;
  }
  const std::string folder = sets_ + "/" + target.substr(5) + "/";
  if (!CheckSetFolder(folder, version, &installed.manifest, &installed.problem)) return installed;
  installed.present = true;
  installed.version = version;
  installed.folder = folder;
  return installed;
}

std::string SetStore::FindHeldFile(const sigdb::SetFile& file) const {
  std::vector<std::string> names;
  if (!platform::ListNames(sets_, &names)) return std::string();
  // Newest sets first: the current set is the likeliest holder.
  std::vector<uint64_t> versions;
  for (const std::string& name : names) {
    uint64_t version = 0;
    if (ParseVersionName(name, &version)) versions.push_back(version);
  }
  std::sort(versions.rbegin(), versions.rend());
  for (uint64_t version : versions) {
    const std::string folder = sets_ + "/" + std::to_string(version) + "/";
    sigdb::SetManifest manifest;
    std::string problem;
    if (!CheckSetFolder(folder, version, &manifest, &problem)) continue;
    for (const sigdb::SetFile& held : manifest.files) {
      if (held.sha256 != file.sha256 || held.size != file.size) continue;
      // The manifest's word is not taken for the bytes: a damaged file is downloaded again.
      std::string hex, error;
      uint64_t size = 0;
      if (sigdb::Sha256File(folder + held.name, &hex, &size, &error) && hex == file.sha256 &&
          size == file.size)
        return folder + held.name;
    }
  }
  return std::string();
}

bool SetStore::BeginStaging(std::string* error) {
  AbandonStaging();
  platform::ErrorCode code = 0;
  for (int attempt = 0; attempt < 10; ++attempt) {
    const std::string path = root_ + "/" + kStagingPrefix + RandomSuffix();
    // The root's lock keeps other runs out, so a free name stays free until it is made.
    if (platform::KindOf(path) != platform::EntryKind::kMissing) continue;
    if (!Injected("stage-dir", &code) && platform::MakeDirectory(path, 0755, &code)) {
      staging_ = path + "/";
      return true;
    }
    {
      *error = Reason("cannot make the staging folder", path, code);
      return false;
    }
  }
  *error = Reason("cannot make a staging folder in", root_, EEXIST);
  return false;
}

bool SetStore::StageHeldFile(const std::string& held, const std::string& name,
                             const std::string& sha256, std::string* error) {
  const std::string path = staging_ + name;
  platform::ErrorCode code = 0;
  if (!Injected("link", &code) && platform::CreateHardLink(held, path, &code)) return true;
  if (code != EXDEV && code != EPERM && code != EMLINK) {
    *error = Reason("cannot link " + held + " as", path, code);
    return false;
  }
  // Another file system under the root, or one without hard links: a copy, checked.
  std::string bytes;
  if (!platform::ReadTextFile(held, &bytes, &code)) {
    *error = Reason("cannot read", held, code);
    return false;
  }
  if (sigdb::Sha256Hex(bytes) != sha256) {
    *error = held + " changed while it was copied";
    return false;
  }
  platform::OutputFile out = platform::OutputFile::Create(path, 0644, &code);
  if (!out.IsOpen() || !out.Write(bytes, &code) || !out.Sync(&code) || !out.Close(&code)) {
    *error = Reason("cannot write", path, code);
    return false;
  }
  return true;
}

bool SetStore::Commit(uint64_t version, std::string_view manifest, std::string* error) {
  platform::ErrorCode code = 0;
  if (staging_.empty()) {
    *error = "nothing was staged in " + root_;
    return false;
  }
  auto fail = [&](const std::string& what, const std::string& path) {
    *error = Reason(what, path, code);
    AbandonStaging();
    return false;
  };
  const std::string manifest_path = staging_ + kManifestName;
  {
    platform::OutputFile out = platform::OutputFile::Create(manifest_path, 0644, &code);
    if (Injected("manifest", &code) || !out.IsOpen() || !out.Write(manifest, &code) ||
        !out.Sync(&code) || !out.Close(&code))
      return fail("cannot write", manifest_path);
  }
  if (Injected("sync-staging", &code) || !platform::SyncDirectory(staging_, &code))
    return fail("cannot flush the folder", staging_);

  const std::string name = std::to_string(version);
  const std::string folder = sets_ + "/" + name;
  // A folder of this version that is not current was left by a run that ended between the
  // move and the switch, or is damaged: it is moved aside whole, then removed.
  if (platform::KindOf(folder) != platform::EntryKind::kMissing) {
    const std::string aside = root_ + "/" + kStagingPrefix + "old-" + RandomSuffix();
    if (!platform::RenamePath(folder, aside, false, &code))
      return fail("cannot move aside the old folder", folder);
    platform::RemoveTree(aside);
  }
  const std::string staged = staging_.substr(0, staging_.size() - 1);
  if (Injected("move", &code) || !platform::RenamePath(staged, folder, false, &code))
    return fail("cannot move " + staged + " to", folder);
  staging_.clear();
  if (Injected("sync-sets", &code) || !platform::SyncDirectory(sets_, &code)) {
    *error = Reason("cannot flush the folder", sets_, code);
    platform::RemoveTree(folder);
    return false;
  }

  const std::string link = root_ + "/" + kLinkPrefix + RandomSuffix();
  const std::string current = root_ + "/current";
  bool linked = !Injected("new-link", &code) &&
                platform::CreateSymbolicLink("sets/" + name, link, &code);
  if (linked) linked = !Injected("switch", &code) && platform::RenamePath(link, current, true, &code);
  if (!linked) {
    *error = Reason("cannot switch", current, code);
    platform::RemoveTree(link);
    platform::RemoveTree(folder);
    return false;
  }
  // The switch has happened; a failed flush can only mean that a crash now could bring the
  // old link back, which still names a complete set.
  if (Injected("sync-root", &code) || !platform::SyncDirectory(root_, &code)) {
    *error = Reason("switched, but cannot flush the folder", root_, code);
    return false;
  }
  return true;
}

void SetStore::AbandonStaging() {
  if (staging_.empty()) return;
  platform::RemoveTree(staging_.substr(0, staging_.size() - 1));
  staging_.clear();
}

std::vector<std::string> SetStore::Prune(uint64_t previous) {
  std::vector<std::string> warnings;
  const InstalledSet installed = ReadInstalled();
  if (!installed.present) return warnings;
  std::vector<std::string> names;
  platform::ErrorCode code = 0;
  if (!platform::ListNames(sets_, &names, &code)) {
    warnings.push_back(Reason("cannot list", sets_, code));
    return warnings;
  }
  if (previous == kNewestBelowCurrent) {
    previous = 0;
    for (const std::string& name : names) {
      uint64_t version = 0;
      if (ParseVersionName(name, &version) && version < installed.version)
        previous = std::max(previous, version);
    }
  }
  for (const std::string& name : names) {
    uint64_t version = 0;
    if (!ParseVersionName(name, &version)) continue;
    if (version == installed.version || version == previous) continue;
    if (!platform::RemoveTree(sets_ + "/" + name, &code))
      warnings.push_back(Reason("cannot remove the old set", sets_ + "/" + name, code));
  }
  return warnings;
}

}  // namespace nerlo::update
