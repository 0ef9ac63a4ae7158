"""The picture: a two-drawer filing cabinet with the lower drawer pulled out.

Units are arbitrary (the camera is fitted to the pixel box afterwards). x runs
along the drawer fronts to the right, y up, z from the fronts to the back.
Every material is a function from the hit (world point, or normal on spheres)
to an RGB triple of floats.
"""
import math

from raster import Quad, Sphere, dot, normalize

W, D, H = 63.0, 66.0, 74.0     # body width, depth, height with lid
LID = 2.5                      # lid thickness
PLINTH = 3.0                   # recessed base height
PROUD = 1.5                    # drawer fronts stand out of the body by this much
PULL = 24.0                    # how far the lower drawer is out
FX0, FX1 = 1.5, W - 1.5        # drawer front left/right edges
UPPER = (38.0, 69.0)           # drawer front bottom/top edges
LOWER = (5.0, 36.0)

LIGHT = normalize((-0.55, 0.75, -0.45))


def clamp(v, lo=0.0, hi=255.0):
    return lo if v < lo else hi if v > hi else v


def smooth(e0, e1, v):
    t = clamp((v - e0) / (e1 - e0), 0.0, 1.0)
    return t * t * (3 - 2 * t)


def grey(level):
    """Metal grey with the faint green cast of painted steel; pure white stays white."""
    w = clamp((255.0 - level) / 12.0, 0.0, 1.0)
    return (level - 2.0 * w, level, level - 1.0 * w)


def scaled(rgb, f):
    return (rgb[0] * f, rgb[1] * f, rgb[2] * f)


def box(x0, x1, y0, y1, z0, z1, mat):
    """The six faces of an axis-aligned box; `mat` is one material or a dict by face name."""
    dx, dy, dz = x1 - x0, y1 - y0, z1 - z0
    faces = {
        "front": ((x0, y0, z0), (dx, 0, 0), (0, dy, 0), (0, 0, -1)),
        "back": ((x0, y0, z1), (dx, 0, 0), (0, dy, 0), (0, 0, 1)),
        "left": ((x0, y0, z0), (0, 0, dz), (0, dy, 0), (-1, 0, 0)),
        "right": ((x1, y0, z0), (0, 0, dz), (0, dy, 0), (1, 0, 0)),
        "bottom": ((x0, y0, z0), (dx, 0, 0), (0, 0, dz), (0, -1, 0)),
        "top": ((x0, y1, z0), (dx, 0, 0), (0, 0, dz), (0, 1, 0)),
    }
    out = []
    for name, (o, a, b, n) in faces.items():
        m = mat.get(name) if isinstance(mat, dict) else mat
        if m is not None:
            out.append(Quad(o, a, b, n, m))
    return out


def flat(level):
    c = grey(level)
    return lambda p: c


# --- the body -------------------------------------------------------------

def side_panel(p):
    # Lit from the upper left: the right-hand panel darkens towards the back and the floor.
    fz = p[2] / D
    fy = (p[1] - PLINTH) / (H - PLINTH)
    return grey(212 - 50 * fz - 46 * (1 - fy) + 8 * fz * fy)


def lid_top(p):
    return grey(255 - 9 * (p[2] / D) - 4 * (p[0] / W))


def lid_front(p):
    return grey(240 - 4 * (p[0] / W))


def lid_side(p):
    return grey(206 - 34 * (p[2] / D))


def body_front(p):
    x, y = p[0], p[1]
    if FX0 < x < FX1 and LOWER[0] < y < LOWER[1]:
        # The opening the lower drawer came out of: dark inside, a little light at the top lip.
        return grey(58 + 30 * smooth(LOWER[1] - 3, LOWER[1], y))
    return grey(200 - 10 * (x / W))


# --- drawers ----------------------------------------------------------------

def handle_path(y0, y1, z, t):
    """Point t (0..1) along the bow handle of the drawer front spanning y0..y1 at depth z."""
    a = math.pi * t
    hy = y0 + (y1 - y0) * 0.42
    return (W / 2 - 11.0 * math.cos(a), hy - 1.8 * math.sin(a), z - 0.4 - 4.0 * math.sin(a))


def label_box(y0, y1):
    ly = y0 + (y1 - y0) * 0.64
    return (W / 2 - 9.0, W / 2 + 9.0, ly, ly + 7.0)


def handle_shadow(x, y, y0, y1, z):
    # Soft shadow the bow casts down and to the right on the front.
    best = 1e9
    for k in range(25):
        h = handle_path(y0, y1, z, k / 24)
        out = z - h[2]
        sx, sy = h[0] + 0.6 * out, h[1] - 0.9 * out - 0.4
        best = min(best, math.hypot(x - sx, y - sy))
    return 1 - 0.16 * (1 - smooth(0.6, 2.8, best))


def drawer_front(y0, y1, z):
    w, h = FX1 - FX0, y1 - y0

    def shade(p):
        x, y = p[0], p[1]
        level = 250 - 13 * (1 - (y - y0) / h) - 7 * ((x - FX0) / w)
        # Pressed rim: bright on the top and left lip, darker on the bottom and right lip.
        if y1 - y < 1.1:
            level += 6
        elif x - FX0 < 1.1:
            level += 3
        if y - y0 < 1.1:
            level -= 26
        elif FX1 - x < 1.1:
            level -= 18
        if abs(x - W / 2) < 15 and y < y0 + h * 0.62:
            level *= handle_shadow(x, y, y0, y1, z)
        return grey(level)
    return shade


def drawer_face(y0, y1, z):
    """The front panel of one drawer with its label holder and handle, front face at depth z."""
    prims = box(FX0, FX1, y0, y1, z, z + PROUD, {
        "front": drawer_front(y0, y1, z), "top": flat(255), "right": flat(192)})
    lx0, lx1, ly0, ly1 = label_box(y0, y1)
    prims += box(lx0, lx1, ly0, ly1, z - 0.6, z, {
        "front": flat(168), "top": flat(230), "right": flat(140), "bottom": flat(110)})
    prims += box(lx0 + 1.0, lx1 - 1.0, ly0 + 1.0, ly1 - 1.0, z - 0.65, z, {"front": label_card(ly0, ly1)})
    for k in range(121):
        prims.append(Sphere(handle_path(y0, y1, z, k / 120), 1.5, metal))
    for t in (0.0, 1.0):
        hx = handle_path(y0, y1, z, t)
        prims += box(hx[0] - 1.8, hx[0] + 1.8, hx[1] - 2.2, hx[1] + 2.2, z - 0.5, z, {
            "front": flat(200), "top": flat(236), "right": flat(150), "bottom": flat(120)})
    return prims


def label_card(ly0, ly1):
    mid = (ly0 + ly1) / 2

    def shade(p):
        x, y = p[0], p[1]
        level = 250 - 3 * (ly1 - y)
        if abs(y - mid) < 0.55 and abs(x - W / 2) < 5.0:
            level = 185          # a written line on the card
        return (level, level - 1, level - 7)
    return shade


def metal(n):
    diffuse = max(0.0, dot(n, LIGHT))
    glint = max(0.0, n[0] * -0.35 + n[1] * 0.8 + n[2] * -0.48) ** 24
    rim = 1 - max(0.0, -n[2] * 0.7 + n[0] * 0.5)
    return grey(clamp(62 + 150 * diffuse + 120 * glint - 18 * rim, 47, 255))


def drawer_outer_side(p):
    # Out in the light at the front, in the cabinet's shadow where it goes in.
    out = clamp(-p[2] / PULL, 0, 1)
    return grey(150 + 48 * out + 8 * (p[1] - LOWER[0]) / (LOWER[1] - LOWER[0]))


def khaki(level):
    return (level, level * 0.93, level * 0.72)


def drawer_inner_wall(p):
    depth = clamp((p[1] - LOWER[0]) / (LOWER[1] - LOWER[0]), 0, 1)
    return khaki(150 + 60 * depth - 20 * clamp((p[2] + PULL) / PULL, 0, 1))


PAPER_TONES = [(244, 237, 210), (226, 208, 156), (238, 228, 196), (214, 194, 138), (247, 242, 222)]


def folder(colour, top):
    def shade(p):
        f = 1 - 0.42 * smooth(0, 6, top - p[1])
        return scaled(colour, f)
    return shade


def folder_edge(colour):
    bright = tuple(min(255.0, c * 1.04 + 4) for c in colour)
    return lambda p: bright


def lower_drawer():
    z = -PULL - PROUD
    zf, zb = -PULL, D - PULL - 2
    wall_top = LOWER[1] - 4.0
    prims = drawer_face(*LOWER, z)
    prims += box(FX0 + 1.5, FX0 + 2.5, LOWER[0] + 1, wall_top, zf, zb, {
        "right": drawer_inner_wall, "top": flat(222)})
    prims += box(FX1 - 2.5, FX1 - 1.5, LOWER[0] + 1, wall_top, zf, zb, {
        "right": drawer_outer_side, "top": flat(226)})
    tab_at = [0.08, 0.55, 0.3, 0.75, 0.18, 0.62, 0.4]
    k = 0
    zc = zf + 1.4
    while zc < 2.0:
        colour = PAPER_TONES[k % len(PAPER_TONES)]
        top = wall_top + 0.6 + 1.6 * math.sin(k * 2.3) + (1.2 if k % 3 == 0 else 0)
        x0, x1 = FX0 + 3.0, FX1 - 3.0
        prims += box(x0, x1, LOWER[0] + 1, top, zc, zc + 0.7, {
            "front": folder(colour, top), "top": folder_edge(colour)})
        if k % 2 == 0:
            tx = x0 + (x1 - x0 - 11) * tab_at[(k // 2) % len(tab_at)]
            prims += box(tx, tx + 11, top - 0.5, top + 2.8, zc, zc + 0.7, {
                "front": folder(colour, top + 2.8), "top": folder_edge(colour)})
        zc += 2.1
        k += 1
    return prims


def cabinet():
    prims = []
    prims += box(0, W, PLINTH, H - LID, 0, D, {
        "front": body_front, "right": side_panel, "top": flat(240)})
    prims += box(2.0, W - 2.0, 0, PLINTH, 2.0, D - 2.0, {"front": flat(92), "right": flat(64)})
    prims += box(-0.7, W + 0.7, H - LID, H, -0.7, D + 0.7, {
        "front": lid_front, "top": lid_top, "right": lid_side})
    prims += drawer_face(*UPPER, -PROUD)
    prims += lower_drawer()
    return prims
