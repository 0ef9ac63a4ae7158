"""Z-buffered rasteriser for flat quads and spheres, sampled on a fine grid.

Each sample keeps the nearest primitive and the world point (or sphere normal)
it hit; colours are worked out afterwards, once per visible sample.
"""
import math


def dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def normalize(a):
    n = math.sqrt(dot(a, a))
    return (a[0] / n, a[1] / n, a[2] / n)


class Camera:
    """Orthographic view from `yaw` degrees to the right of the -z axis and `pitch` above."""

    def __init__(self, yaw, pitch):
        th, ph = math.radians(yaw), math.radians(pitch)
        self.view = (math.sin(th) * math.cos(ph), math.sin(ph), -math.cos(th) * math.cos(ph))
        self.right = normalize(cross(self.view, (0.0, 1.0, 0.0)))
        self.up = cross(self.right, self.view)
        self.scale, self.ox, self.oy = 1.0, 0.0, 0.0

    def project(self, p):
        return (dot(p, self.right) * self.scale + self.ox, -dot(p, self.up) * self.scale + self.oy)

    def depth(self, p):
        return dot(p, self.view)

    def fit(self, points, left, top, right, bottom):
        """Scales and centres the view so that `points` fill the pixel box."""
        xs = [dot(p, self.right) for p in points]
        ys = [-dot(p, self.up) for p in points]
        self.scale = min((right - left) / (max(xs) - min(xs)), (bottom - top) / (max(ys) - min(ys)))
        self.ox = (left + right) / 2 - self.scale * (max(xs) + min(xs)) / 2
        self.oy = (top + bottom) / 2 - self.scale * (max(ys) + min(ys)) / 2


class Quad:
    """Parallelogram o + s*a + t*b (0 <= s, t <= 1) seen from the side `normal` points to."""

    def __init__(self, o, a, b, normal, material):
        self.o, self.a, self.b, self.normal, self.material = o, a, b, normal, material

    def corners(self):
        o, a, b = self.o, self.a, self.b
        return [o, tuple(o[i] + a[i] for i in range(3)), tuple(o[i] + b[i] for i in range(3)),
                tuple(o[i] + a[i] + b[i] for i in range(3))]


class Sphere:
    def __init__(self, centre, radius, material):
        self.centre, self.radius, self.material = centre, radius, material

    def corners(self):
        c, r = self.centre, self.radius
        return [(c[0] + dx, c[1] + dy, c[2] + dz) for dx in (-r, r) for dy in (-r, r) for dz in (-r, r)]


class Frame:
    """The sample grid: `size` x `size` pixels, `ss` x `ss` samples per pixel."""

    def __init__(self, camera, size, ss):
        self.camera, self.size, self.ss = camera, size, ss
        self.n = size * ss
        self.depth = [-1e30] * (self.n * self.n)
        self.prim = [None] * (self.n * self.n)
        self.hit = [None] * (self.n * self.n)

    def _span(self, lo, hi):
        """Sample indices whose centres lie in the pixel interval [lo, hi]."""
        ss = self.ss
        first = max(0, math.ceil(lo * ss - 0.5))
        last = min(self.n - 1, math.floor(hi * ss - 0.5))
        return range(first, last + 1)

    def draw_quad(self, q):
        cam = self.camera
        if dot(q.normal, cam.view) <= 0:
            return
        px, py = cam.project(q.o)
        ax, ay = (dot(q.a, cam.right) * cam.scale, -dot(q.a, cam.up) * cam.scale)
        bx, by = (dot(q.b, cam.right) * cam.scale, -dot(q.b, cam.up) * cam.scale)
        det = ax * by - ay * bx
        if abs(det) < 1e-12:
            return
        pts = [cam.project(c) for c in q.corners()]
        d0, da, db = cam.depth(q.o), cam.depth(q.a), cam.depth(q.b)
        inv = 1.0 / self.ss
        for j in self._span(min(p[1] for p in pts), max(p[1] for p in pts)):
            y = (j + 0.5) * inv - py
            row = j * self.n
            for i in self._span(min(p[0] for p in pts), max(p[0] for p in pts)):
                x = (i + 0.5) * inv - px
                s = (x * by - y * bx) / det
                t = (ax * y - ay * x) / det
                if s < 0 or s > 1 or t < 0 or t > 1:
                    continue
                z = d0 + s * da + t * db
                k = row + i
                if z > self.depth[k]:
                    self.depth[k] = z
                    self.prim[k] = q
                    self.hit[k] = tuple(q.o[m] + s * q.a[m] + t * q.b[m] for m in range(3))

    def draw_sphere(self, sp):
        cam = self.camera
        cx, cy = cam.project(sp.centre)
        rp = sp.radius * cam.scale
        cz = cam.depth(sp.centre)
        inv = 1.0 / self.ss
        for j in self._span(cy - rp, cy + rp):
            dy = ((j + 0.5) * inv - cy) / rp
            row = j * self.n
            for i in self._span(cx - rp, cx + rp):
                dx = ((i + 0.5) * inv - cx) / rp
                rest = 1.0 - dx * dx - dy * dy
                if rest < 0:
                    continue
                dz = math.sqrt(rest)
                z = cz + dz * sp.radius
                k = row + i
                if z > self.depth[k]:
                    self.depth[k] = z
                    self.prim[k] = sp
                    r, u, v = cam.right, cam.up, cam.view
                    self.hit[k] = tuple(dx * r[m] - dy * u[m] + dz * v[m] for m in range(3))

    def draw(self, prims):
        for p in prims:
            if isinstance(p, Sphere):
                self.draw_sphere(p)
            else:
                self.draw_quad(p)
