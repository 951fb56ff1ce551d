#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Draws the program icon and writes it as palette PNGs and as an SVG.

Two overlapping file sheets: the source at the back with a highlighted byte
band, the destination at the front with the same band, and an arrow that
carries the band from one to the other.

The small sizes are pixel art, drawn for their grid (16, 22, 24, 32 and 48
pixels).  The same drawing calls also record the shapes as polygons: the 48
pixel drawing is the scalable SVG and, rasterised, the 128 and 256 pixel
icons; the 32 pixel drawing at twice its size is the 64 pixel icon, so its
lines stay whole pixels wide.  Every PNG keeps the flat colours below, no
more than 16 with the transparent one.  Run from this folder:

    python3 make_icons.py              # the sizes below and the SVG
    python3 make_icons.py 16 32 48     # just those sizes

16, 32 and 48 are the window's own images and were written once with
ImageMagick (`convert x.pam -colors 16 PNG8:x.png`); this script gives the
same pixels, in other bytes, so they are left out by default.
"""

import struct
import sys
import zlib

OUTLINE = (40, 48, 64, 255)
PAPER = (250, 250, 246, 255)
PAPER_SHADE = (214, 220, 228, 255)
FOLD = (178, 188, 204, 255)
TEXT = (150, 160, 176, 255)
BAND = (255, 196, 32, 255)
BAND_EDGE = (214, 128, 0, 255)
ARROW = (30, 110, 220, 255)
ARROW_EDGE = (12, 56, 132, 255)
CLEAR = (0, 0, 0, 0)


class Canvas:
    def __init__(self, size):
        self.size = size
        self.px = [[CLEAR] * size for _ in range(size)]

    def put(self, x, y, c):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, c)

    def polygon(self, pts, c):
        """Fills the pixels whose centres lie inside the polygon."""
        for y in range(self.size):
            for x in range(self.size):
                if inside(x + 0.5, y + 0.5, pts):
                    self.put(x, y, c)

    def arrow(self, pts):
        """Fills the polygon and rings it with a one-pixel darker edge."""
        fill = {(x, y) for y in range(self.size) for x in range(self.size)
                if inside(x + 0.5, y + 0.5, pts)}
        for x, y in fill:
            for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                if (x + dx, y + dy) not in fill:
                    self.put(x + dx, y + dy, ARROW_EDGE)
        for x, y in fill:
            self.put(x, y, ARROW)

    def write_png(self, path):
        """A palette PNG, 8 bits an index, with the transparency of each
        palette entry in a tRNS chunk; no time or text chunks, so the same
        drawing gives the same bytes."""
        palette = sorted({c for row in self.px for c in row}, key=lambda c: (c[3], c))
        if len(palette) > 16:
            raise SystemExit("%s: %d colours, at most 16" % (path, len(palette)))
        index = {c: i for i, c in enumerate(palette)}
        raw = b"".join(b"\0" + bytes(index[c] for c in row) for row in self.px)

        def chunk(kind, data):
            body = kind + data
            return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n")
            f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", self.size, self.size, 8, 3, 0, 0, 0)))
            f.write(chunk(b"PLTE", b"".join(bytes(c[:3]) for c in palette)))
            f.write(chunk(b"tRNS", bytes(c[3] for c in palette)))
            f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
            f.write(chunk(b"IEND", b""))


class Shapes:
    """Takes the same drawing calls as Canvas and keeps them as polygons on
    the drawing's grid, painted in order: for any size and for the SVG."""

    def __init__(self, size):
        self.size = size
        self.shapes = []

    def put(self, x, y, c):
        self.rect(x, y, x, y, c)

    def rect(self, x0, y0, x1, y1, c):
        # A run of pixels put one by one becomes one rectangle, so a
        # smoothing renderer shows no seams between them.
        if self.shapes and self.shapes[-1][1] == c and len(self.shapes[-1][0]) == 4:
            (a, b), (p, _), (_, q), _ = self.shapes[-1][0]
            if (a, p) == (x0, x1 + 1) and q == y0 or (b, q) == (y0, y1 + 1) and p == x0:
                x0, y0 = min(a, x0), min(b, y0)
                x1, y1 = max(p - 1, x1), max(q - 1, y1)
                self.shapes.pop()
        self.polygon([(x0, y0), (x1 + 1, y0), (x1 + 1, y1 + 1), (x0, y1 + 1)], c)

    def polygon(self, pts, c):
        self.shapes.append((list(pts), c))

    def arrow(self, pts):
        self.polygon(grown(pts, 1), ARROW_EDGE)
        self.polygon(pts, ARROW)

    def raster(self, size):
        """The drawing at `size` pixels: each pixel takes the colour of the
        last shape that holds its centre."""
        cv = Canvas(size)
        scale = self.size / size
        for pts, c in self.shapes:
            xs = [x for x, _ in pts]
            ys = [y for _, y in pts]
            for y in range(max(0, int(min(ys) / scale) - 1), min(size, int(max(ys) / scale) + 2)):
                for x in range(max(0, int(min(xs) / scale) - 1),
                               min(size, int(max(xs) / scale) + 2)):
                    if inside((x + 0.5) * scale, (y + 0.5) * scale, pts):
                        cv.put(x, y, c)
        return cv

    def write_svg(self, path):
        with open(path, "w", encoding="utf-8") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n'
                    "<!-- SPDX-License-Identifier: GPL-3.0-or-later -->\n"
                    "<!-- Written by make_icons.py from its %d pixel drawing. -->\n"
                    '<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
                    'viewBox="0 0 %d %d">\n' % ((self.size,) * 5))
            for pts, c in self.shapes:
                d = "M" + " L".join("%s %s" % (number(x), number(y)) for x, y in pts) + " Z"
                f.write('  <path d="%s" fill="#%02x%02x%02x"/>\n' % ((d,) + c[:3]))
            f.write("</svg>\n")


def number(v):
    """A coordinate as short as it can be written exactly enough."""
    text = "%.3f" % v
    return text.rstrip("0").rstrip(".")


def grown(pts, d):
    """The polygon moved outwards by `d` on every side, corners mitred: the
    arrow's edge, as the pixel drawings ring the arrow with one pixel."""
    n = len(pts)
    area = sum(pts[i][0] * pts[(i + 1) % n][1] - pts[(i + 1) % n][0] * pts[i][1]
               for i in range(n))
    turn = 1 if area > 0 else -1
    lines = []
    for i in range(n):
        (x0, y0), (x1, y1) = pts[i], pts[(i + 1) % n]
        length = ((x1 - x0) ** 2 + (y1 - y0) ** 2) ** 0.5
        # the outward normal: right of the edge for a clockwise polygon on
        # a y-down grid, left for an anticlockwise one
        nx, ny = turn * (y1 - y0) / length, -turn * (x1 - x0) / length
        lines.append(((x0 + d * nx, y0 + d * ny), (x1 - x0, y1 - y0)))
    out = []
    for i in range(n):
        (px, py), (dx, dy) = lines[i - 1]
        (qx, qy), (ex, ey) = lines[i]
        det = dx * ey - dy * ex
        t = ((qx - px) * ey - (qy - py) * ex) / det
        out.append((px + t * dx, py + t * dy))
    return out


def inside(x, y, pts):
    result = False
    n = len(pts)
    for i in range(n):
        x0, y0 = pts[i]
        x1, y1 = pts[(i + 1) % n]
        if (y0 > y) != (y1 > y):
            if x < x0 + (y - y0) * (x1 - x0) / (y1 - y0):
                result = not result
    return result


def sheet(cv, x0, y0, x1, y1, fold, lines, band_rows, line_step):
    """A sheet with a folded top-right corner, text lines and a byte band."""
    outline = [(x0, y0), (x1 - fold, y0), (x1 + 1, y0 + fold + 1),
               (x1 + 1, y1 + 1), (x0, y1 + 1)]
    cv.polygon(outline, OUTLINE)
    inner = [(x0 + 1, y0 + 1), (x1 - fold, y0 + 1), (x1, y0 + fold + 1),
             (x1, y1), (x0 + 1, y1)]
    cv.polygon(inner, PAPER)
    # shade along the right and bottom edge for depth
    for y in range(y0 + fold + 1, y1):
        cv.put(x1 - 1, y, PAPER_SHADE)
    for x in range(x0 + 1, x1):
        cv.put(x, y1 - 1, PAPER_SHADE)
    # the folded corner
    cv.polygon([(x1 - fold, y0 + 1), (x1 - fold, y0 + fold + 1),
                (x1, y0 + fold + 1)], FOLD)
    cv.rect(x1 - fold, y0 + 1, x1 - fold, y0 + fold + 1, OUTLINE)
    cv.rect(x1 - fold, y0 + fold, x1, y0 + fold, OUTLINE)
    if lines:
        y = y0 + fold + 2
        while y < y1 - 1:
            if y not in band_rows:
                cv.rect(x0 + 2, y, x1 - 3, y, TEXT)
            y += line_step
    if band_rows:
        top, bottom = min(band_rows), max(band_rows)
        cv.rect(x0 + 1, top, x1 - 1, bottom, BAND)
        if bottom - top >= 3:
            cv.rect(x0 + 1, top, x1 - 1, top, BAND_EDGE)
            cv.rect(x0 + 1, bottom, x1 - 1, bottom, BAND_EDGE)


def arrow(cv, pts):
    cv.arrow(pts)


def draw16(cv):
    sheet(cv, 0, 0, 9, 11, 3, False, {4, 5}, 2)
    sheet(cv, 6, 4, 15, 15, 3, False, {10, 11}, 2)
    arrow(cv, [(2, 6), (4, 6), (4, 10), (5, 10), (5, 8.5), (8, 11),
               (5, 13.5), (5, 12), (2, 12)])
    return cv


def draw22(cv):
    sheet(cv, 0, 0, 12, 15, 4, True, {6, 7, 8}, 3)
    sheet(cv, 8, 6, 21, 21, 4, True, {15, 16, 17}, 3)
    arrow(cv, [(3, 9), (6, 9), (6, 15), (7, 15), (7, 12.5), (11, 16.5),
               (7, 20.5), (7, 18), (3, 18)])
    return cv


def draw24(cv):
    sheet(cv, 0, 0, 13, 16, 4, True, {6, 7, 8}, 3)
    sheet(cv, 9, 6, 23, 23, 4, True, {16, 17, 18}, 3)
    arrow(cv, [(4, 9), (7, 9), (7, 16), (8, 16), (8, 13.5), (12, 17.5),
               (8, 21.5), (8, 19), (4, 19)])
    return cv


def draw32(cv):
    sheet(cv, 1, 0, 18, 23, 5, True, set(range(9, 13)), 3)
    sheet(cv, 12, 8, 30, 31, 5, True, set(range(20, 24)), 3)
    # an arrow leaving the source band and turning into the copy's band
    arrow(cv, [(6, 13), (9, 13), (9, 20), (11, 20), (11, 17.5), (15.5, 22),
               (11, 26.5), (11, 24), (6, 24)])
    return cv


def draw48(cv):
    sheet(cv, 2, 0, 27, 34, 7, True, set(range(13, 19)), 4)
    sheet(cv, 18, 12, 45, 47, 7, True, set(range(30, 36)), 4)
    arrow(cv, [(9, 19), (14, 19), (14, 30), (17, 30), (17, 26), (24, 33),
               (17, 40), (17, 36), (9, 36)])
    return cv


# Each size: how it is drawn.
ICONS = {
    16: lambda: draw16(Canvas(16)),
    22: lambda: draw22(Canvas(22)),
    24: lambda: draw24(Canvas(24)),
    32: lambda: draw32(Canvas(32)),
    48: lambda: draw48(Canvas(48)),
    64: lambda: draw32(Shapes(32)).raster(64),
    128: lambda: draw48(Shapes(48)).raster(128),
    256: lambda: draw48(Shapes(48)).raster(256),
}
# Written once and kept: the window's own images (see above).
KEPT = (16, 32, 48)


if __name__ == "__main__":
    sizes = [int(a) for a in sys.argv[1:]] or [s for s in ICONS if s not in KEPT]
    for size in sizes:
        ICONS[size]().write_png("tavmar-velmora-%d.png" % size)
    if not sys.argv[1:]:
        draw48(Shapes(48)).write_svg("tavmar-velmora.svg")
