#include "platform/display_text.h"

namespace nerlo::platform {

namespace {

void AppendHex(std::string& out, unsigned char c) {
  static const char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out += kDigits[c >> 4];
  out += kDigits[c & 15];
}

// Length of the valid UTF-8 sequence at the start of s (0 when there is none). Overlong
// forms, surrogates and code points above U+10FFFF are not valid.
size_t SequenceLength(std::string_view s, char32_t* code_point) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  size_t length;
  char32_t cp;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  if ((length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  *code_point = cp;
  return length;
}

}  // namespace

std::string DisplayText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out += "\\\\";
      ++i;
      continue;
    }
    if (c == '\n' || c == '\t' || c == '\r') {
      out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
      ++i;
      continue;
    }
    char32_t cp = 0;
    const size_t length = SequenceLength(bytes.substr(i), &cp);
    // Control characters (C0, DEL and C1) would be invisible or move the text around.
    if (length == 0 || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
      const size_t n = length == 0 ? 1 : length;
      for (size_t k = 0; k < n; ++k) AppendHex(out, static_cast<unsigned char>(bytes[i + k]));
      i += n;
      continue;
    }
    out.append(bytes.substr(i, length));
    i += length;
  }
  return out;
}

}  // namespace nerlo::platform
