// The command an archive carries in its comment, behind AUTORUN_MARKER at its very start,
// and how it is run.
#ifndef SFX_LAUNCHER_AUTORUN_H_
#define SFX_LAUNCHER_AUTORUN_H_

#include <functional>
#include <optional>
#include <string>

inline constexpr char AUTORUN_MARKER[] = "$AUTORUN$>";

// The command line of `comment`: everything after a marker that opens it, up to a zero
// byte. No command when the comment does not begin with the marker.
std::optional<std::string> autorunCommand(const std::string& comment);

// Runs `command` through /bin/sh and waits for it, as system() does (SIGINT and SIGQUIT
// are ignored here meanwhile), with every signal at its default in the shell, those the
// installer ignores (SIGPIPE, SIGXFSZ) included. Returns "" once the shell ran, whatever
// the command's own status; else why the shell could not be started ("/bin/sh: REASON":
// no process left under a pids limit, say), which system() cannot tell from a command
// that was not found.
std::string runThroughShell(const std::string& command);

// The autorun worker's body: runs the command, then ends the process with status 0.
// Returns at once when the comment carries no command; when the shell cannot be started,
// hands the reason to `cannotStart` and returns.
void runAutorun(std::string comment,
                const std::function<void(const std::string&)>& cannotStart = {});

#endif  // SFX_LAUNCHER_AUTORUN_H_
