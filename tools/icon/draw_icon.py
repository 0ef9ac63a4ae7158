#!/usr/bin/python3
"""Draws the window icon and writes it as C++ XPM source.

Usage: draw_icon.py OUTPUT.cpp [--preview DIR]

The cabinet is rendered in true colour with 5 x 5 samples per pixel, dark
outlines are added along the silhouette and occluding edges, and the result
is reduced to exactly 1,250 opaque colours plus one transparent colour.
--preview also writes icon-128.png, icon-32.png and enlarged sheets on light
and dark backgrounds to DIR.
"""
import os
import random
import sys

sys.dont_write_bytecode = True

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from png import write_png  # noqa: E402
from quantise import median_cut  # noqa: E402
from raster import Camera, Frame, Sphere  # noqa: E402
from scene import cabinet, clamp  # noqa: E402
from xpm import cpp_source, xpm_lines  # noqa: E402

SIZE = 128
SS = 5
PALETTE = 1250
BOX = (7, 11, 118, 120)          # left, top, right, bottom of the opaque area, in pixels
OUTLINE = (44.0, 46.0, 45.0)
GENERATOR = "tools/icon/draw_icon.py"


def render():
    prims = cabinet()
    cam = Camera(yaw=36, pitch=22)
    corners = [c for p in prims if not isinstance(p, Sphere) for c in p.corners()]
    cam.fit(corners, *BOX)
    frame = Frame(cam, SIZE, SS)
    frame.draw(prims)
    colours = [None if p is None else p.material(h) for p, h in zip(frame.prim, frame.hit)]
    return frame, colours


def distance_to_background(frame):
    """Two-pass chamfer distance (in samples) from each covered sample to the nearest empty one."""
    n = frame.n
    big = 1e9
    d = [0.0 if p is None else big for p in frame.prim]
    diag = 1.4142
    for j in range(n):
        for i in range(n):
            k = j * n + i
            if d[k] == 0.0:
                continue
            best = d[k]
            if i > 0:
                best = min(best, d[k - 1] + 1)
            if j > 0:
                best = min(best, d[k - n] + 1)
                if i > 0:
                    best = min(best, d[k - n - 1] + diag)
                if i < n - 1:
                    best = min(best, d[k - n + 1] + diag)
            if i == 0 or j == 0 or i == n - 1 or j == n - 1:
                best = min(best, 1.0)
            d[k] = best
    for j in range(n - 1, -1, -1):
        for i in range(n - 1, -1, -1):
            k = j * n + i
            best = d[k]
            if best == 0.0:
                continue
            if i < n - 1:
                best = min(best, d[k + 1] + 1)
            if j < n - 1:
                best = min(best, d[k + n] + 1)
                if i < n - 1:
                    best = min(best, d[k + n + 1] + diag)
                if i > 0:
                    best = min(best, d[k + n - 1] + diag)
            d[k] = best
    return d


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def outline(frame, colours):
    """Darkens a band about 1.5 pixels wide inside the silhouette and along occluding edges."""
    n, ss = frame.n, frame.ss
    dist = distance_to_background(frame)
    for k, c in enumerate(colours):
        if c is not None:
            px = dist[k] / ss
            t = 1.0 if px <= 1.5 else max(0.0, 1.0 - (px - 1.5) / 0.5)
            if t > 0:
                colours[k] = mix(c, OUTLINE, 0.85 * t)
    # Where a near surface overlaps a far one, shade a thin line on the far side.
    depth = frame.depth
    marked = set()
    for j in range(n):
        for i in range(n):
            k = j * n + i
            if frame.prim[k] is None:
                continue
            for m in ((k + 1) if i < n - 1 else None, (k + n) if j < n - 1 else None):
                if m is None or frame.prim[m] is None:
                    continue
                if abs(depth[k] - depth[m]) > 1.2:
                    far = k if depth[k] < depth[m] else m
                    marked.add(far)
    for k in marked:
        colours[k] = mix(colours[k], OUTLINE, 0.55)


def downsample(frame, colours):
    """One pixel per SS x SS samples: opaque if at least half covered, mean of covered colours."""
    n, ss = frame.n, frame.ss
    rng = random.Random(1380)
    rows = []
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            got = [colours[(y * ss + j) * n + x * ss + i] for j in range(ss) for i in range(ss)]
            got = [c for c in got if c is not None]
            if 2 * len(got) < ss * ss:
                row.append(None)
                continue
            # A little noise before rounding so smooth areas give the quantiser enough colours.
            mean = [sum(c[i] for c in got) / len(got) + rng.gauss(0, 0.7) for i in range(3)]
            row.append(tuple(int(clamp(v + 0.5, 0, 255)) for v in mean))
        rows.append(row)
    return rows


def quantise(pixels):
    histogram = {}
    for row in pixels:
        for px in row:
            if px is not None:
                histogram[px] = histogram.get(px, 0) + 1
    mapping = median_cut(histogram, PALETTE)
    return [[None if px is None else mapping[px] for px in row] for row in pixels]


def to_rgba(pixels):
    return [[(0, 0, 0, 0) if px is None else px + (255,) for px in row] for row in pixels]


def shrink(rgba, f):
    """Alpha-weighted box filter by an integer factor."""
    out = []
    for y in range(len(rgba) // f):
        row = []
        for x in range(len(rgba[0]) // f):
            block = [rgba[y * f + j][x * f + i] for j in range(f) for i in range(f)]
            a = sum(p[3] for p in block)
            if a == 0:
                row.append((0, 0, 0, 0))
                continue
            rgb = tuple(int(sum(p[c] * p[3] for p in block) / a + 0.5) for c in range(3))
            row.append(rgb + (int(a / len(block) + 0.5),))
        out.append(row)
    return out


def sheet(rgba, zoom):
    """The picture enlarged on a light and on a dark background, side by side."""
    rows = []
    for y in range(len(rgba) * zoom):
        row = []
        for bg in ((236, 236, 236), (48, 52, 60)):
            for x in range(len(rgba[0]) * zoom):
                p = rgba[y // zoom][x // zoom]
                a = p[3] / 255
                row.append(tuple(int(p[c] * a + bg[c] * (1 - a) + 0.5) for c in range(3)) + (255,))
        rows.append(row)
    return rows


def write_previews(pixels, folder):
    os.makedirs(folder, exist_ok=True)
    big = to_rgba(pixels)
    small = shrink(big, 4)
    write_png(os.path.join(folder, "icon-128.png"), SIZE, SIZE, big)
    write_png(os.path.join(folder, "icon-32.png"), SIZE // 4, SIZE // 4, small)
    for name, img, zoom in (("sheet-128.png", big, 3), ("sheet-32.png", small, 8),
                            ("sheet-32-actual.png", small, 1)):
        s = sheet(img, zoom)
        write_png(os.path.join(folder, name), len(s[0]), len(s), s)


def main(argv):
    if len(argv) not in (2, 4) or (len(argv) == 4 and argv[2] != "--preview"):
        sys.exit(__doc__)
    frame, colours = render()
    outline(frame, colours)
    pixels = quantise(downsample(frame, colours))
    lines = xpm_lines(pixels)
    with open(argv[1], "w") as f:
        f.write(cpp_source(lines, GENERATOR))
    if len(argv) == 4:
        write_previews(pixels, argv[3])
    opaque = sum(px is not None for row in pixels for px in row)
    print(f"{argv[1]}: {len(lines)} lines, {opaque} opaque pixels")


if __name__ == "__main__":
    main(sys.argv)
