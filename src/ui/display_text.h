// Text from archives and the system made safe to show: on one line, and short enough for
// the window without losing what matters.
#ifndef SFX_UI_DISPLAY_TEXT_H_
#define SFX_UI_DISPLAY_TEXT_H_

#include <functional>
#include <string>

// `text` with control characters written as escapes ("\n", "\t", "\r", "\x1b", ...), so
// that an entry name can neither break a message in two nor drive a terminal.
std::string printable(const std::string& text);

// `text` shortened until `fits` accepts it: the longest of its parts between ": "
// separators loses characters from its middle, marked with an ellipsis, part after part.
// The last part, the reason, is never shortened.
std::string shortenToFit(const std::string& text,
                         const std::function<bool(const std::string&)>& fits);

// `text` shortened in its middle, marked with an ellipsis, until `fits` accepts it or only
// a few characters are left: for a path, whose both ends matter.
std::string shortenMiddleToFit(const std::string& text,
                               const std::function<bool(const std::string&)>& fits);

#endif  // SFX_UI_DISPLAY_TEXT_H_
