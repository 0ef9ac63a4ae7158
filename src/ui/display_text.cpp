#include "display_text.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const std::string SEPARATOR = ": ";
const std::string ELLIPSIS = "\xE2\x80\xA6";  // U+2026
// A part this short is not worth shortening further.
const size_t SHORTEST_PART = 9;

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at; (at = text.find(SEPARATOR, start)) != std::string::npos; start = at + SEPARATOR.size())
    parts.push_back(text.substr(start, at - start));
  parts.push_back(text.substr(start));
  return parts;
}

std::string join(const std::vector<std::string>& parts) {
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? SEPARATOR : "") + parts[i];
  return text;
}

// `part` with characters gone from the middle of what it keeps (a sixteenth of it, at least
// one), never splitting a UTF-8 sequence.
std::string shortenMiddle(const std::string& part) {
  const size_t mark = part.find(ELLIPSIS);
  std::string head = part.substr(0, mark == std::string::npos ? part.size() / 2 : mark);
  std::string tail =
      mark == std::string::npos ? part.substr(part.size() / 2) : part.substr(mark + ELLIPSIS.size());
  for (size_t n = std::max<size_t>(1, part.size() / 16); n > 0; --n) {
    if (head.size() > tail.size()) {
      while (!head.empty() && isContinuationByte(head.back())) head.pop_back();
      if (!head.empty()) head.pop_back();
    } else {
      if (!tail.empty()) tail.erase(0, 1);
      while (!tail.empty() && isContinuationByte(tail.front())) tail.erase(0, 1);
    }
  }
  return head + ELLIPSIS + tail;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    }
  }
  return out;
}

std::string shortenToFit(const std::string& text,
                         const std::function<bool(const std::string&)>& fits) {
  std::vector<std::string> parts = split(text);
  std::string shown = text;
  while (!fits(shown)) {
    size_t longest = parts.size();
    for (size_t i = 0; i + 1 < parts.size(); ++i)
      if (parts[i].size() > SHORTEST_PART && (longest == parts.size() || parts[i].size() > parts[longest].size()))
        longest = i;
    if (longest == parts.size()) break;  // nothing left to shorten but the reason
    parts[longest] = shortenMiddle(parts[longest]);
    shown = join(parts);
  }
  return shown;
}

std::string shortenMiddleToFit(const std::string& text,
                               const std::function<bool(const std::string&)>& fits) {
  std::string shown = text;
  while (!fits(shown) && shown.size() > SHORTEST_PART + ELLIPSIS.size()) shown = shortenMiddle(shown);
  return shown;
}
