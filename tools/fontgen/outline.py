"""Polygon geometry for the Glimra generator.

Glyphs are drawn as unions of convex pieces (broad-nib strokes and plain
polygons) minus holes. `merge` turns such a set into clean, non-overlapping
contours with the filled area on the left of every edge, which is the
PostScript/CFF orientation (outer contours counter-clockwise, holes clockwise,
in y-up font units). Arithmetic is exact (integers and fractions), so the
result does not depend on the platform's floating point.
"""

from fractions import Fraction
import math


def signed_area(poly):
    area = 0
    for i in range(len(poly)):
        x0, y0 = poly[i]
        x1, y1 = poly[(i + 1) % len(poly)]
        area += x0 * y1 - x1 * y0
    return Fraction(area, 2)


def convex_hull(points):
    """Counter-clockwise hull (monotone chain) of integer points."""
    pts = sorted(set(points))
    if len(pts) <= 2:
        return pts

    def cross(o, a, b):
        return (a[0] - o[0]) * (b[1] - o[1]) - (a[1] - o[1]) * (b[0] - o[0])

    lower, upper = [], []
    for p in pts:
        while len(lower) >= 2 and cross(lower[-2], lower[-1], p) <= 0:
            lower.pop()
        lower.append(p)
    for p in reversed(pts):
        while len(upper) >= 2 and cross(upper[-2], upper[-1], p) <= 0:
            upper.pop()
        upper.append(p)
    return lower[:-1] + upper[:-1]


class Nib:
    """A broad pen: a thin rectangle `width` long and `thickness` thick, held at
    `angle` degrees. Sweeping it along a path gives thick verticals, medium
    horizontals, hairlines along the pen angle and sharp slanted ends."""

    def __init__(self, width, thickness, angle):
        a = math.radians(angle)
        ux, uy = math.cos(a) * width / 2, math.sin(a) * width / 2
        px, py = -math.sin(a) * thickness / 2, math.cos(a) * thickness / 2
        self.corners = [
            (round(ux + px), round(uy + py)),
            (round(-ux + px), round(-uy + py)),
            (round(-ux - px), round(-uy - py)),
            (round(ux - px), round(uy - py)),
        ]

    def stroke(self, points):
        pieces = []
        for (x0, y0), (x1, y1) in zip(points, points[1:]):
            pts = [(x0 + cx, y0 + cy) for cx, cy in self.corners]
            pts += [(x1 + cx, y1 + cy) for cx, cy in self.corners]
            pieces.append(convex_hull(pts))
        if len(points) == 1:
            x0, y0 = points[0]
            pieces.append(convex_hull([(x0 + cx, y0 + cy) for cx, cy in self.corners]))
        return pieces


def _inside(poly, x, y):
    inside = False
    n = len(poly)
    for i in range(n):
        x0, y0 = poly[i]
        x1, y1 = poly[(i + 1) % n]
        if (y0 > y) != (y1 > y):
            xi = x0 + (y - y0) * (x1 - x0) / (y1 - y0)
            if xi > x:
                inside = not inside
    return inside


def _split_points(a, b, c, d):
    """Parameters along a->b where segment c->d touches it."""
    ax, ay = a
    bx, by = b
    cx, cy = c
    dx, dy = d
    rx, ry = bx - ax, by - ay
    sx, sy = dx - cx, dy - cy
    denom = rx * sy - ry * sx
    qx, qy = cx - ax, cy - ay
    out = []
    if denom == 0:
        if qx * ry - qy * rx != 0:
            return out  # parallel, apart
        rr = rx * rx + ry * ry
        for px, py in (c, d):
            t = Fraction((px - ax) * rx + (py - ay) * ry, rr)
            if 0 < t < 1:
                out.append(t)
        return out
    t = Fraction(qx * sy - qy * sx, denom)
    u = Fraction(qx * ry - qy * rx, denom)
    if 0 < t < 1 and 0 <= u <= 1:
        out.append(t)
    return out


def merge(positive, negative=()):
    """Union of `positive` minus union of `negative`, as closed contours."""
    polys = [p for p in positive if len(p) >= 3 and signed_area(p) != 0]
    holes = [p for p in negative if len(p) >= 3 and signed_area(p) != 0]

    def filled(x, y):
        return any(_inside(p, x, y) for p in polys) and not any(_inside(h, x, y) for h in holes)

    edges = []
    for p in polys + holes:
        for i in range(len(p)):
            a, b = p[i], p[(i + 1) % len(p)]
            if a != b:
                edges.append((tuple(map(Fraction, a)), tuple(map(Fraction, b))))

    pieces = {}
    for i, (a, b) in enumerate(edges):
        ts = {Fraction(0), Fraction(1)}
        for j, (c, d) in enumerate(edges):
            if i != j:
                ts.update(_split_points(a, b, c, d))
        ts = sorted(ts)
        pts = [(a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t) for t in ts]
        for p, q in zip(pts, pts[1:]):
            if p != q:
                pieces[frozenset((p, q))] = (p, q)

    eps = Fraction(1, 10 ** 6)
    kept = []
    for p, q in pieces.values():
        mx, my = (p[0] + q[0]) / 2, (p[1] + q[1]) / 2
        nx, ny = -(q[1] - p[1]), q[0] - p[0]
        left = filled(mx + nx * eps, my + ny * eps)
        right = filled(mx - nx * eps, my - ny * eps)
        if left and not right:
            kept.append((p, q))
        elif right and not left:
            kept.append((q, p))

    outgoing = {}
    for seg in kept:
        outgoing.setdefault(seg[0], []).append(seg)
    used = set()
    contours = []
    for seg in sorted(kept):
        if seg in used:
            continue
        loop = []
        cur = seg
        while cur not in used:
            used.add(cur)
            loop.append(cur[0])
            options = [s for s in outgoing.get(cur[1], []) if s not in used]
            if not options:
                break
            if len(options) > 1:
                # At a point where two contours touch, turn right so that
                # each contour stays simple.
                dx, dy = cur[1][0] - cur[0][0], cur[1][1] - cur[0][1]

                def turn(s):
                    ex, ey = s[1][0] - s[0][0], s[1][1] - s[0][1]
                    return math.atan2(float(dx * ey - dy * ex), float(dx * ex + dy * ey))

                options.sort(key=turn)
            cur = options[0]
        contours.append(_tidy(loop))
    return [c for c in contours if len(c) >= 3]


def _tidy(loop):
    pts = [(round(x), round(y)) for x, y in loop]
    changed = True
    while changed and len(pts) >= 3:
        changed = False
        out = []
        n = len(pts)
        for i in range(n):
            prev, cur, nxt = pts[i - 1], pts[i], pts[(i + 1) % n]
            if cur == prev:
                changed = True
                continue
            cross = (cur[0] - prev[0]) * (nxt[1] - cur[1]) - (cur[1] - prev[1]) * (nxt[0] - cur[0])
            if cross == 0:
                changed = True
                continue
            out.append(cur)
        pts = out
    # Start every contour at its lowest-leftmost point for a stable order.
    if pts:
        k = min(range(len(pts)), key=lambda i: (pts[i][1], pts[i][0]))
        pts = pts[k:] + pts[:k]
    return pts
