"""Times our installer (window drawn, command `true`) and `unzip -q -o` on the large
payloads, each into a fresh directory, median of SCALING_RUNS runs; samples our peak
anonymous memory (RssAnon, every 2 ms); and times a close during the largest entry, from
the close request to the installer's end. Runs under with-xvfb.sh (scaling.sh sees to it)."""

import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import anon_peak
import payloads

RUNS = int(os.environ.get("SCALING_RUNS", "3"))
MiB = 1 << 20
TITLE = "Sambrel Ivox SFX Tool"
HERE = os.path.dirname(os.path.abspath(__file__))
PACK = os.path.join(HERE, "..", "tools", "pack-installer")


def text_pool(rng, size):
    words = ["".join(rng.choice("etaoinshrdlucmfwypvbgkqjxz") for _ in range(rng.randint(2, 11)))
             for _ in range(6000)]
    out, n = [], 0
    while n < size:
        line = " ".join(rng.choices(words, k=rng.randint(4, 16))) + "\n"
        out.append(line)
        n += len(line)
    return "".join(out).encode()[:size]


def write_large(top, rng):
    """1,008 MiB: two files of 256 MiB (text, a sparse disk image), six of 64 MiB (text,
    sparse, random) and four of 28 MiB text (inflated in one call: under 16 MiB packed)."""
    pool = text_pool(rng, 8 * MiB)

    def text(size):
        parts, n = [], 0
        while n < size:
            at = rng.randrange(len(pool) - 65536)
            parts.append(pool[at:at + 65536])
            n += 65536
        return b"".join(parts)[:size]

    def sparse(size):
        return payloads.sparse(rng, size)

    files = [("text-big.txt", text, 256), ("disk-big.img", sparse, 256)]
    for i in range(6):
        files.append(("part-%d.bin" % i, [text, sparse, rng.randbytes][i % 3], 64))
    for i in range(4):
        files.append(("short-%d.txt" % i, text, 28))
    for name, make, mib in files:
        with open(os.path.join(top, name), "wb") as f:
            f.write(make(mib * MiB))


def write_many(top, rng):
    """100,000 files of 1 to 8 KiB in 1,000 directories."""
    payloads.small_files(top, rng, text_pool(rng, 4 * MiB) + rng.randbytes(MiB), 1000, 4)


def prepared(cache, stub, name, write):
    """The payload's zip and installer, made once."""
    done = os.path.join(cache, name + ".done")
    archive = os.path.join(cache, name + ".zip")
    if not os.path.exists(done):
        source = os.path.join(cache, "src-" + name)
        shutil.rmtree(source, ignore_errors=True)
        os.makedirs(os.path.join(source, name))
        write(os.path.join(source, name), random.Random(20261210))
        if os.path.exists(archive):
            os.remove(archive)
        subprocess.run(["zip", "-q", "-r", archive, name], cwd=source, check=True)
        shutil.rmtree(source)
        open(done, "w").close()
    installer = os.path.join(cache, name + ".installer")
    subprocess.run([PACK, "--stub", stub, "--archive", archive, "-c", "true", "-o", installer],
                   check=True, capture_output=True)
    return archive, installer


def timed(args, where, sample=False):
    """Seconds to the command's end (within the 2 ms a sample takes) and, if `sample`,
    its peak RssAnon in MiB."""
    target = tempfile.mkdtemp(dir=where)
    start = time.monotonic()
    process = subprocess.Popen(args, cwd=target, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    peak = anon_peak.sample(process) if sample else 0
    status = process.wait()
    took = time.monotonic() - start
    subprocess.run(["rm", "-rf", "--one-file-system", target], check=True)
    if status != 0:
        raise RuntimeError("%s: status %d" % (args[0], status))
    return took, peak / 1024.0


def window_of(process):
    while process.poll() is None:
        found = subprocess.run(["xdotool", "search", "--pid", str(process.pid), "--name", TITLE],
                               capture_output=True, text=True).stdout.split()
        if found:
            return found[0]
        time.sleep(0.005)
    raise RuntimeError("the installer ended before its window showed")


def being_written(target, name):
    for directory, _, files in os.walk(target):
        if name in files:
            try:
                return os.stat(os.path.join(directory, name)).st_size > 0
            except OSError:
                return False
    return False


def close_during(installer, name, where, wm_delete):
    """From a close, while entry `name` is inflated, to the installer's end. Its file, in
    the stage, has bytes once it is written in slices, or its whole length once it is
    inflated in one call."""
    target = tempfile.mkdtemp(dir=where)
    process = subprocess.Popen([installer], cwd=target, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    window = window_of(process)
    while not being_written(target, name):
        time.sleep(0.001)
    closed = time.monotonic()
    subprocess.run([wm_delete, window], check=True)
    process.wait()
    took = time.monotonic() - closed
    subprocess.run(["rm", "-rf", "--one-file-system", target], check=True)
    return took


def main():
    build, stub = sys.argv[1], sys.argv[2]
    cache = os.path.join(build, "bench-cache")
    os.makedirs(cache, exist_ok=True)
    wm_delete = os.path.join(build, "tests", "ui", "wm_delete")
    payloads = [("large-2", "1 GiB in 12 files", write_large),
                ("many", "100,000 files of 1-8 KiB", write_many)]
    print("median of %d, seconds; ratio to unzip; peak RssAnon of ours, MiB" % RUNS)
    print("| payload | where | ours | unzip | × unzip | RssAnon |")
    print("|---|---|---:|---:|---:|---:|")
    for name, title, write in payloads:
        archive, installer = prepared(cache, stub, name, write)
        places = {"disk": cache, "tmpfs": "/dev/shm"}
        for where_name in os.environ.get("SCALING_WHERE", "disk tmpfs").split():
            where = places[where_name]
            ours, theirs, peaks = [], [], []
            for _ in range(RUNS):
                took, peak = timed([installer], where, sample=True)
                ours.append(took)
                peaks.append(peak)
                theirs.append(timed(["unzip", "-q", "-o", archive], where)[0])
            a, b = statistics.median(ours), statistics.median(theirs)
            print("| %s | %s | %.3f | %.3f | %.2f | %.1f |" % (title, where_name, a, b, a / b,
                                                            max(peaks)), flush=True)
        if name == "large-2":
            for entry, what in [("text-big.txt", "256 MiB entry (in slices)"),
                                ("short-0.txt", "28 MiB entry (in one call)")]:
                closes = [close_during(installer, entry, "/dev/shm", wm_delete)
                          for _ in range(RUNS)]
                print("| close to end while a %s inflates | tmpfs | %.3f | | | |"
                      % (what, statistics.median(closes)), flush=True)


if __name__ == "__main__":
    main()
