#include "scan/quarantine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "platform/desktop.h"
#include "platform/fs_query.h"
#include "sigdb/crypto.h"
#include "sigdb/md5.h"

namespace nerlo::scan {

namespace {

constexpr std::string_view kMagic = "NERLO QUARANTINE ENTRY 1\n";
constexpr std::string_view kEntrySuffix = ".nq";
constexpr std::string_view kTemporaryPrefix = ".tmp-";
constexpr std::string_view kPendingPrefix = ".pending-";
// The stored bytes are XOR-ed with this key, byte i with kKey[i % 16].
constexpr unsigned char kKey[16] = {0x4e, 0x9c, 0x2b, 0xd7, 0x61, 0xa5, 0x13, 0xf0,
                                    0x88, 0x3e, 0xc4, 0x5a, 0x07, 0xb9, 0x76, 0xe2};
// The header and record never take more than this (a path is at most a few KiB).
constexpr size_t kMaxHeaderBytes = 65536;
constexpr size_t kPieceBytes = 65536;
constexpr int64_t kSecondsPerDay = 86400;

bool IsLowerName(char c) { return c >= 'a' && c <= 'z'; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool ParseInt64(std::string_view text, int64_t* value, int base = 10) {
  if (text.empty()) return false;
  bool negative = false;
  if (text[0] == '-') {
    negative = true;
    text.remove_prefix(1);
    if (text.empty()) return false;
  }
  uint64_t result = 0;
  for (char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && Lower(c) >= 'a' && Lower(c) <= 'f') {
      digit = Lower(c) - 'a' + 10;
    } else {
      return false;
    }
    if (digit >= base || result > (uint64_t{1} << 62) / static_cast<uint64_t>(base)) return false;
    result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  *value = negative ? -static_cast<int64_t>(result) : static_cast<int64_t>(result);
  return true;
}

std::string HexOf(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

bool BytesOfHex(std::string_view hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  bytes->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int64_t value = 0;
    if (!ParseInt64(hex.substr(i, 2), &value, 16)) return false;
    bytes->push_back(static_cast<char>(value));
  }
  return true;
}

void Scramble(std::string& bytes, size_t offset) {
  size_t i = 0;
  // Whole turns of the key sixteen bytes at a time, where the key starts over.
  if (offset % 16 == 0) {
    uint64_t key[2];
    std::memcpy(key, kKey, sizeof key);
    for (; i + 16 <= bytes.size(); i += 16) {
      uint64_t words[2];
      std::memcpy(words, bytes.data() + i, sizeof words);
      words[0] ^= key[0];
      words[1] ^= key[1];
      std::memcpy(bytes.data() + i, words, sizeof words);
    }
  }
  for (; i < bytes.size(); ++i)
    bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) ^ kKey[(offset + i) % 16]);
}

int64_t SystemNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The UTC time in an entry ID ("YYYYMMDD-HHMMSS-..."); -1 when it holds none.
int64_t TimeOfId(std::string_view id) {
  int64_t date = 0, time = 0;
  if (id.size() < 15 || id[8] != '-' || !ParseInt64(id.substr(0, 8), &date) ||
      !ParseInt64(id.substr(9, 6), &time))
    return -1;
  using namespace std::chrono;
  const year_month_day day{year{static_cast<int>(date / 10000)},
                           month{static_cast<unsigned>(date / 100 % 100)},
                           std::chrono::day{static_cast<unsigned>(date % 100)}};
  if (!day.ok()) return -1;
  return sys_days{day}.time_since_epoch().count() * kSecondsPerDay + time / 10000 * 3600 +
         time / 100 % 100 * 60 + time % 100;
}

std::string IdTimeText(int64_t seconds) {
  using namespace std::chrono;
  const sys_days days{std::chrono::days{
      seconds >= 0 ? seconds / kSecondsPerDay : (seconds - kSecondsPerDay + 1) / kSecondsPerDay}};
  const year_month_day day{days};
  const int64_t in_day = seconds - days.time_since_epoch().count() * kSecondsPerDay;
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02u-%02d%02d%02d", static_cast<int>(day.year()),
                static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()),
                static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
                static_cast<int>(in_day % 60));
  return text;
}

bool IsEntryName(std::string_view name) {
  return name.size() > kEntrySuffix.size() && name[0] != '.' &&
         name.substr(name.size() - kEntrySuffix.size()) == kEntrySuffix;
}

// A plausible entry ID: only digits, lower-case letters and "-" (so an ID given on a command
// line never names a path outside the folder).
bool IsValidId(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id)
    if (!((c >= '0' && c <= '9') || IsLowerName(c) || c == '-')) return false;
  return true;
}

// "key=value" lines into pairs; false on a line without "=".
bool ParseLines(std::string_view text, std::map<std::string, std::string>* fields) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty()) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    (*fields)[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
  }
  return true;
}

std::string RecordText(const QuarantineRecord& r) {
  std::string checks;
  for (const std::string& check : r.checks) checks += (checks.empty() ? "" : "\n") + check;
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", r.mode);
  return "path=" + HexOf(r.original_path) + "\nsize=" + std::to_string(r.size) + "\nmode=" + mode +
         "\nowner=" + std::to_string(r.owner) + "\ngroup=" + std::to_string(r.group) +
         "\nmodified=" + std::to_string(r.modified_ns) + "\nmd5=" + r.md5 + "\nsha256=" + r.sha256 +
         "\nchecks=" + HexOf(checks) + "\nkept=" + std::to_string(r.kept_at) + "\n";
}

bool ParseRecord(std::string_view text, QuarantineRecord* r) {
  std::map<std::string, std::string> f;
  if (!ParseLines(text, &f)) return false;
  int64_t mode = 0, owner = 0, group = 0;
  std::string checks;
  if (!BytesOfHex(f["path"], &r->original_path) || r->original_path.empty() ||
      !ParseInt64(f["size"], &r->size) || r->size < 0 || !ParseInt64(f["mode"], &mode, 8) ||
      !ParseInt64(f["owner"], &owner) || !ParseInt64(f["group"], &group) ||
      !ParseInt64(f["modified"], &r->modified_ns) || f["md5"].size() != 32 ||
      f["sha256"].size() != 64 || !BytesOfHex(f["checks"], &checks) ||
      !ParseInt64(f["kept"], &r->kept_at))
    return false;
  r->mode = static_cast<uint32_t>(mode & 07777);
  r->owner = static_cast<uint32_t>(owner);
  r->group = static_cast<uint32_t>(group);
  r->md5 = f["md5"];
  r->sha256 = f["sha256"];
  r->checks.clear();
  for (size_t start = 0; start < checks.size();) {
    const size_t end = std::min(checks.find('\n', start), checks.size());
    r->checks.push_back(checks.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Reads the header of the entry file at path: its record, and where the stored bytes begin.
bool ReadHeader(const std::string& path, QuarantineRecord* record, size_t* data_offset,
                std::string* bytes_out, std::string* error) {
  platform::ErrorCode code = 0;
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kNoFollow, &code);
  if (!file.IsOpen()) {
    *error = platform::ErrorText(code);
    return false;
  }
  std::string text;
  char piece[8192];
  size_t end = std::string::npos;
  for (;;) {
    if (bytes_out == nullptr) {
      end = text.find("\n\n");
      if (end != std::string::npos || text.size() > kMaxHeaderBytes) break;
    }
    const int64_t n = file.Read(piece, sizeof piece, &code);
    if (n < 0) {
      *error = platform::ErrorText(code);
      return false;
    }
    if (n == 0) break;
    text.append(piece, static_cast<size_t>(n));
  }
  if (end == std::string::npos) end = text.find("\n\n");
  if (text.compare(0, kMagic.size(), kMagic) != 0 || end == std::string::npos ||
      !ParseRecord(std::string_view(text).substr(kMagic.size(), end + 1 - kMagic.size()), record)) {
    *error = "the entry's header is damaged";
    return false;
  }
  *data_offset = end + 2;
  record->stored_bytes = file.Stamp().size;
  if (bytes_out != nullptr) *bytes_out = text.substr(end + 2);
  return true;
}

// Reads the entry file at path whole and checks its bytes against the record's size and
// hashes; *error begins with ": " or " is damaged".
bool VerifyEntryFile(const std::string& path, std::string* bytes, QuarantineRecord* record,
                     std::string* error) {
  size_t offset = 0;
  std::string why;
  if (!ReadHeader(path, record, &offset, bytes, &why)) {
    *error = ": " + why;
    return false;
  }
  Scramble(*bytes, 0);
  sigdb::TMD5 md5;
  md5.Update(bytes->data(), bytes->size());
  if (static_cast<int64_t>(bytes->size()) != record->size ||
      sigdb::Sha256Hex(*bytes) != record->sha256 || md5.DigestText() != record->md5) {
    bytes->clear();
    *error = " is damaged: its bytes do not match the SHA-256 kept with them";
    return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string MiB(int64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

std::string ExpectedIdError(const std::string& id) { return "no quarantine entry " + id; }

}  // namespace

QuarantineSettings ParseQuarantineSettings(std::string_view text) {
  QuarantineSettings settings;
  bool in_section = false;
  bool seen_keep = false, seen_size = false, seen_days = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.front() == '[') {
      const size_t close = line.find(']');
      in_section = close != std::string_view::npos &&
                   SameName(Trim(line.substr(1, close - 1)), "Quarantine");
      continue;
    }
    const size_t equals = line.find('=');
    if (!in_section || equals == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    int64_t number = 0;
    // The first occurrence of a key wins, as for the other settings.
    if (SameName(key, "Keep") && !seen_keep) {
      seen_keep = true;
      if (ParseInt64(value, &number)) settings.keep = number != 0;
    } else if (SameName(key, "MaxSizeMB") && !seen_size) {
      seen_size = true;
      if (ParseInt64(value, &number) && number > 0 && number <= (int64_t{1} << 40))
        settings.max_bytes = number << 20;
    } else if (SameName(key, "MaxDays") && !seen_days) {
      seen_days = true;
      if (ParseInt64(value, &number) && number > 0 && number <= 1000000) settings.max_days = number;
    }
  }
  return settings;
}

QuarantineSettings ReadQuarantineSettings() {
  const std::string path = platform::SettingsFilePath();
  std::string text;
  if (path.empty() || !platform::ReadTextFile(path, &text)) return QuarantineSettings{};
  return ParseQuarantineSettings(text);
}

std::string FormatUtc(int64_t seconds) {
  const std::string t = IdTimeText(seconds);
  return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + " " + t.substr(9, 2) + ":" +
         t.substr(11, 2) + ":" + t.substr(13, 2);
}

std::string Quarantine::DefaultFolder() {
  if (const char* dir = std::getenv("NERLO_QUARANTINE_DIR"); dir != nullptr && dir[0] != '\0')
    return dir;
  if (platform::IsPrivileged()) return "/var/lib/nerlo/quarantine";
  const std::string data = platform::UserDataDirectory();
  if (data.empty()) return std::string();
  return platform::JoinPath(platform::JoinPath(data, "nerlo"), "quarantine");
}

Quarantine::Quarantine(std::string folder, QuarantineSettings settings, int64_t (*now_seconds)())
    : folder_(std::move(folder)), settings_(settings), now_seconds_(now_seconds) {}

int64_t Quarantine::Now() const { return now_seconds_ != nullptr ? now_seconds_() : SystemNow(); }

std::string Quarantine::EntryPath(const std::string& id) const {
  return platform::JoinPath(folder_, id + std::string(kEntrySuffix));
}

std::string Quarantine::TemporaryPath(const std::string& id) const {
  return platform::JoinPath(
      folder_, std::string(kTemporaryPrefix) + std::to_string(platform::ProcessId()) + "-" + id);
}

bool Quarantine::Open(std::string* error) {
  open_ = false;
  sizes_.clear();
  total_bytes_ = 0;
  for (const auto& [id, size] : staged_) platform::RemoveFileIfPresent(TemporaryPath(id), nullptr);
  staged_.clear();
  staged_bytes_ = 0;
  platform::ErrorCode code = 0;
  if (folder_.empty()) {
    open_error_ = "no folder for the quarantine (the home folder is not known)";
    *error = open_error_;
    return false;
  }
  std::vector<std::string> names;
  if (!platform::CreatePrivateDirectory(folder_, &code) ||
      !platform::ListFiles(folder_, &names, &code)) {
    open_error_ = "the quarantine " + folder_ + " cannot be used: " + platform::ErrorText(code);
    *error = open_error_;
    return false;
  }
  // Temporaries first: an entry they complete is dropped again when its file is put back.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const bool a_temporary = a.rfind(kTemporaryPrefix, 0) == 0;
    const bool b_temporary = b.rfind(kTemporaryPrefix, 0) == 0;
    return a_temporary != b_temporary ? a_temporary : a < b;
  });
  for (const std::string& name : names) {
    const bool temporary = name.rfind(kTemporaryPrefix, 0) == 0;
    const bool pending = name.rfind(kPendingPrefix, 0) == 0;
    if (!temporary && !pending) continue;
    // ".tmp-PID-..." and ".pending-PID-...": only a process that has ended leaves them for
    // good; this process opens its quarantine while it keeps nothing.
    const std::string_view rest =
        std::string_view(name).substr(temporary ? kTemporaryPrefix.size() : kPendingPrefix.size());
    int64_t pid = 0;
    if (!ParseInt64(rest.substr(0, rest.find('-')), &pid)) pid = 0;
    if (pid != platform::ProcessId() && platform::ProcessIsRunning(pid)) continue;
    if (pending) {
      RecoverPending(name);
    } else {
      PublishOrRemove(name);
    }
  }
  if (!platform::ListFiles(folder_, &names, &code)) {
    open_error_ = "the quarantine " + folder_ + " cannot be read: " + platform::ErrorText(code);
    *error = open_error_;
    return false;
  }
  for (const std::string& name : names) {
    if (!IsEntryName(name)) continue;
    platform::FileDetails details;
    if (!platform::PathDetails(platform::JoinPath(folder_, name), &details, nullptr)) continue;
    sizes_[name.substr(0, name.size() - kEntrySuffix.size())] = details.stamp.size;
    total_bytes_ += details.stamp.size;
  }
  if (!flush_.Open(folder_, &code)) {
    open_error_ = "the quarantine " + folder_ + " cannot be used: " + platform::ErrorText(code);
    *error = open_error_;
    return false;
  }
  open_ = true;
  open_error_.clear();
  return true;
}

void Quarantine::PublishOrRemove(const std::string& temporary_name) {
  const std::string path = platform::JoinPath(folder_, temporary_name);
  // ".tmp-PID-ID": an entry whose bytes were all written and synced, but whose new name may
  // not have reached the disk, is published; anything less is removed.
  const size_t dash = temporary_name.find('-', kTemporaryPrefix.size());
  const std::string id =
      dash == std::string::npos ? std::string() : temporary_name.substr(dash + 1);
  std::string bytes, why;
  QuarantineRecord record;
  if (IsValidId(id) && VerifyEntryFile(path, &bytes, &record, &why) &&
      platform::RenameNoReplace(path, EntryPath(id), nullptr))
    return;
  platform::RemoveFileIfPresent(path, nullptr);
}

void Quarantine::RecoverPending(const std::string& marker_name) {
  const std::string marker = platform::JoinPath(folder_, marker_name);
  std::string text;
  if (platform::ReadTextFile(marker, &text)) {
    // One record a deletion, each ended by an empty line (a marker of an earlier version
    // holds one record without it); a record cut short names no file and is passed over.
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find("\n\n", at);
      if (end == std::string::npos) end = text.size();
      RecoverDeletion(std::string_view(text).substr(at, end - at));
      at = end + 2;
    }
  }
  platform::RemoveFileIfPresent(marker, nullptr);
}

void Quarantine::RecoverDeletion(std::string_view record) {
  std::map<std::string, std::string> f;
  std::string path, aside, id;
  int64_t device = 0, inode = 0;
  if (!ParseLines(record, &f) || !BytesOfHex(f["path"], &path) || !BytesOfHex(f["aside"], &aside) ||
      path.empty() || aside.empty() || aside.find('/') != std::string::npos ||
      !ParseInt64(f["device"], &device) || !ParseInt64(f["inode"], &inode))
    return;
  id = f["entry"];
  const std::string aside_path = platform::JoinPath(FolderOf(path), aside);
  platform::FileDetails details;
  if (!platform::PathDetails(aside_path, &details, nullptr) ||
      details.stamp.identity.device != static_cast<uint64_t>(device) ||
      details.stamp.identity.inode != static_cast<uint64_t>(inode))
    return;
  // The process ended before the file was removed: it goes back to its place, and a copy
  // already kept is dropped, since nothing was deleted. When the name is taken meanwhile,
  // the file gets a name beside it instead.
  bool back = platform::RenameNoReplace(aside_path, path, nullptr);
  for (int n = 1; !back && n < 100; ++n)
    back = platform::RenameNoReplace(aside_path, path + ".nerlo-restored-" + std::to_string(n),
                                     nullptr);
  if (back && IsValidId(id)) platform::RemoveFileIfPresent(EntryPath(id), nullptr);
}

std::string Quarantine::NewEntryId() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  for (;;) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%06llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFF));
    std::string id = IdTimeText(Now()) + "-" + suffix;
    if (sizes_.count(id) == 0 && staged_.count(id) == 0 && !platform::PathExists(EntryPath(id)))
      return id;
  }
}

bool Quarantine::MarkPending(const std::string& id, const std::string& original_path,
                             const std::string& aside_name, const platform::FileIdentity& identity,
                             std::string* reason) {
  if (!open_) {
    *reason = open_error_;
    return false;
  }
  const std::string text = "path=" + HexOf(original_path) + "\naside=" + HexOf(aside_name) +
                           "\ndevice=" + std::to_string(identity.device) +
                           "\ninode=" + std::to_string(identity.inode) + "\nentry=" + id + "\n\n";
  platform::ErrorCode code = 0;
  // One marker for the deletions that wait together: a file a deletion, removed again, would
  // cost the disk a block freed (and on some, discarded) per deleted file.
  if (!pending_marker_.IsOpen()) {
    pending_marker_ = platform::NewFile::Create(
        platform::JoinPath(folder_, std::string(kPendingPrefix) +
                                        std::to_string(platform::ProcessId()) + "-" + id),
        &code);
  }
  // The marker only has to outlive this process, not the system: it is not synced. Each
  // record is written by one call, so that a process ended meanwhile leaves whole records.
  if (!pending_marker_.IsOpen() || !pending_marker_.Write(text, &code)) {
    *reason = "cannot write to the quarantine " + folder_ + ": " + platform::ErrorText(code);
    return false;
  }
  return true;
}

void Quarantine::ClearPending() { pending_marker_.Discard(); }

void Quarantine::Forget(const std::string& id) {
  auto it = sizes_.find(id);
  if (it == sizes_.end()) return;
  total_bytes_ -= it->second;
  sizes_.erase(it);
}

bool Quarantine::MakeRoom(int64_t needed, std::string* reason) {
  if (needed > settings_.max_bytes) {
    *reason = "larger than the quarantine's limit of " + MiB(settings_.max_bytes);
    return false;
  }
  const int64_t cutoff = Now() - settings_.max_days * kSecondsPerDay;
  // Entries staged and not yet published are never removed: their files wait to be deleted.
  needed += staged_bytes_;
  if (needed > settings_.max_bytes) {
    *reason = "no room in the quarantine beside the files being deleted";
    return false;
  }
  while (!sizes_.empty()) {
    const std::string oldest = sizes_.begin()->first;
    const int64_t kept = TimeOfId(oldest);
    if (total_bytes_ + needed <= settings_.max_bytes && kept >= cutoff) break;
    platform::ErrorCode code = 0;
    if (!platform::RemoveFileIfPresent(EntryPath(oldest), &code)) {
      *reason = "no room in the quarantine: " + platform::ErrorText(code);
      return false;
    }
    Forget(oldest);
  }
  return true;
}

bool Quarantine::Stage(platform::AsideFile& file, const std::string& original_path,
                       std::string_view check, const std::string& id, std::string* reason,
                       const ExaminedContent& examined) {
  if (!open_) {
    *reason = open_error_;
    return false;
  }
  Step("open");
  const platform::FileDetails& details = file.Details();
  if (details.stamp.size > settings_.max_bytes) {
    *reason = "larger than the quarantine's limit of " + MiB(settings_.max_bytes);
    return false;
  }
  // The whole file is read first: the record in front of the bytes holds their hashes.
  buffer_.clear();
  platform::ErrorCode code = 0;
  for (;;) {
    const size_t at = buffer_.size();
    buffer_.resize(at + kPieceBytes);
    const int64_t n = file.Read(buffer_.data() + at, kPieceBytes, &code);
    if (n < 0) {
      *reason = "cannot be read to keep a copy: " + platform::ErrorText(code);
      return false;
    }
    buffer_.resize(at + static_cast<size_t>(n));
    if (n == 0) break;
    if (static_cast<int64_t>(buffer_.size()) > settings_.max_bytes) {
      *reason = "larger than the quarantine's limit of " + MiB(settings_.max_bytes);
      return false;
    }
  }
  QuarantineRecord record;
  record.id = id;
  record.original_path = original_path;
  record.size = static_cast<int64_t>(buffer_.size());
  record.mode = details.mode;
  record.owner = details.owner;
  record.group = details.group;
  record.modified_ns = details.stamp.modified_ns;
  // A comparison runs at memory speed, several times faster than MD5.
  if (!examined.md5_text.empty() && std::string_view(buffer_) == examined.bytes) {
    record.md5 = examined.md5_text;
  } else {
    sigdb::TMD5 md5;
    md5.Update(buffer_.data(), buffer_.size());
    record.md5 = md5.DigestText();
  }
  record.sha256 = sigdb::Sha256Hex(buffer_);
  record.checks.emplace_back(check);
  record.kept_at = Now();
  const std::string header = std::string(kMagic) + RecordText(record) + "\n";
  const int64_t stored = static_cast<int64_t>(header.size() + buffer_.size());
  if (!MakeRoom(stored, reason)) return false;

  platform::NewFile entry = platform::NewFile::Create(TemporaryPath(id), &code);
  if (!entry.IsOpen()) {
    *reason = "cannot write to the quarantine " + folder_ + ": " + platform::ErrorText(code);
    return false;
  }
  Scramble(buffer_, 0);
  bool written = entry.Write(header, &code);
  for (size_t at = 0; written && at < buffer_.size(); at += kPieceBytes) {
    written = entry.Write(std::string_view(buffer_).substr(at, kPieceBytes), &code);
    Step("write");
  }
  if (!written) {
    *reason = "cannot write to the quarantine " + folder_ + ": " + platform::ErrorText(code);
    return false;  // entry's destructor removes the temporary
  }
  if (!entry.Close(&code)) {
    *reason = "cannot write to the quarantine " + folder_ + ": " + platform::ErrorText(code);
    return false;
  }
  staged_[id] = stored;
  staged_bytes_ += stored;
  Step("staged");
  return true;
}

bool Quarantine::Flush(std::string* reason) {
  Step("flush");
  if (flush_hook_) {
    if (!flush_hook_(reason)) return false;
  } else if (platform::ErrorCode code = 0; !flush_.Flush(&code)) {
    *reason = "cannot write to the quarantine " + folder_ + ": " + platform::ErrorText(code);
    return false;
  }
  Step("flushed");
  return true;
}

bool Quarantine::Publish(const std::string& id, std::string* reason) {
  const auto staged = staged_.find(id);
  if (staged == staged_.end()) {
    *reason = "no staged quarantine entry " + id;
    return false;
  }
  Step("commit");
  platform::ErrorCode code = 0;
  if (!platform::RenameNoReplace(TemporaryPath(id), EntryPath(id), &code)) {
    *reason = "cannot write to the quarantine " + folder_ + ": " + platform::ErrorText(code);
    return false;
  }
  sizes_[id] = staged->second;
  total_bytes_ += staged->second;
  staged_bytes_ -= staged->second;
  staged_.erase(staged);
  Step("committed");
  return true;
}

void Quarantine::Unstage(const std::string& id) {
  const auto staged = staged_.find(id);
  if (staged == staged_.end()) {
    std::string ignored;
    Remove(id, &ignored);
    return;
  }
  platform::RemoveFileIfPresent(TemporaryPath(id), nullptr);
  staged_bytes_ -= staged->second;
  staged_.erase(staged);
}

bool Quarantine::RoomBesideStaged(int64_t size) const {
  return staged_.empty() ||
         staged_bytes_ + size + static_cast<int64_t>(kMaxHeaderBytes) <= settings_.max_bytes;
}

bool Quarantine::List(std::vector<QuarantineRecord>* records, std::string* error) const {
  records->clear();
  std::vector<std::string> names;
  platform::ErrorCode code = 0;
  if (!platform::ListFiles(folder_, &names, &code)) {
    *error = "the quarantine " + folder_ + " cannot be read: " + platform::ErrorText(code);
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (!IsEntryName(name)) continue;
    QuarantineRecord record;
    size_t offset = 0;
    std::string ignored;
    if (!ReadHeader(platform::JoinPath(folder_, name), &record, &offset, nullptr, &ignored))
      continue;
    record.id = name.substr(0, name.size() - kEntrySuffix.size());
    records->push_back(std::move(record));
  }
  return true;
}

bool Quarantine::Find(const std::string& id, QuarantineRecord* record, std::string* error) const {
  if (!IsValidId(id) || !platform::PathExists(EntryPath(id))) {
    *error = ExpectedIdError(id);
    return false;
  }
  size_t offset = 0;
  std::string why;
  if (!ReadHeader(EntryPath(id), record, &offset, nullptr, &why)) {
    *error = "quarantine entry " + id + ": " + why;
    return false;
  }
  record->id = id;
  return true;
}

bool Quarantine::ReadOriginal(const std::string& id, std::string* bytes, QuarantineRecord* record,
                              std::string* error) const {
  if (!IsValidId(id) || !platform::PathExists(EntryPath(id))) {
    *error = ExpectedIdError(id);
    return false;
  }
  std::string why;
  if (!VerifyEntryFile(EntryPath(id), bytes, record, &why)) {
    *error = "quarantine entry " + id + why;
    return false;
  }
  record->id = id;
  return true;
}

bool Quarantine::Restore(const std::string& id, const std::string& to, std::string* restored_path,
                         std::string* error) {
  std::string bytes;
  QuarantineRecord record;
  if (!ReadOriginal(id, &bytes, &record, error)) return false;
  std::string target = to.empty() ? record.original_path : to;
  if (!to.empty() && platform::IsDirectory(to))
    target = platform::JoinPath(to, BaseOf(record.original_path));
  const std::string folder = FolderOf(target);
  if (!platform::IsDirectory(folder)) {
    *error = "the folder " + folder + " does not exist; nothing restored";
    return false;
  }
  const std::string exists = target + " exists; it is not replaced (restore with --to PATH)";
  if (platform::PathExists(target)) {
    *error = exists;
    return false;
  }
  platform::ErrorCode code = 0;
  platform::NewFile file = platform::NewFile::Create(
      platform::JoinPath(folder,
                         ".nerlo-restore-" + std::to_string(platform::ProcessId()) + "-" + id),
      &code);
  const auto fail = [&](const std::string& what) {
    *error = "cannot restore to " + target + ": " + what + platform::ErrorText(code);
    return false;
  };
  if (!file.IsOpen()) return fail("");
  if (!file.Write(bytes, &code)) return fail("");
  // The owner first: changing it clears the set-id bits that the mode then sets.
  if (platform::IsPrivileged() && !file.SetOwner(record.owner, record.group, &code))
    return fail("cannot give it its owner back: ");
  if (!file.SetMode(record.mode, &code)) return fail("");
  if (!file.SetModified(record.modified_ns, &code)) return fail("");
  if (!file.Sync(&code)) return fail("");
  if (!file.Commit(target, &code)) {
    if (code == EEXIST) {
      *error = exists;
      return false;
    }
    return fail("");
  }
  *restored_path = target;
  std::string ignored;
  Remove(id, &ignored);
  return true;
}

bool Quarantine::Export(const std::string& id, const std::string& path, std::string* error) const {
  std::string bytes;
  QuarantineRecord record;
  if (!ReadOriginal(id, &bytes, &record, error)) return false;
  platform::ErrorCode code = 0;
  if (platform::PathExists(path)) {
    *error = path + " exists; it is not replaced";
    return false;
  }
  const std::string temporary =
      platform::JoinPath(FolderOf(path), ".nerlo-export-" + std::to_string(platform::ProcessId()));
  platform::NewFile file = platform::NewFile::Create(temporary, &code);
  if (!file.IsOpen() || !file.Write(bytes, &code) || !file.Sync(&code) ||
      !file.Commit(path, &code)) {
    *error = "cannot write " + path + ": " + platform::ErrorText(code);
    return false;
  }
  return true;
}

bool Quarantine::Remove(const std::string& id, std::string* error) {
  if (!IsValidId(id) || !platform::PathExists(EntryPath(id))) {
    *error = ExpectedIdError(id);
    return false;
  }
  platform::ErrorCode code = 0;
  if (!platform::RemoveFileIfPresent(EntryPath(id), &code)) {
    *error = "cannot remove quarantine entry " + id + ": " + platform::ErrorText(code);
    return false;
  }
  Forget(id);
  return true;
}

bool Quarantine::Purge(int64_t older_than_days, int* removed, std::string* error) {
  *removed = 0;
  std::vector<QuarantineRecord> records;
  if (!List(&records, error)) return false;
  const int64_t cutoff = Now() - older_than_days * kSecondsPerDay;
  for (const QuarantineRecord& record : records) {
    if (older_than_days >= 0 && record.kept_at >= cutoff) continue;
    if (!Remove(record.id, error)) return false;
    ++*removed;
  }
  return true;
}

}  // namespace nerlo::scan
