#include "sigdb/database_writer.h"

#include <string_view>
#include <unordered_set>
#include <vector>

#include "sigdb/cipher.h"
#include "sigdb/heuristics_db.h"

namespace nerlo::sigdb {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool EndsFirstLine(unsigned char b) { return b == 0 || b == '\r' || b == '\n'; }

std::string Encoded(std::string_view plain) { return TCaesarCipher().Encode(kCipherKey, plain); }

}  // namespace

std::string EscapeBytes(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '\\') {
      text += "\\\\";
    } else if (b >= 32 && b <= 126) {
      text.push_back(c);
    } else {
      text += "\\x";
      text.push_back(kDigits[b >> 4]);
      text.push_back(kDigits[b & 15]);
    }
  }
  return text;
}

bool ParseEscapes(std::string_view text, std::string* bytes, std::string* error) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') {
      out.push_back('\\');
      ++i;
      continue;
    }
    if (i + 3 < text.size() && text[i + 1] == 'x' && HexValue(text[i + 2]) >= 0 &&
        HexValue(text[i + 3]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 2]) * 16 + HexValue(text[i + 3])));
      i += 3;
      continue;
    }
    *error = "bad escape \"" + EscapeBytes(text.substr(i, 4)) +
             "\" (write \\xHH for a byte, \\\\ for a backslash)";
    return false;
  }
  *bytes = std::move(out);
  return true;
}

std::string HeuristicStringProblem(std::string_view s) {
  if (s.empty()) return "the string is empty";
  if (s.find('\0') != std::string_view::npos) return "the string holds a zero byte";
  if (s.find(kLineEnd) != std::string_view::npos) return "the string holds a CR LF pair";
  if (s.size() > kHeuristicReadLimit) {
    return "the string is " + std::to_string(s.size()) + " bytes long; the scanner reads at most " +
           std::to_string(kHeuristicReadLimit);
  }
  for (const char c : Encoded(s)) {
    if (EndsFirstLine(static_cast<unsigned char>(c))) {
      return "its encoded form holds a zero, CR or LF byte, which would end the first line of "
             "heuristics.db early";
    }
  }
  return std::string();
}

bool ParseHeuristicList(std::string_view list, std::vector<std::string>* strings,
                        std::string* error) {
  std::vector<std::string> parsed;
  size_t line_number = 0;
  size_t pos = 0;
  while (pos < list.size()) {
    ++line_number;
    size_t end = list.find('\n', pos);
    if (end == std::string_view::npos) end = list.size();
    std::string_view line = list.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r' && end < list.size()) line.remove_suffix(1);

    std::string bytes;
    std::string problem;
    if (!ParseEscapes(line, &bytes, &problem) ||
        !(problem = HeuristicStringProblem(bytes)).empty()) {
      *error =
          "line " + std::to_string(line_number) + " (\"" + EscapeBytes(line) + "\"): " + problem;
      return false;
    }
    parsed.push_back(std::move(bytes));
  }
  if (parsed.empty()) {
    *error = "the list holds no heuristic string";
    return false;
  }
  *strings = std::move(parsed);
  return true;
}

bool BuildHeuristicsDatabase(const std::vector<std::string>& strings, std::string* contents,
                             std::string* error) {
  if (strings.empty()) {
    *error = "there is no heuristic string to write";
    return false;
  }
  std::string joined;
  for (size_t i = 0; i < strings.size(); ++i) {
    const std::string problem = HeuristicStringProblem(strings[i]);
    if (!problem.empty()) {
      *error =
          "string " + std::to_string(i + 1) + " (\"" + EscapeBytes(strings[i]) + "\"): " + problem;
      return false;
    }
    if (i > 0) joined += kLineEnd;
    joined += strings[i];
  }
  std::string line = Encoded(joined);
  // Each string was checked on its own; the joining CR LF must survive encoding as well.
  for (const char c : line) {
    if (EndsFirstLine(static_cast<unsigned char>(c))) {
      *error = "the cipher key turns the CR LF between strings into a line end";
      return false;
    }
  }
  *contents = std::move(line);
  *contents += kLineEnd;
  return true;
}

std::vector<std::string> SplitEntries(std::string_view contents) {
  std::vector<std::string> entries;
  size_t pos = 0;
  while (pos < contents.size()) {
    size_t end = contents.find(kLineEnd, pos);
    if (end == std::string_view::npos) end = contents.size();
    if (end > pos) entries.emplace_back(contents.substr(pos, end - pos));
    pos = end + kLineEnd.size();
  }
  return entries;
}

std::string AppendEntries(std::string_view existing, const std::vector<std::string>& entries,
                          std::vector<bool>* added) {
  // Views into existing and into the encoded entries, which are reserved up front so that
  // none moves: a million-line import costs no copy of what is there already.
  std::unordered_set<std::string_view> seen;
  seen.reserve(entries.size() + existing.size() / 32);
  size_t pos = 0;
  while (pos < existing.size()) {
    size_t end = existing.find(kLineEnd, pos);
    if (end == std::string_view::npos) end = existing.size();
    if (end > pos) seen.insert(existing.substr(pos, end - pos));
    pos = end + kLineEnd.size();
  }
  std::vector<std::string> encoded;
  encoded.reserve(entries.size());
  const TCaesarCipher cipher;
  std::string contents(existing);
  if (!contents.empty() && !contents.ends_with(kLineEnd)) contents += kLineEnd;
  if (added != nullptr) {
    added->clear();
    added->reserve(entries.size());
  }
  for (const std::string& entry : entries) {
    encoded.push_back(cipher.Encode(kCipherKey, entry));
    const std::string& text = encoded.back();
    const bool fresh = !text.empty() && seen.insert(text).second;
    if (fresh) {
      contents += text;
      contents += kLineEnd;
    }
    if (added != nullptr) added->push_back(fresh);
  }
  return contents;
}

bool ReadWholeFile(const std::string& path, std::string* contents, platform::ErrorCode* error) {
  platform::File file = platform::File::Open(path, platform::LinkPolicy::kFollow, error);
  if (!file.IsOpen()) return false;
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const int64_t n = file.Read(buffer, sizeof buffer, error);
    if (n < 0) return false;
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  *contents = std::move(bytes);
  return true;
}

std::vector<std::string> DecodeEntries(std::string_view contents) {
  std::vector<std::string> entries = SplitEntries(contents);
  const TCaesarCipher cipher;
  for (std::string& entry : entries) entry = cipher.Decode(kCipherKey, entry);
  return entries;
}

std::vector<std::string> ReadHeuristicStrings(const std::string& path) {
  const std::string line = ReadHeuristicsLine0(path);
  THeuristicList list;
  list.Load(TCaesarCipher().Decode(kCipherKey, line));
  return std::vector<std::string>(list.begin(), list.end());
}

}  // namespace nerlo::sigdb
