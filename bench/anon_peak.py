"""The peak anonymous memory (RssAnon, KiB) of the largest process in a command's tree,
sampled every 2 ms. Run as a script: runs the command given in the current directory,
prints the peak and exits with the command's status."""

import os
import subprocess
import sys
import time


def children(pid):
    out = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                out += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return out


def anon(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def sample(process):
    """Samples `process` and its descendants until it ends; the peak, in KiB."""
    peak = 0
    while process.poll() is None:
        pending, seen = [process.pid], 0
        while pending:
            pid = pending.pop()
            seen = max(seen, anon(pid))
            pending += children(pid)
        peak = max(peak, seen)
        time.sleep(0.002)
    return peak


if __name__ == "__main__":
    command = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print(sample(command))
    sys.exit(command.wait())
