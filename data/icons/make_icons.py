#!/usr/bin/env python3
"""Draws the program icon as pixel art and writes it as PAM images.

Two overlapping file sheets: the source at the back with a highlighted byte
band, the destination at the front with the same band, and an arrow that
carries the band from one to the other.  Run from this folder, then quantise:

    python3 make_icons.py
    for s in 16 32 48; do
        convert tavmar-velmora-$s.pam -colors 16 PNG8:tavmar-velmora-$s.png
    done
"""

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

    def write_pam(self, path):
        with open(path, "wb") as f:
            f.write(b"P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\n"
                    b"TUPLTYPE RGB_ALPHA\nENDHDR\n" % (self.size, self.size))
            for row in self.px:
                for c in row:
                    f.write(bytes(c))


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
    for i in range(fold + 1):
        cv.put(x1 - fold, y0 + 1 + i, OUTLINE)
        cv.put(x1 - fold + i, y0 + fold, OUTLINE)
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
    """Fills the polygon and rings it with a one-pixel darker edge."""
    fill = {(x, y) for y in range(cv.size) for x in range(cv.size)
            if inside(x + 0.5, y + 0.5, pts)}
    for x, y in fill:
        for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
            if (x + dx, y + dy) not in fill:
                cv.put(x + dx, y + dy, ARROW_EDGE)
    for x, y in fill:
        cv.put(x, y, ARROW)


def icon32():
    cv = Canvas(32)
    sheet(cv, 1, 0, 18, 23, 5, True, set(range(9, 13)), 3)
    sheet(cv, 12, 8, 30, 31, 5, True, set(range(20, 24)), 3)
    # an arrow leaving the source band and turning into the copy's band
    arrow(cv, [(6, 13), (9, 13), (9, 20), (11, 20), (11, 17.5), (15.5, 22),
               (11, 26.5), (11, 24), (6, 24)])
    return cv


def icon48():
    cv = Canvas(48)
    sheet(cv, 2, 0, 27, 34, 7, True, set(range(13, 19)), 4)
    sheet(cv, 18, 12, 45, 47, 7, True, set(range(30, 36)), 4)
    arrow(cv, [(9, 19), (14, 19), (14, 30), (17, 30), (17, 26), (24, 33),
               (17, 40), (17, 36), (9, 36)])
    return cv


def icon16():
    cv = Canvas(16)
    sheet(cv, 0, 0, 9, 11, 3, False, {4, 5}, 2)
    sheet(cv, 6, 4, 15, 15, 3, False, {10, 11}, 2)
    arrow(cv, [(2, 6), (4, 6), (4, 10), (5, 10), (5, 8.5), (8, 11),
               (5, 13.5), (5, 12), (2, 12)])
    return cv


if __name__ == "__main__":
    icon16().write_pam("tavmar-velmora-16.pam")
    icon32().write_pam("tavmar-velmora-32.pam")
    icon48().write_pam("tavmar-velmora-48.pam")
