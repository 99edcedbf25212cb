#include "sigdb/hash_import.h"

#include <array>
#include <limits>

namespace nerlo::sigdb {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool IsDecimal(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// The decimal value of text, saturated at the largest value.
uint64_t DecimalValue(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
      return std::numeric_limits<uint64_t>::max();
    value = value * 10 + digit;
  }
  return value;
}

// A short, printable excerpt of a malformed line for its report.
std::string Excerpt(std::string_view line) {
  constexpr size_t kMax = 60;
  std::string out;
  for (size_t i = 0; i < line.size() && i < kMax; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7F || c >= 0x80) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (line.size() > kMax) out += "...";
  return out;
}

}  // namespace

void HashListImporter::Add(std::string_view file_name, std::string_view text) {
  int64_t number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (line.ends_with('\r')) line.remove_suffix(1);
    Line(file_name, ++number, line);
    start = next;
  }
}

void HashListImporter::Malformed(std::string_view file_name, int64_t number, std::string reason) {
  ++counts_.malformed;
  if (malformed_.size() < kMalformedLinesKept)
    malformed_.push_back({std::string(file_name), number, std::move(reason)});
}

void HashListImporter::Line(std::string_view file_name, int64_t number, std::string_view raw) {
  ++counts_.lines;
  const std::string_view line = Trimmed(raw);
  if (line.empty() || line.front() == '#') return;

  std::string_view hash = line;
  bool has_size = false;
  uint64_t size = 0;
  if (const size_t colon = line.find(':'); colon != std::string_view::npos) {
    // HASH:SIZE:NAME[:MIN[:MAX]]
    std::array<std::string_view, 5> fields;
    size_t count = 0;
    size_t from = 0;
    for (;;) {
      const size_t at = line.find(':', from);
      const std::string_view field =
          line.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from);
      if (count < fields.size()) fields[count] = field;
      ++count;
      if (at == std::string_view::npos) break;
      from = at + 1;
    }
    if (count < 3 || count > fields.size())
      return Malformed(file_name, number,
                       "expected HASH:SIZE:NAME, found " + std::to_string(count) + " fields: \"" +
                           Excerpt(line) + "\"");
    hash = fields[0];
    if (fields[1] != "*") {
      if (!IsDecimal(fields[1]))
        return Malformed(file_name, number,
                         "the size is neither a number nor \"*\": \"" + Excerpt(line) + "\"");
      has_size = true;
      size = DecimalValue(fields[1]);
    }
    if (fields[2].empty())
      return Malformed(file_name, number, "no signature name: \"" + Excerpt(line) + "\"");
    for (size_t i = 3; i < count; ++i) {
      if (!IsDecimal(fields[i]))
        return Malformed(file_name, number,
                         "an engine level that is not a number: \"" + Excerpt(line) + "\"");
    }
  }

  if (!IsHex(hash) || (hash.size() != 32 && hash.size() != 40 && hash.size() != 64))
    return Malformed(
        file_name, number,
        "not an MD5, SHA-1 or SHA-256 hash (32, 40 or 64 hex digits): \"" + Excerpt(line) + "\"");
  if (hash.size() == 40) {
    ++counts_.sha1;
    return;
  }
  if (hash.size() == 64) {
    ++counts_.sha256;
    return;
  }
  if (has_size && size >= size_limit_) {
    ++counts_.too_large;
    return;
  }
  ++counts_.md5;
  std::string upper(hash);
  for (char& c : upper)
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  md5_.push_back(std::move(upper));
}

}  // namespace nerlo::sigdb
