// The command an archive carries in its comment, behind AUTORUN_MARKER at its very start.
#ifndef SFX_LAUNCHER_AUTORUN_H_
#define SFX_LAUNCHER_AUTORUN_H_

#include <optional>
#include <string>

inline constexpr char AUTORUN_MARKER[] = "$AUTORUN$>";

// The command line of `comment`: everything after a marker that opens it, up to a zero
// byte. No command when the comment does not begin with the marker.
std::optional<std::string> autorunCommand(const std::string& comment);

// The autorun worker's body: runs the command through /bin/sh, then ends the process
// with status 0. Returns at once when the comment carries no command.
void runAutorun(std::string comment);

#endif  // SFX_LAUNCHER_AUTORUN_H_
