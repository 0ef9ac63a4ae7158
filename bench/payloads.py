"""Payload pieces bench/peers.sh and bench/scaling.py share. Every one draws from the
random generator it is given, in a fixed order: the same seed gives the same bytes."""

import os


def sparse(rng, n):
    """A disk image: zeros with a random 4 KiB block every 256 KiB."""
    data = bytearray(n)
    for at in range(0, n - 4096, 256 * 1024):
        data[at:at + 4096] = rng.randbytes(4096)
    return bytes(data)


def small_files(top, rng, pool, directories, width):
    """100 files of 1 to 8 KiB, cut from `pool` at random, in each of `directories`
    directories under `top` named dir-N, N `width` digits wide."""
    for d in range(directories):
        directory = os.path.join(top, "dir-%0*d" % (width, d))
        os.makedirs(directory)
        for i in range(100):
            size = rng.randint(1024, 8192)
            at = rng.randrange(len(pool) - size)
            with open(os.path.join(directory, "file-%03d.dat" % i), "wb") as f:
                f.write(pool[at:at + size])
