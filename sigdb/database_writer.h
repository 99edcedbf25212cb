// Writing the signature databases: the logic behind nerlo-sigtool.
//
// database.db and tdb.ldb hold encoded lookup keys, one entry per line, each followed by CR LF;
// heuristics.db holds, as its first line, the encoded heuristic strings joined by CR LF. The
// functions here build and check those bytes; they write nothing themselves except through
// WriteDatabase. Every function may be called from any thread; none keeps state.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace nerlo::sigdb {

inline constexpr std::string_view kHashDatabaseName = "database.db";
inline constexpr std::string_view kWindowDatabaseName = "tdb.ldb";
inline constexpr std::string_view kHeuristicsDatabaseName = "heuristics.db";

// bytes as printable text: bytes 32 to 126 stand for themselves, except the backslash, which
// becomes "\\"; every other byte becomes "\xHH" with upper-case digits. ParseEscapes undoes it.
std::string EscapeBytes(std::string_view bytes);

// The bytes that text stands for: "\xHH" (two hex digits of either case) is one byte, "\\" a
// backslash, every other byte itself. Returns false, with *error saying what is wrong, for any
// other backslash sequence (a backslash at the end included).
bool ParseEscapes(std::string_view text, std::string* bytes, std::string* error);

// Why s cannot be a heuristic string, or empty when it can: it is empty, holds a zero byte or
// a CR LF pair, is longer than the scanner reads of one string, or its encoded form holds a
// zero, CR or LF byte (any of which would end or split the first line of heuristics.db).
std::string HeuristicStringProblem(std::string_view s);

// Parses a heuristic list: one string per line, lines ending in LF or CR LF (the last line end
// is optional), written with the escapes of ParseEscapes. Returns false, with *error naming the
// line number and the offending text, when a line has a bad escape or gives a string that
// HeuristicStringProblem refuses, or when the list holds no line at all.
bool ParseHeuristicList(std::string_view list, std::vector<std::string>* strings,
                        std::string* error);

// The contents of heuristics.db for strings: Encode(S1 CR LF S2 ... CR LF Sk), then CR LF.
// Returns false, with *error naming the string (1-based) and why, when strings is empty or one
// of them is refused by HeuristicStringProblem; *contents is then unchanged.
bool BuildHeuristicsDatabase(const std::vector<std::string>& strings, std::string* contents,
                             std::string* error);

// The non-empty pieces of a database between raw CR LF pairs, still encoded.
std::vector<std::string> SplitEntries(std::string_view contents);

// existing followed by the encoded form of each entry and CR LF; a CR LF is put first when
// existing is not empty and does not end in one. An entry whose encoded form already stands as
// a whole line of existing, or was added earlier in the same call, is not added again (a hash
// entry written twice would count one file as two detections). added, when given, receives
// for each entry whether it was added.
std::string AppendEntries(std::string_view existing, const std::vector<std::string>& entries,
                          std::vector<bool>* added = nullptr);

// Reads the whole file at path (links followed) into *contents. Returns false, with *error
// set, when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string* contents, platform::ErrorCode* error);

// The decoded entries of a database.db or tdb.ldb file's contents, in file order.
std::vector<std::string> DecodeEntries(std::string_view contents);

// The heuristic strings that the scanner loads from the heuristics.db at path. Raises as
// ReadHeuristicsLine0 does.
std::vector<std::string> ReadHeuristicStrings(const std::string& path);

}  // namespace nerlo::sigdb
