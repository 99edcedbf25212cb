// Signature sets: the manifest that describes one, and which installed set a scan reads.
//
// A set is a folder holding database.db, tdb.ldb and heuristics.db (each optional, at least one)
// and the manifest nerlo-set.json, which names the set's version, its creation and expiry
// times (UTC) and each file's name, size and SHA-256. The update channel's channel.json has
// the same form, and its exact bytes become the installed set's manifest.
//
// Sets are installed whole into ROOT/sets/<version>/ and published by pointing the relative
// symbolic link ROOT/current at sets/<version>; files inside a version folder never change.
// The roots are the user's ($XDG_DATA_HOME/nerlo), the system's (/var/lib/nerlo), and last
// the program directory with its shipped databases (version 0, no manifest needed). The
// newest valid set wins.
//
// Every function may be called from any thread; none keeps state or raises an exception
// (except std::bad_alloc).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nerlo::sigdb {

inline constexpr std::string_view kManifestName = "nerlo-set.json";
inline constexpr int kManifestFormat = 1;
// A manifest (or channel.json) larger than this is refused before it is parsed.
inline constexpr size_t kMaxManifestBytes = 65536;

struct SetFile {
  std::string name;  // database.db, tdb.ldb or heuristics.db
  uint64_t size = 0;
  std::string sha256;  // 64 lower-case hex digits
  friend bool operator==(const SetFile&, const SetFile&) = default;
};

struct SetManifest {
  int format = kManifestFormat;
  uint64_t version = 0;
  std::string created, expires;  // "YYYY-MM-DDTHH:MM:SSZ"
  std::vector<SetFile> files;
  friend bool operator==(const SetManifest&, const SetManifest&) = default;
};

// True for the three database names a set may hold.
bool IsSetFileName(std::string_view name);

// Parses a manifest. Returns false, with *error saying what is wrong, when text is larger
// than kMaxManifestBytes (checked before parsing), is not JSON, or is not exactly this form:
// an object with "format" (the integer 1), "version" (an integer from 1 to 2^64 - 1),
// "created" and "expires" (times as ParseUtcTime reads them, expires not before created)
// and "files" (an array of one to three objects, each with "name" (one of the database
// names, each at most once), "size" (an integer from 0 to 2^64 - 1) and "sha256" (64
// lower-case hex digits)). Any other member, a member given twice, or a value of another
// type is malformed. *out is written only on success.
bool ParseManifest(std::string_view text, SetManifest* out, std::string* error);

// The canonical text of a manifest: one line of JSON with the members in the order above,
// then a line feed. ParseManifest(ManifestText(m)) gives back m when m is well-formed.
std::string ManifestText(const SetManifest& manifest);

// Reads "YYYY-MM-DDTHH:MM:SSZ" (UTC, whole seconds, years 0001 to 9999) into seconds since
// 1970-01-01T00:00:00Z. Returns false for any other text or an impossible date or time
// (leap seconds included).
bool ParseUtcTime(std::string_view text, int64_t* seconds);
// The text ParseUtcTime reads, for seconds within its years.
std::string FormatUtcTime(int64_t seconds);
// The current time, in seconds since 1970-01-01T00:00:00Z.
int64_t UtcNow();

// The set a scan reads.
struct ResolvedSet {
  std::string folder;  // with its trailing '/'
  uint64_t version = 0;
  bool has_manifest = false;  // false for the program directory's shipped databases
  SetManifest manifest;       // valid when has_manifest
  // One line for each set passed over (naming its folder and why), in root order.
  std::vector<std::string> warnings;
};

// The installed roots, in order: the colon-separated folders of $NERLO_SET_ROOTS when it is
// set (empty parts skipped; tests use it so that no test reads the real home or
// /var/lib/nerlo), else $XDG_DATA_HOME/nerlo (or ~/.local/share/nerlo) and /var/lib/nerlo.
std::vector<std::string> InstalledSetRoots();

// Chooses the set to read: for each root, the set that ROOT/current names (a relative link
// "sets/<version>", no leading zeros), when its manifest is readable and well-formed, names
// that same version, and every file it lists is there with the listed size; the highest
// version wins, an earlier root on a tie; the program directory (version 0) when no installed
// set qualifies. The folder returned is ROOT/sets/<version>/, not the link, so a scan that
// keeps reading it is not moved by a later switch of current. A root without current is
// skipped silently; any other set is passed over with one warning naming it. Hashes are not
// checked here (that is VerifySetFolder's work), so the choice costs a few file-system calls.
ResolvedSet ResolveSignatureSet(const std::vector<std::string>& roots,
                                const std::string& program_directory);

// The set in a folder named by the user (a scanner's --db-dir): that folder (a trailing '/'
// added), version 0 without a manifest; when the folder holds a well-formed nerlo-set.json,
// its version and manifest (the files are not checked). A manifest that is there but cannot
// be read or is malformed gives one warning; the folder is still the one returned.
ResolvedSet SetOfFolder(const std::string& folder);

// Checks every file the manifest lists in folder: present and of the listed size and, when
// check_hashes, with the listed SHA-256. Appends one line per fault to *problems (naming the
// file and what differs) and returns true when there is none.
bool CheckSetFiles(const std::string& folder, const SetManifest& manifest, bool check_hashes,
                   std::vector<std::string>* problems);

// Reads and parses folder's nerlo-set.json. Returns false, with *error saying why (naming the
// file), when it is missing, unreadable, oversized or malformed.
bool ReadManifestFile(const std::string& path, SetManifest* out, std::string* error);

// When the set has a manifest and its expiry time lies at or before now: a warning that says
// so, with the set's version, its expiry date and its age (from its creation). Empty otherwise.
std::string ExpiryWarning(const ResolvedSet& set, int64_t now);

// The age from created to now in words: "3 days", "1 day", "5 hours", "less than an hour".
std::string AgeText(int64_t seconds);

// Entries in a set folder's databases, as the scan counts them; -1 for a database that is
// missing or cannot be read.
struct SignatureCounts {
  int64_t hashes = -1;      // database.db
  int64_t windows = -1;     // tdb.ldb
  int64_t heuristics = -1;  // heuristics.db
};
SignatureCounts CountSignatures(const std::string& folder);

}  // namespace nerlo::sigdb
