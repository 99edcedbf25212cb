#include "windows/profile.h"

#include <vector>

#include "platform/desktop.h"
#include "platform/text_to_int.h"

namespace nerlo::windows {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// One line of the text, without its line end; end is where the next line starts.
struct Line {
  size_t begin;
  size_t length;  // without the line end
  size_t end;
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      lines.push_back({pos, text.size() - pos, text.size()});
      break;
    }
    size_t length = nl - pos;
    if (length > 0 && text[nl - 1] == '\r') --length;
    lines.push_back({pos, length, nl + 1});
    pos = nl + 1;
  }
  return lines;
}

// The name of a section line ("[name]", blanks allowed around), or false.
bool SectionName(std::string_view line, std::string_view* name) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return false;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  *name = Trim(line.substr(1, close - 1));
  return true;
}

// Splits a "key=value" line; comments and lines without "=" are no keys.
bool KeyLine(std::string_view line, std::string_view* key, std::string_view* value) {
  std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') return false;
  size_t eq = trimmed.find('=');
  if (eq == std::string_view::npos) return false;
  *key = Trim(trimmed.substr(0, eq));
  *value = Trim(trimmed.substr(eq + 1));
  return true;
}

// Where key stands in section: index of the section line (or -1), of the key line (or -1),
// and of the last non-blank line of the section (the section line itself when it is empty).
struct Place {
  long section = -1;
  long key = -1;
  long last = -1;
};

Place Find(std::string_view text, const std::vector<Line>& lines, std::string_view section,
           std::string_view key) {
  Place place;
  bool inside = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = text.substr(lines[i].begin, lines[i].length);
    std::string_view name;
    if (SectionName(line, &name)) {
      if (inside) break;  // the first matching section ends here
      if (SameName(name, section)) {
        inside = true;
        place.section = static_cast<long>(i);
        place.last = static_cast<long>(i);
      }
      continue;
    }
    if (!inside) continue;
    if (!Trim(line).empty()) place.last = static_cast<long>(i);
    std::string_view k, v;
    if (place.key < 0 && KeyLine(line, &k, &v) && SameName(k, key))
      place.key = static_cast<long>(i);
  }
  return place;
}

}  // namespace

std::string ProfileGet(std::string_view contents, std::string_view section, std::string_view key,
                       bool* found) {
  const std::vector<Line> lines = SplitLines(contents);
  const Place place = Find(contents, lines, section, key);
  if (found != nullptr) *found = place.key >= 0;
  if (place.key < 0) return std::string();
  const Line& line = lines[static_cast<size_t>(place.key)];
  std::string_view k, v;
  KeyLine(contents.substr(line.begin, line.length), &k, &v);
  return std::string(v);
}

std::string ProfileSet(std::string_view contents, std::string_view section, std::string_view key,
                       std::string_view value) {
  const std::vector<Line> lines = SplitLines(contents);
  const Place place = Find(contents, lines, section, key);
  const std::string eol =
      (!lines.empty() && lines[0].end > lines[0].begin + lines[0].length + 1) ? "\r\n" : "\n";
  const std::string key_line = std::string(key) + "=" + std::string(value);
  std::string out;
  if (place.key >= 0) {
    // Keep the key's own spelling and the line's end; replace the rest of the line.
    const Line& line = lines[static_cast<size_t>(place.key)];
    std::string_view old = contents.substr(line.begin, line.length);
    std::string_view k, v;
    KeyLine(old, &k, &v);
    out.append(contents.substr(0, line.begin));
    out.append(k).append("=").append(value);
    out.append(contents.substr(line.begin + line.length));
    return out;
  }
  if (place.section >= 0) {
    const Line& last = lines[static_cast<size_t>(place.last)];
    out.append(contents.substr(0, last.end));
    if (last.end == last.begin + last.length) out.append(eol);  // the last line had no end
    out.append(key_line).append(eol);
    out.append(contents.substr(last.end));
    return out;
  }
  out.append(contents);
  if (!out.empty() && out.back() != '\n') out.append(eol);
  out.append("[").append(section).append("]").append(eol);
  out.append(key_line).append(eol);
  return out;
}

std::string ReadProfileString(const std::string& path, std::string_view section,
                              std::string_view key) {
  std::string contents;
  if (!platform::ReadTextFile(path, &contents)) return std::string();
  return ProfileGet(contents, section, key);
}

bool WriteProfileString(const std::string& path, std::string_view section, std::string_view key,
                        std::string_view value, platform::ErrorCode* error) {
  platform::ErrorCode code = 0;
  std::string contents;
  platform::FileStamp stamp;
  if (platform::StatPath(path, &stamp, &code)) {
    // An existing file that cannot be read must not be replaced by our three lines alone.
    if (!platform::ReadTextFile(path, &contents, &code)) {
      if (error != nullptr) *error = code;
      return false;
    }
  } else {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 &&
        !platform::CreateDirectories(path.substr(0, slash), &code)) {
      if (error != nullptr) *error = code;
      return false;
    }
  }
  if (!platform::WriteFileAtomically(path, ProfileSet(contents, section, key, value), &code)) {
    if (error != nullptr) *error = code;
    return false;
  }
  return true;
}

bool ReadProfileBool(const std::string& path, std::string_view section, std::string_view key,
                     bool default_value) {
  int32_t value = 0;
  if (!platform::TextToInt32(ReadProfileString(path, section, key), &value)) return default_value;
  return value != 0;
}

}  // namespace nerlo::windows
