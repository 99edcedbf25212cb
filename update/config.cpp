#include "update/config.h"

#include "platform/desktop.h"
#include "platform/fs_install.h"
#include "platform/fs_query.h"
#include "platform/platform.h"
#include "sigdb/crypto.h"
#include "sigdb/signature_set.h"
#include "update/download.h"

namespace nerlo::update {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

}  // namespace

std::string IniValue(std::string_view text, std::string_view section, std::string_view key,
                     bool* found) {
  *found = false;
  bool in_section = false;
  bool section_seen = false;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const size_t close = line.find(']');
      if (close == std::string_view::npos) continue;
      // Only the first section of the name counts, as the settings file's own reader has it.
      if (in_section) return std::string();
      in_section = !section_seen && SameName(Trim(line.substr(1, close - 1)), section);
      section_seen = section_seen || in_section;
      continue;
    }
    if (!in_section) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (SameName(Trim(line.substr(0, equals)), key)) {
      *found = true;
      return std::string(Trim(line.substr(equals + 1)));
    }
  }
  return std::string();
}

std::vector<std::string> DefaultSourceFiles() {
  std::vector<std::string> files;
  const std::string user = platform::SettingsFilePath();
  if (!user.empty()) files.push_back(user);
  files.push_back("/etc/nerlo/update.ini");
  return files;
}

SourceStatus FindUpdateSource(const std::vector<std::string>& files, UpdateSource* source,
                              std::string* error) {
  *source = UpdateSource();
  for (const std::string& file : files) {
    if (platform::KindOf(file) == platform::EntryKind::kMissing) continue;
    std::string text;
    platform::ErrorCode code = 0;
    if (!platform::ReadTextFile(file, &text, &code)) {
      *error = "cannot read the settings file " + file + ": " + platform::ErrorText(code);
      return SourceStatus::kInvalid;
    }
    bool found = false;
    const std::string url = IniValue(text, "Update", "Url", &found);
    if (!found || url.empty()) continue;
    if (!IsHttpsUrl(url)) {
      *error = "Url=" + url + " under [Update] in " + file +
               ": only https:// addresses are accepted";
      return SourceStatus::kInvalid;
    }
    source->url = url;
    source->file = file;
    bool ca_found = false;
    std::string ca = IniValue(text, "Update", "CaFile", &ca_found);
    if (!ca.empty() && ca.front() != '/') ca = FolderOf(file) + ca;
    source->ca_file = ca;
    return SourceStatus::kFound;
  }
  std::string asked;
  for (const std::string& file : files) asked += (asked.empty() ? "" : " or ") + file;
  *error = "no update source is set: put a line Url=https://... under [Update] in " + asked;
  return SourceStatus::kMissing;
}

std::vector<std::string> DefaultKeyFolders(const std::string& program_directory) {
  std::vector<std::string> folders;
  if (!program_directory.empty()) folders.push_back(platform::JoinPath(program_directory, "keys/"));
  folders.push_back("/etc/nerlo/keys/");
  return folders;
}

std::vector<std::string> LoadPublicKeys(const std::vector<std::string>& folders,
                                        std::vector<std::string>* warnings) {
  std::vector<std::string> keys;
  for (const std::string& folder : folders) {
    platform::ErrorCode list_error = 0;
    const platform::DirectoryRef dir =
        platform::Directory::OpenRoot(folder, platform::LinkPolicy::kFollow, &list_error);
    platform::DirectoryListing listing;
    if (dir == nullptr || !listing.Open(*dir, "*.pub", &list_error)) continue;
    platform::DirEntry entry;
    while (listing.Next(&entry)) {
      if (entry.is_directory) continue;
      std::string key, error;
      if (sigdb::ReadKeyFile(platform::JoinPath(folder, entry.name), sigdb::kPublicKeyBytes, &key,
                             &error)) {
        keys.push_back(key);
      } else {
        warnings->push_back("not a public key, passed over: " + error);
      }
    }
  }
  return keys;
}

std::string DefaultInstallRoot() {
  // The roots that scans read may be replaced as a whole (tests do so); the first of them
  // is then where a run installs, so that such a run never writes the user's or the
  // system's real root.
  std::string roots;
  if (platform::EnvironmentValue("NERLO_SET_ROOTS", &roots)) {
    const std::vector<std::string> list = sigdb::InstalledSetRoots();
    return list.empty() ? std::string() : list.front();
  }
  if (platform::RunsPrivileged()) return "/var/lib/nerlo";
  const std::string data = platform::UserDataDirectory();
  if (data.empty()) return std::string();
  return platform::JoinPath(data, "nerlo");
}

}  // namespace nerlo::update
