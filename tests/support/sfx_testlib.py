"""Out-of-process test helpers: build real installers from the stub with Info-ZIP zip, run
them in scratch directories, and look at their window through the X tools.

Settings come from the environment, set by CMake's add_test:
  SFX_STUB         path of the built sfx-stub (required)
  SFX_WM_DELETE    path of the wm_delete helper (for window-manager close requests)
  SFX_SCREENSHOTS  directory where screenshots are kept (default: a scratch directory)
  SFX_EMULATOR     the command that runs the build's programs on this machine: empty, or
                   qemu-user (qemu-aarch64-static) for a cross build
The tests run under tests/support/with-xvfb.sh, which sets DISPLAY to a private server.
"""

import ctypes
import ctypes.util
import fcntl
import os
import platform
import re
import shutil
import signal
import stat
import subprocess
import tempfile
import time
import unittest
import weakref
import zipfile

# Programs of the build (the stub, the test helpers) are started as [*EMULATOR, program].
EMULATOR = tuple(os.environ.get("SFX_EMULATOR", "").split())
# qemu-user runs one thread of its own beside the program's (its RCU thread): it shows in
# /proc/PID/task and counts against a pids or process limit.
EMULATOR_THREADS = 1 if EMULATOR else 0
# System call numbers as /proc/PID/syscall gives them: the kernel's, so the machine's that
# runs the tests, whatever a program under emulation was built for.
SELECT_CALLS = {"x86_64": ("23", "270"), "aarch64": ("72",)}  # select, pselect6


def skip_if_emulated(test, why):
    """Skips `test` under emulation, saying why it cannot run there."""
    if EMULATOR:
        test.skipTest("under %s: %s" % (os.path.basename(EMULATOR[0]), why))


def program(path, *args):
    """The command line that runs a program of the build on this machine."""
    return [*EMULATOR, path, *args]


def interpreter(path):
    """The dynamic loader a program names in its program header (PT_INTERP)."""
    headers = run_tool(["readelf", "--wide", "--program-headers", path])
    match = re.search(r"Requesting program interpreter: ([^\]]+)\]", headers)
    if not match:
        raise RuntimeError("%s names no program interpreter" % path)
    return match.group(1)


PACK_INSTALLER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                              "pack-installer")
TITLE = "Sambrel Ivox SFX Tool"


def _window_layout():
    """The window's geometry as src/ui/window_layout.h gives it: NAME -> pixels at scale 1."""
    header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "ui",
                          "window_layout.h")
    with open(header) as f:
        return {m.group(1): int(m.group(2))
                for m in re.finditer(r"^constexpr int (\w+) = (\d+);$", f.read(), re.M)}


LAYOUT = _window_layout()
# (x, y, w, h) of the caption, the bar and "Fechar", and the button's middle.
CAPTION_BOX = tuple(LAYOUT["CAPTION_" + k] for k in "XYWH")
BAR_BOX = tuple(LAYOUT["BAR_" + k] for k in "XYWH")
BUTTON_BOX = tuple(LAYOUT["BUTTON_" + k] for k in "XYWH")
BUTTON_CENTRE = (BUTTON_BOX[0] + BUTTON_BOX[2] // 2, BUTTON_BOX[1] + BUTTON_BOX[3] // 2)
AUTORUN_MARKER = "$AUTORUN$>"


def stub_path():
    path = os.environ.get("SFX_STUB")
    if not path or not os.path.isfile(path):
        raise RuntimeError("SFX_STUB does not name the built stub: %r" % path)
    return path


def run_tool(args, **kwargs):
    """Runs a command line; returns its stdout as text, raising with its stderr on failure.
    An X tool whose connection was dropped (see "looking at windows") is run again."""
    for _ in range(3):
        result = subprocess.run(args, capture_output=True, text=True, **kwargs)
        if result.returncode == 0 or "open display" not in result.stderr:
            break
        time.sleep(0.05)
    if result.returncode != 0:
        raise RuntimeError("%s failed (%d): %s" % (" ".join(args), result.returncode,
                                                   result.stderr.strip()))
    return result.stdout


# ---- building installers -------------------------------------------------------------

def write_tree(root, files):
    """Writes `files` ({relative path: bytes or str}) under root. A name ending in "/" is a
    directory; a (data, mode) tuple sets the mode."""
    for name, content in files.items():
        path = os.path.join(root, name)
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        mode = None
        if isinstance(content, tuple):
            content, mode = content
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        if mode is not None:
            os.chmod(path, mode)


def zip_directory(source_dir, top, zip_path, comment=None):
    """Zips source_dir/top recursively with Info-ZIP zip, as packagers do, and sets the
    archive comment when one is given."""
    if os.path.exists(zip_path):
        os.remove(zip_path)  # zip would add to it
    run_tool(["zip", "-q", "-r", "-X", os.path.abspath(zip_path), top], cwd=source_dir)
    if comment is not None:
        set_comment(zip_path, comment)


def set_comment(zip_path, comment):
    """The archive comment, byte for byte (str or bytes)."""
    with zipfile.ZipFile(zip_path, "a") as archive:
        archive.comment = comment.encode() if isinstance(comment, str) else comment


def append_to_stub(archive_bytes, installer_path):
    """The stub followed by the bytes, executable, offsets left as they are: for archives
    no packager would make (unadjusted, damaged, hostile)."""
    with open(installer_path, "wb") as out, open(stub_path(), "rb") as stub:
        out.write(stub.read() + archive_bytes)
    os.chmod(installer_path, 0o755)
    return installer_path


def attach(zip_path, installer_path):
    """Makes an installer of an archive as a packager does, with tools/pack-installer:
    appended to the stub, offsets fixed, tested, its comment kept."""
    run_tool([PACK_INSTALLER, "--stub", stub_path(), "--archive", zip_path, "-o", installer_path])
    return installer_path


def build_installer(workdir, files, top, comment=None, name="installer"):
    """Builds workdir/name from a tree ({path: content}, every path under `top`)."""
    source = os.path.join(workdir, "payload-src")
    shutil.rmtree(source, ignore_errors=True)  # a tree left by an earlier build
    write_tree(source, files)
    zip_path = os.path.join(workdir, "payload.zip")
    zip_directory(source, top, zip_path, comment)
    return attach(zip_path, os.path.join(workdir, name))


def zip_entries(zip_path, entries, comment=None, compression=zipfile.ZIP_STORED):
    """Writes an archive of exactly `entries` with Python's zipfile, in that order:
    (name, data) or (name, data, mode); without a mode, names ending in "/" are
    directories 0755 and the others files 0644. `comment` is bytes, kept exactly."""
    with zipfile.ZipFile(zip_path, "w", compression) as archive:
        for name, data, *mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))
            info.create_system = 3
            info.compress_type = compression
            default = 0o40755 if name.endswith("/") else 0o100644
            info.external_attr = (mode[0] if mode else default) << 16
            archive.writestr(info, data)
        if comment is not None:
            archive.comment = comment


def many_files(top, count, size=16):
    """A tree of `count` small files under top/, spread over subdirectories of 100."""
    files = {top + "/": None}
    for i in range(count):
        files["%s/d%03d/f%05d.txt" % (top, i // 100, i)] = ("%0*d" % (size, i))[:size]
    return files


def unmount_below(root):
    """Unmounts, deepest first, everything mounted below `root` (mounts may have moved
    with the trees they were in)."""
    with open("/proc/self/mounts") as f:
        mounted = [line.split()[1] for line in f]
    for point in sorted((m for m in mounted if m.startswith(root + "/")), reverse=True):
        subprocess.run(["umount", "-l", point])


def count_files(root):
    return sum(len(names) for _, _, names in os.walk(root))


def tree(root):
    """{relative path: (kind, mode[, content])} of everything under root, links not
    followed: what a user would find there."""
    out = {}
    for directory, dirs, names in os.walk(root):
        for name in dirs + names:
            path = os.path.join(directory, name)
            st = os.lstat(path)
            mode = oct(st.st_mode & 0o7777)
            if stat.S_ISDIR(st.st_mode):
                out[os.path.relpath(path, root)] = ("dir", mode)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    out[os.path.relpath(path, root)] = ("file", mode, f.read())
            else:
                out[os.path.relpath(path, root)] = ("other", mode)
    return out


# ---- running installers --------------------------------------------------------------

class Stops:
    """Where strace holds an installer still (see Run.held): right after its call number
    `when` of `syscall`, in strace's syntax ("11", or "100..1100+1000" for 100 and 1100),
    counted in each thread on its own, so that the extraction worker's count is its own
    whatever the other threads do. With `delay` (seconds), only the thread that made the
    call waits that long first while the others go on, as behind a slow disk. The calls
    of `syscall` and of those in `also` are logged (Run.calls)."""

    def __init__(self, syscall, when, delay=None, also=()):
        self.syscall, self.when, self.delay, self.also = syscall, str(when), delay, also

    def __str__(self):
        return "%s #%s" % (self.syscall, self.when)

    def command(self, log):
        inject = "inject=%s:signal=STOP:when=%s" % (self.syscall, self.when)
        if self.delay:
            # With delay_enter strace sends no signal; with delay_exit the call is made,
            # then the thread waits, then the signal comes.
            inject += ":delay_exit=%dms" % round(self.delay * 1000)
        # Not --seccomp-bpf either: under it strace injects no signal.
        return ["strace", "-f", "-qq", "-o", log, "-e",
                "trace=" + ",".join((self.syscall,) + tuple(self.also)), "-e", inject]


# The middle of extracting many_files(top, N) for N of 3,000 or more: held once the
# extraction worker has made the stage and ten of the directories (it calls mkdirat for
# nothing else), with a third of the files or less written and the rest to come.
MID_EXTRACTION = Stops("mkdirat", 11)


# The directory's lock found held by another installer (logged with Stops(..., also=
# ["flock"])): its own try failed, or it let go of its own lock on finding another near
# (above or below it). From then on the installer waits for its turn.
LOCKED_OUT = r"^\d+ +flock\(\d+, (LOCK_UN\)|.*= -1 E(AGAIN|WOULDBLOCK) )"


def stages(directory):
    """The names of the stages in `directory`: where an extraction builds the new tree, and
    after the swap, what goes of the previous one."""
    return sorted(n for n in os.listdir(directory) if n.startswith(".sfx-stage."))


def extracting(directory, total):
    """Whether an installer held in `directory` is in the middle of extracting its `total`
    files: one stage there, holding some of them but not all."""
    found = stages(directory)
    return len(found) == 1 and 0 < count_files(os.path.join(directory, found[0])) < total


# How long a held installer stays held at least: longer than the window's longest pause
# between event passes (40 ms), so that the first entry or pulse after it runs one and
# reads what the test queued meanwhile.
HOLD = 0.1
_STOPPED = re.compile(rb"^(\d+) +--- stopped by SIGSTOP ---$", re.M)


# Every Run not yet collected, to tell their locks from their housekeeping's.
_RUNS = weakref.WeakSet()


class Run:
    """One installer process started in its own working directory; stdout and stderr are
    kept in files there, so a blocked pipe never stalls the stub. With `stops`, it runs
    under strace, which holds it still there (see held). `prefix` runs before the
    emulator, if any (prlimit, setpriv, a shell that ends in exec "$0" "$@"); `through`
    after it, right before the installer (its dynamic loader, qemu's options)."""

    def __init__(self, installer, cwd, args=(), env=None, prefix=(), stops=None, through=()):
        self.cwd = cwd
        self.out_path = os.path.join(tempfile.mkdtemp(prefix="sfx-run-"), "out")
        self._out = open(self.out_path + ".stdout", "wb")
        self._err = open(self.out_path + ".stderr", "wb")
        full_env = dict(os.environ)
        full_env.update(env or {})
        for key, value in list(full_env.items()):
            if value is None:
                del full_env[key]
        self.stops, self._pid = stops, None
        _RUNS.add(self)
        if stops:
            # LeakSanitizer cannot work under a tracer; the sanitized build's other checks do.
            full_env["ASAN_OPTIONS"] = full_env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
            self.log = self.out_path + ".strace"
            open(self.log, "wb").close()  # read before strace opens it
            self._read, self._stopped, self._held_at = 0, set(), None
            prefix = [*stops.command(self.log), *prefix]
        if os.environ.get("DISPLAY"):
            x_connection()  # ours first: see "looking at windows" below
        self.process = subprocess.Popen([*prefix, *EMULATOR, *through, installer, *args],
                                        cwd=cwd, env=full_env,
                                        stdout=self._out, stderr=self._err)

    def wait(self, timeout=30):
        """Exit status, once the installer and the housekeeping it left behind (removing
        the previous installation) are done; raises subprocess.TimeoutExpired if the
        installer is still running. (strace ends as the installer did, by the same status
        or signal.)"""
        status = self.process.wait(timeout)
        self._out.close()
        self._err.close()
        # Other installers still at work here (one a test holds) are not housekeeping.
        wait_housekeeping(self.cwd, ignore=[run.pid for run in list(_RUNS)
                                            if run is not self and run.running()])
        return status

    def running(self):
        return self.process.poll() is None

    def stdout(self):
        with open(self.out_path + ".stdout", "rb") as f:
            return f.read().decode(errors="replace")

    def stderr(self):
        with open(self.out_path + ".stderr", "rb") as f:
            return f.read().decode(errors="replace")

    @property
    def pid(self):
        """The installer's process id: under strace, strace's child that runs the command
        (strace first starts children of its own that run strace, to try ptrace)."""
        if not self.stops:
            return self.process.pid
        while self._pid is None:
            strace = _command_line(self.process.pid)
            for child in _children(self.process.pid):
                if _command_line(child) not in (b"", strace):
                    self._pid = child
            if self._pid is not None:
                break
            if not self.running():
                raise RuntimeError("strace ended (%s) before the installer started: %s"
                                   % (self.process.returncode, self.stderr().strip()))
            time.sleep(0.005)
        return self._pid

    def send_signal(self, number):
        """Sends the installer a signal (not strace, under it)."""
        os.kill(self.pid, number)

    # Every call traced stops the installer for strace: on a loaded machine, under the
    # sanitizers, thousands of entries took more than a minute to reach a stop once.
    HOLD_TIMEOUT = 240

    def held(self, what, timeout=HOLD_TIMEOUT):
        """Waits until the installer is held at its next stop: every thread of it stopped.
        Fails naming `what`, the state the test needs there, when it ends or goes on
        without stopping."""
        if not self.stops:
            raise RuntimeError("held() needs a run started with stops")
        deadline = time.monotonic() + timeout
        while True:
            # The log first, then the threads: one seen stopped has finished starting any
            # thread it started, which is listed by then.
            self._read_log()
            threads = _threads(self.pid)
            if threads and threads <= self._stopped:
                self._held_at = time.monotonic()
                return
            if not self.running() or time.monotonic() > deadline:
                self.fail_unheld(what, time.monotonic() - deadline + timeout)
            time.sleep(0.005)

    def held_or_ended(self, what, timeout=HOLD_TIMEOUT):
        """True once held at the next stop, False if the installer ended first."""
        try:
            self.held(what, timeout)
            return True
        except AssertionError:
            if self.running():
                raise
            return False

    def held_elsewhere(self, what, timeout=HOLD_TIMEOUT):
        """Waits until a process the installer started (not the installer itself) is held
        at its stop; returns its id, to be sent SIGCONT. For stops on a call only such a
        process makes."""
        if not self.stops:
            raise RuntimeError("held_elsewhere() needs a run started with stops")
        deadline = time.monotonic() + timeout
        while True:
            self._read_log()
            own = set(_threads(self.pid))
            for tid in self._stopped - own:
                if os.path.exists("/proc/%d" % tid):
                    return tid
            if not self.running() or time.monotonic() > deadline:
                raise AssertionError("no process of the installer stopped at %s (%s): the "
                                     "installer %s: %s" % (
                                         self.stops, what, "went on" if self.running() else
                                         "ended with %s" % self.process.returncode,
                                         self.stderr().strip()))
            time.sleep(0.005)

    def fail_unheld(self, what, waited=None):
        if self.running():
            ended = "went on (threads not stopped: %s; stopped: %s)" % (
                ", ".join("%d %s" % (tid, _state(self.pid, tid)) for tid in _threads(self.pid)
                          if tid not in self._stopped),
                ", ".join(str(tid) for tid in sorted(self._stopped)))
        else:
            ended = "ended with %s" % self.process.returncode
        after = "" if waited is None else " after %.0f s" % waited
        raise AssertionError("the installer %s instead of stopping at %s (%s)%s: %s"
                             % (ended, self.stops, what, after, self.stderr().strip()))

    def resume(self):
        """Lets a held installer go on, once it has been held HOLD seconds."""
        time.sleep(max(0.0, self._held_at + HOLD - time.monotonic()))
        self._read_log()
        self._stopped = set()
        os.kill(self.pid, signal.SIGCONT)

    def calls(self):
        """What strace logged so far: the calls of the syscalls traced, one a line."""
        with open(self.log, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_logged(self, pattern, what, timeout=60):
        """Waits until strace has logged a call that the regular expression `pattern`
        matches; fails naming `what` when the installer ends first."""
        deadline = time.monotonic() + timeout
        while not re.search(pattern, self.calls(), re.M):
            if not self.running() or time.monotonic() > deadline:
                raise AssertionError("no %s: the installer %s: %s" % (
                    what, "went on" if self.running() else
                    "ended with %s" % self.process.returncode, self.stderr().strip()))
            time.sleep(0.01)

    def _read_log(self):
        with open(self.log, "rb") as f:
            f.seek(self._read)
            text = f.read()
        complete = text[:text.rfind(b"\n") + 1]
        self._read += len(complete)
        self._stopped.update(int(tid) for tid in _STOPPED.findall(complete))

    def kill(self):
        if self.running():
            if self.stops:
                # Killed, strace leaves its tracee running, or held for ever.
                for child in _children(self.process.pid):
                    os.kill(child, signal.SIGKILL)
            self.process.kill()
        try:
            self.wait()
        except RuntimeError:
            pass  # a housekeeping a test holds still: its own cleanup lets it go
        shutil.rmtree(os.path.dirname(self.out_path), ignore_errors=True)


def _flock_holders():
    """The processes holding each flock lock, by "MAJOR:MINOR:INODE" as /proc/locks names
    the file (a lock taken before a fork names the process that took it)."""
    holders = {}
    with open("/proc/locks") as f:
        for line in f:
            fields = line.split()
            if len(fields) > 5 and fields[1] == "FLOCK":
                holders.setdefault(fields[5], set()).add(int(fields[4]))
    return holders


def held_records(directory, ignore=()):
    """The run records in `directory` still locked: an installer, or the process that
    removes what one left behind, is still at work there. Records locked only by the
    processes in `ignore` are left out."""
    held = []
    try:
        names = os.listdir(directory)
    except OSError:
        return held
    holders = _flock_holders()
    for name in names:
        if not name.startswith(".sfx-run."):
            continue
        try:
            fd = os.open(os.path.join(directory, name), os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            continue
        try:
            st = os.fstat(fd)
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            key = "%02x:%02x:%d" % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
            owners = holders.get(key)
            if not owners or not owners <= set(ignore):
                held.append(name)
        finally:
            os.close(fd)
    return held


def wait_housekeeping(directory, timeout=120, ignore=()):
    """Waits until no installer's housekeeping is at work in `directory`; installers still
    running there, as `ignore` lists them, aside."""
    deadline = time.monotonic() + timeout
    while held_records(directory, ignore):
        if time.monotonic() > deadline:
            raise RuntimeError("housekeeping still at work in %s after %d s" % (directory, timeout))
        time.sleep(0.01)


def _threads(pid):
    try:
        return {int(tid) for tid in os.listdir("/proc/%d/task" % pid)}
    except FileNotFoundError:
        return set()


def _state(pid, tid):
    """A thread's state letter and what it waits in, for messages."""
    try:
        with open("/proc/%d/task/%d/stat" % (pid, tid)) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        with open("/proc/%d/task/%d/wchan" % (pid, tid)) as f:
            return state + " " + f.read()
    except OSError:
        return "gone"


def _command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read()
    except OSError:
        return b""


def _children(pid):
    """The processes whose parent is `pid`."""
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(name))
    return found
def in_event_loop(pid):
    """Whether the process's main thread waits for events without a timeout, as the
    toolkit's event loop does (select or pselect6 with a null timeout); its passes during
    the extraction and before it always have one. Under qemu-user the call is qemu's own,
    the same one with the program's arguments."""
    try:
        with open("/proc/%d/syscall" % pid) as f:
            fields = f.read().split()
    except OSError:
        return False
    return (len(fields) > 5 and fields[0] in SELECT_CALLS[platform.machine()]
            and int(fields[5], 16) == 0)


def thread_count(pid):
    """The program's own threads (qemu-user's are left out)."""
    try:
        return len(os.listdir("/proc/%d/task" % pid)) - EMULATOR_THREADS
    except FileNotFoundError:
        return 0


def wait_idle(run, timeout=30):
    """Waits until the stub is down to its main thread and that thread waits in the event
    loop: the extraction worker has been joined and no autorun worker runs. (The window is
    shown before the archive loads, on the main thread alone.) False if it ended instead."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not run.running():
            return False
        if thread_count(run.process.pid) == 1 and in_event_loop(run.process.pid):
            return True
        time.sleep(0.02)
    raise AssertionError("the stub stayed busy for %ss" % timeout)


# ---- looking at windows --------------------------------------------------------------
#
# Xvfb on a busy machine now and then drops a new client connection that arrives while
# another client connects or disconnects. The installer connects once, at a moment we do not
# control, so the polling (find the window, is it still there) goes through one connection
# of ours opened before any installer starts, and the X tools run only while the installer
# is connected and idle.

class _WindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int),
                ("height", ctypes.c_int), ("border_width", ctypes.c_int),
                ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("c_class", ctypes.c_int),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("colormap", ctypes.c_ulong), ("map_installed", ctypes.c_int),
                ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


_IS_VIEWABLE = 2
_ERROR_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


class XConnection:
    """One Xlib connection for the whole test process. X errors (a window that has just
    gone) are swallowed instead of ending the process."""

    def __init__(self):
        x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_void_p] * 4
        x.XFetchName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p]
        x.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_void_p]
        x.XFree.argtypes = [ctypes.c_void_p]
        x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        self.x = x
        self._handler = _ERROR_HANDLER(lambda display, event: 0)
        x.XSetErrorHandler(self._handler)
        self.display = None
        for _ in range(5):
            self.display = x.XOpenDisplay(None)
            if self.display:
                break
            time.sleep(0.1)
        if not self.display:
            raise RuntimeError("cannot open display %r" % os.environ.get("DISPLAY"))
        self.root = x.XDefaultRootWindow(self.display)

    def children(self, window):
        root, parent = ctypes.c_ulong(), ctypes.c_ulong()
        children, count = ctypes.POINTER(ctypes.c_ulong)(), ctypes.c_uint()
        if not self.x.XQueryTree(self.display, window, ctypes.byref(root),
                                 ctypes.byref(parent), ctypes.byref(children),
                                 ctypes.byref(count)):
            return []
        windows = [children[i] for i in range(count.value)]
        if children:
            self.x.XFree(children)
        return windows

    def top_windows(self):
        """The root's children, and under a window manager the frames' children down to
        the applications' own windows, which it has put in its frames."""
        windows, level = [], self.children(self.root)
        for _ in range(3):
            windows += level
            if not os.environ.get("SFX_WM"):
                break
            level = [child for window in level for child in self.children(window)]
        return windows

    def name(self, window):
        text = ctypes.c_char_p()
        if not self.x.XFetchName(self.display, window, ctypes.byref(text)) or not text.value:
            return None
        value = text.value.decode(errors="replace")
        self.x.XFree(text)
        return value

    def viewable(self, window):
        attributes = _WindowAttributes()
        if not self.x.XGetWindowAttributes(self.display, window, ctypes.byref(attributes)):
            return False
        return attributes.map_state == _IS_VIEWABLE


_connection = None


def x_connection():
    global _connection
    if _connection is None:
        _connection = XConnection()
    return _connection


def find_window(title=TITLE, timeout=20, run=None):
    """Waits until a mapped top-level window titled `title` exists; returns its id. Gives
    up early when `run` has ended."""
    x = x_connection()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for window in x.top_windows():
            if x.viewable(window) and x.name(window) == title:
                return window
        if run is not None and not run.running():
            raise RuntimeError("installer ended (%s) before its window appeared: %s"
                               % (run.process.returncode, run.stderr().strip()))
        time.sleep(0.01)
    raise RuntimeError("no window titled %r within %ss" % (title, timeout))


def window_exists(window):
    """True while the window is there and mapped (the toolkit destroys it when hidden)."""
    return x_connection().viewable(window)


def wait_gone(window, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not window_exists(window):
            return True
        time.sleep(0.01)
    return False


def xprop(window, prop):
    """The value part of `xprop -id WINDOW PROP`, e.g. '"Sambrel Ivox SFX Tool"'."""
    line = run_tool(["xprop", "-id", str(window), prop]).strip()
    if "not found" in line or "no such atom" in line:
        return None
    return line.split("=", 1)[1].strip() if "=" in line else line.split(":", 1)[1].strip()


def xprop_string(window, prop):
    value = xprop(window, prop)
    return value[1:-1] if value and value.startswith('"') else value


def window_geometry(window):
    """(width, height) from xwininfo."""
    info = run_tool(["xwininfo", "-id", str(window)])
    fields = dict(line.strip().split(":", 1) for line in info.splitlines() if ":" in line)
    return int(fields["Width"]), int(fields["Height"])


def window_position(window):
    """(x, y) of the window's top-left corner on the screen, from xwininfo."""
    info = run_tool(["xwininfo", "-id", str(window)])
    fields = dict(line.strip().split(":", 1) for line in info.splitlines() if ":" in line)
    return int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"])


def set_resources(text):
    """The display's resource database (RESOURCE_MANAGER on the root, what xrdb sets);
    None removes it."""
    if text is None:
        run_tool(["xprop", "-root", "-remove", "RESOURCE_MANAGER"])
    else:
        run_tool(["xprop", "-root", "-f", "RESOURCE_MANAGER", "8s", "-set", "RESOURCE_MANAGER",
                  text])


def size_hints(window):
    """WM_NORMAL_HINTS as {'minimum': (w, h), 'maximum': (w, h), ...} from xprop."""
    text = run_tool(["xprop", "-id", str(window), "WM_NORMAL_HINTS"])
    hints = {}
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("program specified ") and " size: " in line:
            kind = line[len("program specified "):line.index(" size:")]
            w, h = line.split(": ", 1)[1].split(" by ")
            hints[kind] = (int(w), int(h))
    return hints


def icon_sizes(window):
    """(width, height) of every image in _NET_WM_ICON, as xprop lists them."""
    text = run_tool(["xprop", "-id", str(window), "-notype", "_NET_WM_ICON"])
    return [(int(w), int(h)) for w, h in re.findall(r"Icon \((\d+) x (\d+)\)", text)]


def focus(window):
    """Gives the window the keyboard focus. Without a window manager XSetInputFocus (what
    xdotool windowfocus does) is all it takes."""
    run_tool(["xdotool", "windowfocus", "--sync", str(window)])


def press_key(window, key):
    """Focuses the window, then types `key` through XTEST, as a real keyboard would.
    (`xdotool key --window` sends synthetic events instead; the toolkit takes them too, but
    xdotool fails with BadWindow when the key press closes the window before the release.)"""
    focus(window)
    run_tool(["xdotool", "key", key])


def click(window, x, y):
    """A left click at window coordinates through XTEST."""
    run_tool(["xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1"])


def request_close(window):
    """The window manager's close request (WM_DELETE_WINDOW), sent by our Xlib helper."""
    helper = os.environ.get("SFX_WM_DELETE")
    if not helper:
        raise RuntimeError("SFX_WM_DELETE does not name the wm_delete helper")
    run_tool(program(helper, str(window)))


class _SetWindowAttributes(ctypes.Structure):
    _fields_ = [("background_pixmap", ctypes.c_ulong), ("background_pixel", ctypes.c_ulong),
                ("border_pixmap", ctypes.c_ulong), ("border_pixel", ctypes.c_ulong),
                ("bit_gravity", ctypes.c_int), ("win_gravity", ctypes.c_int),
                ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int),
                ("event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("colormap", ctypes.c_ulong),
                ("cursor", ctypes.c_ulong)]


_CW_BACK_PIXEL = 1 << 1
_CW_OVERRIDE_REDIRECT = 1 << 9


def cover_and_uncover(x, y, width, height):
    """Maps a red window (255, 0, 0) over the rectangle, then takes it away: what was under
    it must be drawn again by its owner. Override-redirect, so that the window manager
    leaves it."""
    conn = x_connection()
    lib = conn.x
    lib.XCreateWindow.restype = ctypes.c_ulong
    lib.XCreateWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                  ctypes.c_uint, ctypes.c_uint, ctypes.c_uint, ctypes.c_int,
                                  ctypes.c_uint, ctypes.c_void_p, ctypes.c_ulong,
                                  ctypes.c_void_p]
    for name in ("XMapRaised", "XUnmapWindow", "XDestroyWindow"):
        getattr(lib, name).argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    attributes = _SetWindowAttributes(background_pixel=0xFF0000, override_redirect=1)
    cover = lib.XCreateWindow(conn.display, conn.root, x, y, width, height, 0, 0, 1, None,
                              _CW_BACK_PIXEL | _CW_OVERRIDE_REDIRECT, ctypes.byref(attributes))
    lib.XMapRaised(conn.display, cover)
    lib.XSync(conn.display, 0)
    time.sleep(0.2)
    lib.XUnmapWindow(conn.display, cover)
    lib.XDestroyWindow(conn.display, cover)
    lib.XSync(conn.display, 0)


# ---- screenshots ---------------------------------------------------------------------

def screenshot_dir():
    path = os.environ.get("SFX_SCREENSHOTS") or os.path.join(tempfile.gettempdir(),
                                                              "sfx-screenshots")
    os.makedirs(path, exist_ok=True)
    return path


def screenshot(window, name):
    """Captures the window into SFX_SCREENSHOTS/name.png and returns an Image of it."""
    path = os.path.join(screenshot_dir(), name + ".png")
    run_tool(["import", "-window", str(window), path])
    return Image.load(path)


def screenshot_when(window, name, ready, timeout=30):
    """A screenshot of the window once `ready(image)` holds, or the last one taken when it
    does not within `timeout` seconds: the drawing follows the event that asks for it."""
    deadline = time.monotonic() + timeout
    while True:
        image = screenshot(window, name)
        if ready(image) or time.monotonic() > deadline:
            return image
        time.sleep(0.05)


class Image:
    """An RGB picture read through ImageMagick as binary PPM."""

    def __init__(self, width, height, pixels, path):
        self.width, self.height, self.pixels, self.path = width, height, pixels, path

    @classmethod
    def load(cls, path):
        data = subprocess.run(["convert", path, "-depth", "8", "ppm:-"], capture_output=True,
                              check=True).stdout
        fields, pos = [], 0
        while len(fields) < 4:  # magic, width, height, maximum value
            while data[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not data[pos:pos + 1].isspace():
                pos += 1
            fields.append(data[start:pos])
        if fields[0] != b"P6" or fields[3] != b"255":
            raise RuntimeError("%s: unexpected PPM header %r" % (path, fields))
        return cls(int(fields[1]), int(fields[2]), data[pos + 1:], path)

    def pixel(self, x, y):
        i = 3 * (y * self.width + x)
        return tuple(self.pixels[i:i + 3])


def is_dark(rgb, limit=100):
    return max(rgb) < limit


class InstallerCase(unittest.TestCase):
    """Each test builds its installers in a scratch directory and runs them in a fresh,
    empty working directory beside it, `target`."""

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="sfx-window-")
        self.addCleanup(shutil.rmtree, self.scratch, True)
        self.target = os.path.join(self.scratch, "target")
        os.mkdir(self.target)
        self.builds = os.path.join(self.scratch, "build")
        os.mkdir(self.builds)

    def installer(self, files, comment=None):
        return build_installer(self.builds, files, "pkg", comment)

    def start(self, installer, args=(), env=None, stops=None):
        run = Run(installer, self.target, args, env, stops=stops)
        self.addCleanup(run.kill)
        return run

    def start_and_find(self, installer, args=(), title=TITLE, stops=None):
        run = self.start(installer, args, stops=stops)
        return run, find_window(title, run=run)

    def wait_for(self, condition, what, timeout=30):
        """Waits for `condition`; fails naming `what` after `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                self.fail("no %s within %d s" % (what, timeout))
            time.sleep(0.01)
