// Reading public lists of file hashes into MD5 entries for database.db.
//
// Two line forms are read, mixed freely within one file:
//   HASH:SIZE:NAME   (as .hdb and .hsb signature files write them; up to two more fields of
//                    decimal digits, the minimum and maximum engine levels, are allowed and
//                    ignored). SIZE is a decimal byte count or "*" for any size.
//   HASH             a plain list of digests, one per line, as threat feeds publish them.
// HASH is hex of either case: 32 digits are an MD5 (kept), 40 a SHA-1 and 64 a SHA-256
// (skipped and counted: the scanner fingerprints files with MD5 only). Lines end in LF or
// CR LF, the last one maybe in neither; blank lines and lines starting with '#' (after
// leading blanks) are ignored. Any other line is malformed: it is counted, the first few are
// kept with their file and line number, and the lines after it are still read.
//
// One importer belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace nerlo::sigdb {

// How many malformed lines an importer keeps with their place and reason.
inline constexpr size_t kMalformedLinesKept = 10;

struct MalformedLine {
  std::string file;
  int64_t line = 0;  // 1-based
  std::string reason;
};

struct HashImportCounts {
  int64_t lines = 0;      // every line read, blank and comment lines included
  int64_t md5 = 0;        // MD5 entries found (duplicates included)
  int64_t sha1 = 0;       // skipped
  int64_t sha256 = 0;     // skipped
  int64_t too_large = 0;  // MD5 entries whose SIZE the scanner never examines, skipped
  int64_t malformed = 0;
};

class HashListImporter {
 public:
  // never_examined_from: an MD5 entry whose SIZE is at least this many bytes is skipped
  // (counted in too_large), since no file that large is ever fingerprinted.
  explicit HashListImporter(uint64_t never_examined_from) : size_limit_(never_examined_from) {}

  // Reads every line of text, which came from the file named file_name (for the reports).
  void Add(std::string_view file_name, std::string_view text);

  // The MD5 digests found so far, in input order, as 32 upper-case hex digits.
  const std::vector<std::string>& Md5Entries() const { return md5_; }
  const HashImportCounts& Counts() const { return counts_; }
  // The first kMalformedLinesKept malformed lines, in input order.
  const std::vector<MalformedLine>& FirstMalformed() const { return malformed_; }

 private:
  void Line(std::string_view file_name, int64_t number, std::string_view line);
  void Malformed(std::string_view file_name, int64_t number, std::string reason);

  const uint64_t size_limit_;
  std::vector<std::string> md5_;
  HashImportCounts counts_;
  std::vector<MalformedLine> malformed_;
};

}  // namespace nerlo::sigdb
