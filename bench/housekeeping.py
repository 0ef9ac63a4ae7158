"""Times what old files cost the user: from the start to the command, with a killed run's
complete stage of FILES files beside the place and with a previous installation of FILES
files; and from a close (as soon as the new installation is in place over FILES old files)
to the installer's end. On the disk (under the build directory) and on a tmpfs (/dev/shm),
median of HK_RUNS runs (default 3), for every stub given: the build's, and others to compare
with (an older build, say). Runs under with-xvfb.sh (housekeeping.sh sees to it)."""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

FILES = int(os.environ.get("HK_FILES", "50000"))
RUNS = int(os.environ.get("HK_RUNS", "3"))
TITLE = "Sambrel Ivox SFX Tool"
HERE = os.path.dirname(os.path.abspath(__file__))
PACK = os.path.join(HERE, "..", "tools", "pack-installer")


def installer(stub, work, name, entries, comment):
    payload = os.path.join(work, name + ".zip")
    with zipfile.ZipFile(payload, "w") as archive:
        for entry, data in entries:
            info = zipfile.ZipInfo(entry, date_time=(2024, 1, 1, 0, 0, 0))
            info.create_system = 3
            info.external_attr = (0o40755 if entry.endswith("/") else 0o100644) << 16
            archive.writestr(info, data)
        archive.comment = comment.encode()
    out = os.path.join(work, name)
    subprocess.run([PACK, "--stub", stub, "--archive", payload, "-o", out], check=True,
                   capture_output=True)
    return out


def big_entries():
    entries = [("setup/", b"")]
    for i in range(FILES):
        if i % 100 == 0:
            entries.append(("setup/d%04d/" % (i // 100), b""))
        entries.append(("setup/d%04d/f%06d" % (i // 100, i), b"old file %d\n" % i))
    return entries


def run(args, cwd):
    result = subprocess.run(args, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s: status %d: %s" % (args[-1], result.returncode, result.stderr))


def fresh(where):
    target = os.path.join(where, "target")
    subprocess.run(["rm", "-rf", "--one-file-system", target], check=True)
    os.mkdir(target)
    return target


def settle(target):
    """Waits until nothing of a run is left beside the place (housekeeping done)."""
    deadline = time.monotonic() + 300
    while any(n.startswith(".sfx-") for n in os.listdir(target)):
        if time.monotonic() > deadline:
            raise RuntimeError("leftovers in %s: %s" % (target, os.listdir(target)))
        time.sleep(0.05)


def start_to_command(small, target):
    marker = os.path.join(os.path.dirname(target), "cmd-at")
    if os.path.exists(marker):
        os.remove(marker)
    start = time.time()
    process = subprocess.Popen([small], cwd=target, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    while not os.path.exists(marker) or os.path.getsize(marker) == 0:
        time.sleep(0.001)
    with open(marker) as f:
        at = float(f.read())
    process.wait()
    return at - start


def window_of(process):
    while True:
        result = subprocess.run(["xdotool", "search", "--pid", str(process.pid), "--name", TITLE],
                                capture_output=True, text=True)
        if result.stdout.strip():
            return result.stdout.split()[0]
        time.sleep(0.005)


def close_to_end(quiet, target, wm_delete):
    process = subprocess.Popen([quiet], cwd=target, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    window = window_of(process)
    while not os.path.exists(os.path.join(target, "setup", "new.txt")):
        time.sleep(0.001)
    closed = time.time()
    subprocess.run([wm_delete, window], check=True)
    process.wait()
    return time.time() - closed


def measure(stub, where, wm_delete):
    work = tempfile.mkdtemp(dir=where)
    try:
        big = installer(stub, work, "big", big_entries(), "$AUTORUN$>true")
        small_entries = [("setup/", b""), ("setup/new.txt", b"new\n")]
        small = installer(stub, work, "small", small_entries,
                          "$AUTORUN$>date +%s.%N > ../cmd-at")
        quiet = installer(stub, work, "quiet", small_entries, "no command")
        killed = ["strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=renameat2",
                  "-e", "inject=renameat2:signal=KILL:when=1", big]
        figures = {"dead stage": [], "previous": [], "close": []}
        for _ in range(RUNS):
            target = fresh(work)
            run([big], target)
            settle(target)
            subprocess.run(killed, cwd=target, capture_output=True)  # dies before its swap
            figures["dead stage"].append(start_to_command(small, target))
            settle(target)
            target = fresh(work)
            run([big], target)
            settle(target)
            figures["previous"].append(start_to_command(small, target))
            settle(target)
            target = fresh(work)
            run([big], target)
            settle(target)
            figures["close"].append(close_to_end(quiet, target, wm_delete))
            settle(target)
        return {name: statistics.median(values) for name, values in figures.items()}
    finally:
        subprocess.run(["rm", "-rf", "--one-file-system", work])


def main():
    build, stubs = sys.argv[1], sys.argv[2:]
    wm_delete = os.path.join(build, "tests", "ui", "wm_delete")
    places = [("disk", build), ("tmpfs", "/dev/shm")]
    print("%d old files, median of %d; seconds" % (FILES, RUNS))
    print("| stub | where | start to command, dead stage | start to command, previous "
          "installation | close to end |")
    print("|---|---|---:|---:|---:|")
    for stub in stubs:
        for name, where in places:
            m = measure(stub, where, wm_delete)
            print("| %s | %s | %.3f | %.3f | %.3f |" % (stub, name, m["dead stage"], m["previous"],
                                                        m["close"]), flush=True)


if __name__ == "__main__":
    main()
