// Database entries made from plain file contents, and the three databases written from them,
// as the unit, scan-run and desktop tests plant detections. No test framework is needed.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "scan/hex_editor.h"
#include "sigdb/cipher.h"
#include "sigdb/md5.h"

namespace nerlo::testing {

// text enciphered as the databases store it.
inline std::string Encode(std::string_view text) {
  return sigdb::TCaesarCipher().Encode(sigdb::kCipherKey, text);
}

inline std::string Md5Text(std::string_view bytes) {
  sigdb::TMD5 md5;
  md5.Update(bytes.data(), bytes.size());
  return md5.DigestText();
}

// Two upper-case hex digits a byte.
inline std::string HexText(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// The hash database's entry for a file of content.
inline std::string HashEntry(std::string_view content) { return Encode(Md5Text(content)); }

// Window n (1 to 8) of content as the window database stores it.
inline std::string WindowEntry(const std::string& content, int n) {
  const scan::ByteWindow& w = scan::kByteWindows[static_cast<size_t>(n - 1)];
  return Encode(HexText(std::string_view(content).substr(static_cast<size_t>(w.first),
                                                         static_cast<size_t>(w.last - w.first + 1))));
}

// Writes database.db, tdb.ldb and heuristics.db into dir (made when missing) from plain
// entries: hash keys and window signatures already encoded, heuristic strings as they are
// matched. False when a file cannot be written.
inline bool WriteDatabases(const std::string& dir, const std::vector<std::string>& hash_entries,
                           const std::vector<std::string>& window_entries,
                           const std::vector<std::string>& heuristics) {
  std::string db, tdb, joined;
  for (const auto& e : hash_entries) db += e + "\r\n";
  for (const auto& e : window_entries) tdb += e + "\r\n";
  for (size_t i = 0; i < heuristics.size(); ++i) joined += (i ? "\r\n" : "") + heuristics[i];
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  bool written = true;
  for (const auto& [name, text] : {std::pair<const char*, std::string>{"database.db", db},
                                   {"tdb.ldb", tdb},
                                   {"heuristics.db", Encode(joined) + "\r\n"}}) {
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    written = written && out.good();
  }
  return written;
}

}  // namespace nerlo::testing
