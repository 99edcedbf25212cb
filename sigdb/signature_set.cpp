#include "sigdb/signature_set.h"

#include <chrono>
#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <system_error>

#include "platform/exceptions.h"
#include "platform/fs_query.h"
#include "platform/platform.h"
#include "sigdb/crypto.h"
#include "sigdb/database_writer.h"

namespace nerlo::sigdb {
namespace {

using nlohmann::json;

constexpr std::string_view kSetFileNames[] = {"database.db", "tdb.ldb", "heuristics.db"};

bool IsLowerHex(std::string_view text) {
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (H. Hinnant's
// days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeapYear(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Reads digits text[from, from + count) as a number; false when one is not a digit.
bool Digits(std::string_view text, size_t from, size_t count, unsigned* value) {
  unsigned v = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + static_cast<unsigned>(text[i] - '0');
  }
  *value = v;
  return true;
}

// An unsigned integer member: JSON integers only (no fraction, exponent or sign).
bool UnsignedMember(const json& value, uint64_t* out) {
  if (!value.is_number_unsigned()) {
    // nlohmann reads 0 and other non-negative integers as unsigned; an integer type here is
    // a negative number, and a float a fraction, an exponent or a number beyond 2^64 - 1.
    return false;
  }
  *out = value.get<uint64_t>();
  return true;
}

bool ParseFiles(const json& files, std::vector<SetFile>* out, std::string* error) {
  if (!files.is_array()) {
    *error = "\"files\" must be an array";
    return false;
  }
  if (files.empty()) {
    *error = "\"files\" lists no file";
    return false;
  }
  std::set<std::string> seen;
  for (size_t i = 0; i < files.size(); ++i) {
    const json& entry = files[i];
    const std::string where = "file " + std::to_string(i + 1);
    if (!entry.is_object()) {
      *error = where + " must be an object";
      return false;
    }
    SetFile file;
    bool has_name = false, has_size = false, has_hash = false;
    for (const auto& [key, value] : entry.items()) {
      if (key == "name") {
        if (!value.is_string() || !IsSetFileName(value.get_ref<const std::string&>())) {
          *error = where + ": \"name\" must be database.db, tdb.ldb or heuristics.db";
          return false;
        }
        file.name = value.get<std::string>();
        has_name = true;
      } else if (key == "size") {
        if (!UnsignedMember(value, &file.size)) {
          *error = where + ": \"size\" must be an integer from 0 to 18446744073709551615";
          return false;
        }
        has_size = true;
      } else if (key == "sha256") {
        if (!value.is_string() || value.get_ref<const std::string&>().size() != 64 ||
            !IsLowerHex(value.get_ref<const std::string&>())) {
          *error = where + ": \"sha256\" must be 64 lower-case hex digits";
          return false;
        }
        file.sha256 = value.get<std::string>();
        has_hash = true;
      } else {
        *error = where + ": unknown member \"" + key + "\"";
        return false;
      }
    }
    if (!has_name || !has_size || !has_hash) {
      *error = where + ": missing \"" +
               std::string(!has_name   ? "name"
                           : !has_size ? "size"
                                       : "sha256") +
               "\"";
      return false;
    }
    if (!seen.insert(file.name).second) {
      *error = "\"" + file.name + "\" is listed twice";
      return false;
    }
    out->push_back(std::move(file));
  }
  return true;
}

}  // namespace

bool IsSetFileName(std::string_view name) {
  for (std::string_view known : kSetFileNames)
    if (name == known) return true;
  return false;
}

bool ParseUtcTime(std::string_view text, int64_t* seconds) {
  // YYYY-MM-DDTHH:MM:SSZ
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return false;
  unsigned year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, &year) || !Digits(text, 5, 2, &month) || !Digits(text, 8, 2, &day) ||
      !Digits(text, 11, 2, &hour) || !Digits(text, 14, 2, &minute) || !Digits(text, 17, 2, &second))
    return false;
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
      hour > 23 || minute > 59 || second > 59)
    return false;
  *seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string FormatUtcTime(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year;
  unsigned month, day;
  CivilFromDays(days, &year, &month, &day);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), month, day, static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

int64_t UtcNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool ParseManifest(std::string_view text, SetManifest* out, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (text.size() > kMaxManifestBytes) {
    *error = "larger than " + std::to_string(kMaxManifestBytes) + " bytes";
    return false;
  }
  // A member given twice would let two readers of the same signed bytes see different sets;
  // the parser would silently keep the last, so the keys of every object are tracked here.
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  const json::parser_callback_t track = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) {
      keys.emplace_back();
    } else if (event == json::parse_event_t::object_end) {
      if (!keys.empty()) keys.pop_back();
    } else if (event == json::parse_event_t::key && !keys.empty()) {
      if (!keys.back().insert(parsed.get<std::string>()).second && duplicate.empty())
        duplicate = parsed.get<std::string>();
    }
    return true;
  };
  json root;
  try {
    root = json::parse(text.begin(), text.end(), track);
  } catch (const json::exception& e) {
    *error = std::string("not valid JSON: ") + e.what();
    return false;
  }
  if (!duplicate.empty()) {
    *error = "member \"" + duplicate + "\" given twice";
    return false;
  }
  if (!root.is_object()) {
    *error = "not a JSON object";
    return false;
  }

  SetManifest manifest;
  bool has_format = false, has_version = false, has_created = false, has_expires = false,
       has_files = false;
  int64_t created = 0, expires = 0;
  for (const auto& [key, value] : root.items()) {
    if (key == "format") {
      uint64_t format = 0;
      if (!UnsignedMember(value, &format) || format != kManifestFormat) {
        *error = "\"format\" must be " + std::to_string(kManifestFormat);
        return false;
      }
      has_format = true;
    } else if (key == "version") {
      if (!UnsignedMember(value, &manifest.version) || manifest.version == 0) {
        *error = "\"version\" must be an integer from 1 to 18446744073709551615";
        return false;
      }
      has_version = true;
    } else if (key == "created" || key == "expires") {
      int64_t* seconds = key == "created" ? &created : &expires;
      if (!value.is_string() || !ParseUtcTime(value.get_ref<const std::string&>(), seconds)) {
        *error = "\"" + key + "\" must be a UTC time such as 2026-12-08T13:00:00Z";
        return false;
      }
      (key == "created" ? manifest.created : manifest.expires) = value.get<std::string>();
      (key == "created" ? has_created : has_expires) = true;
    } else if (key == "files") {
      if (!ParseFiles(value, &manifest.files, error)) return false;
      has_files = true;
    } else {
      *error = "unknown member \"" + key + "\"";
      return false;
    }
  }
  const char* missing = !has_format    ? "format"
                        : !has_version ? "version"
                        : !has_created ? "created"
                        : !has_expires ? "expires"
                        : !has_files   ? "files"
                                       : nullptr;
  if (missing != nullptr) {
    *error = "missing \"" + std::string(missing) + "\"";
    return false;
  }
  if (expires < created) {
    *error = "\"expires\" lies before \"created\"";
    return false;
  }
  *out = std::move(manifest);
  return true;
}

std::string ManifestText(const SetManifest& manifest) {
  std::string text = "{\"format\":" + std::to_string(manifest.format) +
                     ",\"version\":" + std::to_string(manifest.version) +
                     ",\"created\":" + json(manifest.created).dump() +
                     ",\"expires\":" + json(manifest.expires).dump() + ",\"files\":[";
  for (size_t i = 0; i < manifest.files.size(); ++i) {
    const SetFile& file = manifest.files[i];
    if (i > 0) text += ',';
    text += "{\"name\":" + json(file.name).dump() + ",\"size\":" + std::to_string(file.size) +
            ",\"sha256\":" + json(file.sha256).dump() + "}";
  }
  text += "]}\n";
  return text;
}

bool ReadManifestFile(const std::string& path, SetManifest* out, std::string* error) {
  std::string text;
  platform::ErrorCode code = 0;
  if (!platform::ReadFileHead(path, kMaxManifestBytes, &text, &code)) {
    *error = "\"" + path + "\": cannot be read: " + platform::ErrorText(code);
    return false;
  }
  std::string why;
  if (!ParseManifest(text, out, &why)) {
    *error = "\"" + path + "\": malformed: " + why;
    return false;
  }
  return true;
}

bool CheckSetFiles(const std::string& folder, const SetManifest& manifest, bool check_hashes,
                   std::vector<std::string>* problems) {
  bool ok = true;
  for (const SetFile& file : manifest.files) {
    const std::string path = platform::JoinPath(folder, file.name);
    platform::FileStamp stamp;
    platform::ErrorCode code = 0;
    if (!platform::StatPath(path, &stamp, &code)) {
      problems->push_back("\"" + path + "\": missing: " + platform::ErrorText(code));
      ok = false;
      continue;
    }
    if (static_cast<uint64_t>(stamp.size) != file.size) {
      problems->push_back("\"" + path + "\": " + std::to_string(stamp.size) +
                          " bytes, the manifest says " + std::to_string(file.size));
      ok = false;
      continue;
    }
    if (!check_hashes) continue;
    std::string hex, why;
    uint64_t size = 0;
    if (!Sha256File(path, &hex, &size, &why)) {
      problems->push_back(why);
      ok = false;
    } else if (hex != file.sha256 || size != file.size) {
      problems->push_back("\"" + path + "\": SHA-256 " + hex + ", the manifest says " +
                          file.sha256);
      ok = false;
    }
  }
  return ok;
}

std::vector<std::string> InstalledSetRoots() {
  std::vector<std::string> roots;
  std::string list;
  if (platform::EnvironmentValue("NERLO_SET_ROOTS", &list)) {
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      if (end > start) roots.push_back(list.substr(start, end - start));
      start = end + 1;
    }
    return roots;
  }
  const std::string data = platform::UserDataDirectory();
  if (!data.empty()) roots.push_back(platform::JoinPath(data, "nerlo"));
  roots.push_back("/var/lib/nerlo");
  return roots;
}

namespace {

// The version a link target "sets/<version>" (optionally with a trailing '/') names; false
// for any other target.
bool VersionOfLinkTarget(std::string_view target, uint64_t* version) {
  if (!target.starts_with("sets/")) return false;
  target.remove_prefix(5);
  if (target.ends_with('/')) target.remove_suffix(1);
  if (target.empty() || target.size() > 20 || (target[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : target) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *version = v;
  return true;
}

// The set that root's current names, or false (with *warning set unless the root simply
// holds no set).
bool InstalledSet(const std::string& root, ResolvedSet* set, std::string* warning) {
  const std::string link = platform::JoinPath(root, "current");
  std::string target;
  platform::ErrorCode code = 0;
  if (!platform::ReadSymbolicLink(link, &target, &code)) {
    if (code == static_cast<int>(std::errc::no_such_file_or_directory)) return false;
    *warning =
        "signature set \"" + link + "\" passed over: " +
        (code == static_cast<int>(std::errc::invalid_argument) ? std::string("not a symbolic link")
                                                               : platform::ErrorText(code));
    return false;
  }
  uint64_t version = 0;
  if (!VersionOfLinkTarget(target, &version)) {
    *warning = "signature set \"" + link + "\" passed over: it points to \"" + target +
               "\", not to sets/<version>";
    return false;
  }
  std::string folder = platform::JoinPath(root, "sets/" + std::to_string(version));
  folder += '/';
  auto pass_over = [&](const std::string& why) {
    *warning = "signature set \"" + folder + "\" passed over: " + why;
    return false;
  };
  SetManifest manifest;
  std::string why;
  if (!ReadManifestFile(folder + std::string(kManifestName), &manifest, &why))
    return pass_over(why);
  if (manifest.version != version)
    return pass_over("its manifest names version " + std::to_string(manifest.version));
  std::vector<std::string> problems;
  if (!CheckSetFiles(folder, manifest, false, &problems)) return pass_over(problems.front());
  set->folder = folder;
  set->version = version;
  set->has_manifest = true;
  set->manifest = std::move(manifest);
  return true;
}

}  // namespace

ResolvedSet ResolveSignatureSet(const std::vector<std::string>& roots,
                                const std::string& program_directory) {
  ResolvedSet best;
  best.folder = program_directory;
  if (!best.folder.empty() && best.folder.back() != '/') best.folder += '/';
  std::vector<std::string> warnings;
  for (const std::string& root : roots) {
    ResolvedSet candidate;
    std::string warning;
    if (InstalledSet(root, &candidate, &warning)) {
      if (!best.has_manifest || candidate.version > best.version) best = std::move(candidate);
    } else if (!warning.empty()) {
      warnings.push_back(std::move(warning));
    }
  }
  best.warnings = std::move(warnings);
  return best;
}

ResolvedSet SetOfFolder(const std::string& folder) {
  ResolvedSet set;
  set.folder = folder;
  if (!set.folder.empty() && set.folder.back() != '/') set.folder += '/';
  const std::string path = set.folder + std::string(kManifestName);
  platform::FileStamp stamp;
  if (!platform::StatPath(path, &stamp)) return set;
  std::string why;
  if (!ReadManifestFile(path, &set.manifest, &why)) {
    set.manifest = SetManifest();
    set.warnings.push_back(why + "; the databases beside it are read all the same");
    return set;
  }
  set.has_manifest = true;
  set.version = set.manifest.version;
  return set;
}

std::string AgeText(int64_t seconds) {
  if (seconds < 3600) return "less than an hour";
  if (seconds < 86400) {
    const int64_t hours = seconds / 3600;
    return std::to_string(hours) + (hours == 1 ? " hour" : " hours");
  }
  const int64_t days = seconds / 86400;
  return std::to_string(days) + (days == 1 ? " day" : " days");
}

std::string ExpiryWarning(const ResolvedSet& set, int64_t now) {
  if (!set.has_manifest) return std::string();
  int64_t created = 0, expires = 0;
  if (!ParseUtcTime(set.manifest.created, &created) ||
      !ParseUtcTime(set.manifest.expires, &expires) || now < expires)
    return std::string();
  return "warning: the signature set (version " + std::to_string(set.version) + ") expired on " +
         set.manifest.expires + " and is " + AgeText(now - created) + " old (created " +
         set.manifest.created + "); it may miss current threats: run kestry to update it";
}

SignatureCounts CountSignatures(const std::string& folder) {
  SignatureCounts counts;
  std::string contents;
  platform::ErrorCode code = 0;
  if (ReadWholeFile(platform::JoinPath(folder, kHashDatabaseName), &contents, &code))
    counts.hashes = static_cast<int64_t>(SplitEntries(contents).size());
  if (ReadWholeFile(platform::JoinPath(folder, kWindowDatabaseName), &contents, &code))
    counts.windows = static_cast<int64_t>(SplitEntries(contents).size());
  try {
    counts.heuristics = static_cast<int64_t>(
        ReadHeuristicStrings(platform::JoinPath(folder, kHeuristicsDatabaseName)).size());
  } catch (const Exception&) {
  }
  return counts;
}

}  // namespace nerlo::sigdb
