#!/usr/bin/python3
"""Generates Glimra, Dunmarrow's display typeface, as a CFF OpenType font.

Every glyph is drawn here from our own outline data: skeleton paths swept with
a broad pen (thick stems, hairline diagonals, slanted cuts) plus triangular
spikes and cut-outs, merged into clean contours by outline.merge. The output
is byte-for-byte reproducible: no timestamps or unordered data reach the file.

Usage: glimra.py [OUTPUT]   (default: DunmarrowAUExtension/Resources/Glimra.otf)
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fontTools.fontBuilder import FontBuilder  # noqa: E402
from fontTools.pens.t2CharStringPen import T2CharStringPen  # noqa: E402

from outline import Nib, merge  # noqa: E402

FAMILY = "Glimra"
VERSION = "1.000"
UPM = 1000
CAP = 700
XH = 500
ASC = 760
DESC = -200
# Fixed head.created/modified (2026-01-01 00:00 UTC, seconds since 1904-01-01).
TIMESTAMP = 3850156800

PEN = Nib(width=166, thickness=14, angle=25)
# How far the pen reaches above its centre (so nib-centre heights below put a
# vertical stroke's extreme corners exactly on the guide lines), half the
# width of a vertical stem, and how far below the centre the pen's left tip is.
REACH = max(y for _, y in PEN.corners)
HALF = max(x for x, _ in PEN.corners)
LEFT_TIP = min(PEN.corners)[1]
B = REACH            # baseline
X = XH - REACH       # x-height
C = CAP - REACH      # cap height
A = ASC - REACH      # ascender
D = DESC + REACH     # descender


class Glyph:
    def __init__(self):
        self.fill = []
        self.cut = []

    def s(self, *pts):
        """Sweep the pen along the points."""
        self.fill += PEN.stroke(list(pts))
        return self

    def p(self, *pts):
        """A filled polygon."""
        self.fill.append(list(pts))
        return self

    def h(self, *pts):
        """A polygon cut out of everything else."""
        self.cut.append(list(pts))
        return self

    def slab(self, x0, y0, x1, y1, width):
        """A straight band between two heights, `width` units across horizontally."""
        w = width // 2
        return self.p((x0 - w, y0), (x0 + w, y0), (x1 + w, y1), (x1 - w, y1))

    def dot(self, x, y, r=70):
        """A diamond (i's dot, full stop)."""
        return self.p((x, y - r), (x + r, y), (x, y + r), (x - r, y))

    # Metal trimmings -----------------------------------------------------
    def thorn(self, x, y, size=70):
        """A spike off the top-left corner of a stem centred at x, topping at y."""
        return self.p((x - HALF, y + LEFT_TIP - size), (x - HALF - size, y + 14), (x - 5, y + 14))

    def spur(self, x, y, size=62):
        """A spike off the bottom-right corner of a stem centred at x, ending at y."""
        return self.p((x + HALF, y - LEFT_TIP + size), (x + HALF + size, y - 14), (x + 5, y - 14))

    def horn(self, x, y, size=95):
        """A spike off the top-right corner of a stem centred at x, topping at y."""
        return self.p((x, y + 4), (x + HALF, y + REACH - 12), (x + HALF + size // 3, y + REACH + size))

    def contours(self):
        return merge(self.fill, self.cut)


def g():
    return Glyph()


# Lowercase ---------------------------------------------------------------
# Minims are a stem wide with counters of about 110 units between them.
GAP = 265
L, R = HALF, HALF + GAP


def lc_n():
    return (g().s((L, B), (L, X)).s((L, X - 70), (R, X)).s((R, X), (R, B))
            .thorn(L, X).spur(R, B).horn(R, X))


def lc_m():
    M = R + GAP
    return (g().s((L, B), (L, X)).s((L, X - 70), (R, X)).s((R, X), (R, B))
            .s((R, X - 70), (M, X)).s((M, X), (M, B)).thorn(L, X).spur(M, B).horn(M, X))


def lc_u():
    return (g().s((L, X), (L, B)).s((L, B), (R, B + 70)).s((R, B), (R, X))
            .thorn(L, X).thorn(R, X).spur(R, B))


def lc_i():
    return g().s((L, B), (L, X)).thorn(L, X).spur(L, B).dot(L, X + 190)


def lc_j():
    return (g().s((R - 120, X), (R - 120, B - 60), (R - 240, D)).thorn(R - 120, X)
            .dot(R - 120, X + 190))


def lc_l():
    return g().s((L, B), (L, A)).thorn(L, A).spur(L, B)


def lc_o():
    return (g().s((L, B + 40), (L, X - 70), (L + 90, X)).s((L + 90, X), (R, X - 20), (R, B + 70),
                                                           (R - 90, B)).s((R - 90, B), (L, B + 40)))


def lc_c():
    return (g().s((L, B + 40), (L, X - 70), (L + 90, X), (R, X - 20))
            .s((L, B + 40), (L + 90, B), (R, B + 20)).p((R + 60, X + 36), (R - 40, X - 30), (R + 10, X - 120)))


def lc_e():
    return (g().s((L, B + 40), (L, X - 70), (L + 90, X), (R, X - 20), (R, 260), (L, 230))
            .s((L, B + 40), (L + 90, B), (R + 10, B + 30)))


def lc_d():
    return (g().s((R, B), (R, A)).s((R, X - 20), (L + 90, X), (L, X - 70), (L, B + 40), (L + 90, B),
                                   (R, B + 60)).spur(R, B).thorn(R, A))


def lc_b():
    return (g().s((L, B), (L, A)).s((L, X - 60), (R - 90, X), (R, X - 70), (R, B + 40), (R - 90, B),
                                   (L, B)).thorn(L, A))


def lc_p():
    return (g().s((L, D), (L, X)).s((L, X - 60), (R - 90, X), (R, X - 70), (R, B + 40), (R - 90, B),
                                   (L, B + 30)).thorn(L, X).p((L - 110, D - 36), (L + HALF, D - 36),
                                                             (L + HALF, D + 40)))


def lc_q():
    return (g().s((R, D), (R, X)).s((R, X - 20), (L + 90, X), (L, X - 70), (L, B + 40), (L + 90, B),
                                   (R, B + 40)).p((R + 110, D - 36), (R - HALF, D - 36), (R - HALF, D + 40)))


def lc_h():
    return (g().s((L, B), (L, A)).s((L, X - 70), (R, X)).s((R, X), (R, B - 20), (R - 80, D))
            .thorn(L, A).horn(R, X).spur(L, B))


def lc_k():
    return (g().s((L, B), (L, A)).thorn(L, A).spur(L, B)
            .s((L, 230), (R - 30, X), (R + 20, X - 40))
            .s((L + 60, 260), (R, B)).spur(R, B))


def lc_r():
    return (g().s((L, B), (L, X)).s((L, X - 70), (R - 40, X)).thorn(L, X).spur(L, B)
            .p((R + 40, X + 36), (R - 60, X - 36), (R - 20, X - 140)))


def lc_a():
    return (g().s((R, B), (R, X)).s((L + 20, X - 40), (R - 60, X)).spur(R, B)
            .s((R, 300), (L, 260), (L, B + 40), (L + 90, B), (R, B + 50)))


def lc_g():
    return (g().s((R, X), (R, B - 40), (R - 90, D), (L, D + 30))
            .s((R, X - 20), (L + 90, X), (L, X - 70), (L, B + 60), (L + 90, B + 20), (R, B + 60))
            .p((R + 60, X + 36), (R + HALF, X - 40), (R - 10, X + 36)))


def lc_s():
    return (g().s((R, X - 20), (L + 90, X), (L, X - 80), (L, X - 140), (R, 180), (R, B + 80),
                  (R - 90, B), (L - 10, B + 20))
            .p((R + 50, X + 60), (R + 30, X - 100), (R - 40, X)))


def lc_t():
    return (g().s((L, X + 120), (L, B + 40), (L + 60, B), (R - 20, B + 30))
            .s((L - 40, X), (R - 30, X)).thorn(L, X + 120))


def lc_f():
    return (g().s((L, B), (L, A - 60), (L + 90, A), (R, A - 10)).s((L - 40, X), (R - 40, X))
            .spur(L, B).p((R + 40, A + 50), (R - 40, A - 20), (R + 10, A - 110)))


def lc_v():
    return (g().s((L, X), (L, B + 150), (L + 120, B - 10)).s((L + 120, B), (R, B + 150), (R, X))
            .thorn(L, X).thorn(R, X))


def lc_w():
    M = R + GAP
    return (g().s((L, X), (L, B + 120), (L + 100, B - 10)).s((L + 100, B), (R, B + 110), (R, X - 40))
            .s((R, B + 110), (R + 100, B - 10)).s((R + 100, B), (M, B + 120), (M, X))
            .thorn(L, X).thorn(R, X - 40).thorn(M, X))


def lc_x():
    return (g().s((L - 10, X), (R + 10, B)).slab(R + 10, X + REACH, L - 10, B - REACH, 100)
            .thorn(L, X).spur(R, B))


def lc_y():
    return (g().s((L, X), (L, B + 40), (L + 60, B), (R, B + 50)).s((R, X), (R, B - 40), (R - 90, D), (L - 10, D + 30))
            .thorn(L, X).thorn(R, X))


def lc_z():
    return (g().s((L - 10, X), (R + 10, X)).slab(R - 20, X, L + 20, B, 150).s((L - 10, B), (R + 10, B))
            .thorn(L - 10, X).spur(R + 10, B))


# Capitals ----------------------------------------------------------------
# Capitals share the lowercase pen; their stems are centred at L and CR.
CR = 470


def uc_A():
    return (g().s((L - 20, B), (255, C + 20)).s((255, C + 20), (500, B))
            .s((150, 230), (400, 230)).spur(500, B).p((255, C + 100), (200, C - 40), (320, C - 40)))


def uc_B():
    return (g().s((L, B), (L, C)).s((L, C), (320, C), (400, C - 70), (400, 450), (320, 380), (L, 380))
            .s((L, 380), (350, 380), (440, 300), (440, 110), (350, B), (L, B)).thorn(L, C))


def uc_C():
    return (g().s((450, C - 10), (L + 100, C), (L, C - 110), (L, B + 100), (L + 100, B), (460, B + 40))
            .p((470, C + 90), (400, C - 40), (470, C - 150)))


def uc_D():
    return (g().s((L, B), (L, C)).s((L, C), (320, C), (CR, C - 120), (CR, B + 130), (320, B), (L, B))
            .thorn(L, C))


def uc_E():
    return (g().s((L, B), (L, C)).s((L, C), (400, C)).s((L, 370), (330, 370)).s((L, B), (420, B))
            .thorn(L, C).p((430, C + 80), (350, C), (430, C - 110)).p((450, B - 70), (370, B), (450, B + 110)))


def uc_F():
    return (g().s((L, B), (L, C)).s((L, C), (400, C)).s((L, 370), (330, 370))
            .thorn(L, C).spur(L, B).p((430, C + 80), (350, C), (430, C - 110)))


def uc_G():
    return (g().s((450, C - 10), (L + 100, C), (L, C - 110), (L, B + 100), (L + 100, B), (CR, B + 40))
            .s((250, 300), (CR, 300), (CR, B - 40)).p((470, C + 90), (400, C - 40), (470, C - 150)))


def uc_H():
    return (g().s((L, B), (L, C)).s((CR, B), (CR, C)).s((L, 370), (CR, 370))
            .thorn(L, C).spur(CR, B).thorn(CR, C))


def uc_I():
    return g().s((L, B), (L, C)).thorn(L, C).spur(L, B).s((L - 40, C), (L + 40, C)).s((L - 40, B), (L + 40, B))


def uc_J():
    return (g().s((320, C), (320, B + 100), (220, B), (L - 20, B + 40)).thorn(320, C)
            .p((L - 80, B + 170), (L - 10, B + 30), (L + 20, B + 110)))


def uc_K():
    return (g().s((L, B), (L, C)).s((L + 40, 330), (CR, C)).s((190, 400), (CR, B))
            .thorn(L, C).spur(L, B).spur(CR, B).p((CR + 80, C + 40), (CR - 60, C + 30), (CR, C - 90)))


def uc_L():
    return (g().s((L, B), (L, C)).s((L, B), (400, B)).thorn(L, C)
            .p((430, B - 70), (350, B), (430, B + 140)))


def uc_M():
    M = 560
    return (g().s((L, B), (L, C)).s((M, B), (M, C)).s((L, C), (312, 160)).s((312, 160), (M, C))
            .thorn(L, C).spur(M, B).spur(L, B).thorn(M, C))


def uc_N():
    return (g().s((L, B), (L, C)).s((L, C), (CR, B)).s((CR, B), (CR, C))
            .thorn(L, C).spur(L, B).thorn(CR, C))


def uc_O():
    return g().s((L + 100, C), (L, C - 110), (L, B + 110), (L + 100, B), (CR - 100, B), (CR, B + 110),
                 (CR, C - 110), (CR - 100, C), (L + 100, C))


def uc_P():
    return (g().s((L, B), (L, C)).s((L, C), (330, C), (CR, C - 90), (CR, 400), (330, 330), (L, 330))
            .thorn(L, C).spur(L, B))


def uc_Q():
    return (g().s((L + 100, C), (L, C - 110), (L, B + 110), (L + 100, B), (CR - 100, B), (CR, B + 110),
                  (CR, C - 110), (CR - 100, C), (L + 100, C))
            .s((230, 150), (CR + 60, D + 60)))


def uc_R():
    return (g().s((L, B), (L, C)).s((L, C), (330, C), (CR, C - 90), (CR, 420), (330, 350), (L, 350))
            .s((230, 350), (CR, B)).thorn(L, C).spur(L, B).spur(CR, B))


def uc_S():
    return (g().s((CR, C - 10), (L + 100, C), (L, C - 100), (L, 470), (100, 410), (CR - 20, 300),
                  (CR, 260), (CR, B + 100), (CR - 100, B), (L - 20, B + 40))
            .p((CR + 40, C + 90), (CR - 40, C - 40), (CR + 30, C - 150))
            .p((L - 60, B - 90), (L + 20, B + 40), (L - 50, B + 150)))


def uc_T():
    return (g().s((L - 40, C), (CR + 40, C)).s((255, C), (255, B)).spur(255, B)
            .p((L - 90, C + 80), (L - 10, C), (L - 90, C - 130)).p((CR + 90, C + 80), (CR + 10, C), (CR + 90, C - 130)))


def uc_U():
    return (g().s((L, C), (L, B + 110), (L + 100, B), (CR, B + 40)).s((CR, C), (CR, B))
            .thorn(L, C).thorn(CR, C).spur(CR, B))


def uc_V():
    return g().s((L - 20, C), (255, B - 20)).s((255, B - 20), (CR + 40, C)).thorn(L - 20, C).thorn(CR + 40, C)


def uc_W():
    return (g().s((L - 20, C), (200, B - 20)).s((200, B - 20), (345, C - 180)).s((345, C - 180), (490, B - 20))
            .s((490, B - 20), (640, C)).thorn(L - 20, C).thorn(640, C))


def uc_X():
    return (g().s((L - 20, C), (CR + 20, B)).slab(CR + 20, C + REACH, L - 20, B - REACH, 110)
            .thorn(L - 20, C).spur(CR + 20, B))


def uc_Y():
    return (g().s((L - 20, C), (255, 330)).s((CR + 20, C), (255, 330), (255, B))
            .thorn(L - 20, C).spur(255, B))


def uc_Z():
    return (g().s((L - 10, C), (CR + 10, C)).slab(CR - 30, C, L + 30, B, 160).s((L - 10, B), (CR + 10, B))
            .p((L - 80, C + 80), (L - 10, C), (L - 80, C - 130)).p((CR + 80, B - 80), (CR + 10, B), (CR + 80, B + 130)))


# Figures (lining, cap height) ----------------------------------------------
FR = 380


def fig_zero():
    return g().s((L + 90, C), (L, C - 110), (L, B + 110), (L + 90, B), (FR - 90, B), (FR, B + 110),
                 (FR, C - 110), (FR - 90, C), (L + 90, C)).slab(L + 30, B + 110, FR - 30, C - 110, 90)


def fig_one():
    return g().s((200, B), (200, C)).s((L, C - 110), (200, C)).spur(200, B)


def fig_two():
    return (g().s((L, C - 110), (L + 90, C), (FR - 90, C), (FR, C - 110), (FR, 430))
            .slab(FR - 10, 430, L + 20, B, 150).s((L, B), (FR + 30, B)))


def fig_three():
    return (g().s((L - 10, C - 20), (FR - 90, C), (FR, C - 100), (FR, 440), (FR - 90, 380), (160, 380))
            .s((FR - 90, 380), (FR, 310), (FR, B + 100), (FR - 90, B), (L - 10, B + 30)))


def fig_four():
    return g().s((300, B), (300, C), (L - 10, 230), (FR + 30, 230)).spur(300, B)


def fig_five():
    return (g().s((FR + 10, C), (L, C), (L, 400), (FR - 90, 430), (FR, 350), (FR, B + 100), (FR - 90, B),
                  (L - 10, B + 30)))


def fig_six():
    return (g().s((FR, C - 10), (L + 90, C), (L, C - 110), (L, B + 100), (L + 90, B), (FR - 90, B),
                  (FR, B + 100), (FR, 300), (FR - 90, 380), (L, 350)))


def fig_seven():
    return g().s((L - 10, C), (FR + 20, C)).slab(FR - 10, C, 170, B - REACH, 150).p((L - 70, C + 70), (L, C), (L - 70, C - 130))


def fig_eight():
    return (g().s((L + 80, C), (FR - 80, C), (FR - 20, C - 80), (FR - 20, 440), (FR - 80, 390), (L + 80, 390),
                  (L + 20, 440), (L + 20, C - 80), (L + 80, C))
            .s((L + 80, 390), (L, 320), (L, B + 90), (L + 90, B), (FR - 90, B), (FR, B + 90), (FR, 320),
               (FR - 80, 390)))


def fig_nine():
    return (g().s((L, B + 10), (FR - 90, B), (FR, B + 110), (FR, C - 100), (FR - 90, C), (L + 90, C),
                  (L, C - 100), (L, 400), (L + 90, 320), (FR, 350)))


# Punctuation -------------------------------------------------------------
def diamond(glyph, x, y, r=72):
    return glyph.p((x, y - r), (x + r, y), (x, y + r), (x - r, y))


def pu_period():
    return diamond(g(), 70, 62)


def pu_comma():
    return diamond(g(), 70, 62).p((132, 62), (8, 62), (-20, -150))


def pu_hyphen():
    return g().s((L, 260), (260, 260))


def pu_colon():
    return diamond(diamond(g(), 70, 62), 70, X - 40)


def pu_exclam():
    return diamond(g(), 70, 62).p((0, C), (140, C), (86, 170), (54, 170))


def pu_question():
    return (diamond(g(), 170, 62).s((L - 10, C - 60), (L + 80, C), (310, C), (360, C - 80), (360, 460),
                                      (170, 330), (170, 230)))


def pu_quotesingle():
    return g().p((0, C + 20), (120, C + 20), (75, 440), (45, 440))


def pu_ampersand():
    return (g().s((480, B), (110, 450), (110, C - 60), (170, C), (300, C), (350, C - 60), (350, 500),
                  (L, 280), (L, B + 90), (L + 90, B), (330, B), (480, 230)))


def pu_slash():
    return g().s((L - 20, D + 40), (380, C + 40))


GLYPHS = {}
for _c in "abcdefghijklmnopqrstuvwxyz":
    GLYPHS[_c] = (_c, globals()["lc_" + _c])
for _c in "ABCDEFGHIJKLMNOPQRSTUVWXYZ":
    GLYPHS[_c] = (_c, globals()["uc_" + _c])
for _c, _n in zip("0123456789", ["zero", "one", "two", "three", "four", "five", "six", "seven",
                                 "eight", "nine"]):
    GLYPHS[_c] = (_n, globals()["fig_" + _n])
for _c, _n in [(".", "period"), (",", "comma"), ("-", "hyphen"), (":", "colon"), ("!", "exclam"),
               ("?", "question"), ("'", "quotesingle"), ("&", "ampersand"), ("/", "slash")]:
    GLYPHS[_c] = (_n, globals()["pu_" + _n])

# Side bearings: lowercase sits tight, as blackletter does; capitals get air.
LC_SIDE = 24
UC_SIDE = 44
SPACE_WIDTH = 260


def side_bearing(char):
    if char.isupper():
        return UC_SIDE
    if char.islower():
        return LC_SIDE
    return 40


def draw(contours, dx, pen):
    for contour in contours:
        pen.moveTo((contour[0][0] + dx, contour[0][1]))
        for x, y in contour[1:]:
            pen.lineTo((x + dx, y))
        pen.closePath()


def notdef_contours():
    return [[(50, 0), (450, 0), (450, CAP), (50, CAP)],
            [(110, 60), (110, CAP - 60), (390, CAP - 60), (390, 60)]]


def build(path):
    order = [".notdef", "space"]
    cmap = {0x20: "space"}
    charstrings = {}
    metrics = {}

    pen = T2CharStringPen(500, None)
    draw(notdef_contours(), 0, pen)
    charstrings[".notdef"] = pen.getCharString()
    metrics[".notdef"] = (500, 50)
    pen = T2CharStringPen(SPACE_WIDTH, None)
    charstrings["space"] = pen.getCharString()
    metrics["space"] = (SPACE_WIDTH, 0)

    for char, (name, make) in GLYPHS.items():
        contours = make().contours()
        xmin = min(x for c in contours for x, _ in c)
        xmax = max(x for c in contours for x, _ in c)
        side = side_bearing(char)
        dx = side - xmin
        width = xmax - xmin + 2 * side
        pen = T2CharStringPen(width, None)
        draw(contours, dx, pen)
        order.append(name)
        cmap[ord(char)] = name
        charstrings[name] = pen.getCharString()
        metrics[name] = (width, side)

    fb = FontBuilder(UPM, isTTF=False)
    fb.font.recalcTimestamp = False
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap(cmap)
    fb.setupCFF("Glimra-Regular", {"FullName": "Glimra", "FamilyName": FAMILY, "Weight": "Regular",
                                   "version": VERSION,
                                   "Notice": "Glimra is Dunmarrow's own display typeface."},
                charstrings, {})
    fb.setupHorizontalMetrics(metrics)
    # One em from ascent to descent: the title is framed only a little taller
    # than its point size, so the line box must not be larger than the em.
    ascent, descent, line_gap = 800, DESC, 0
    fb.setupHorizontalHeader(ascent=ascent, descent=descent, lineGap=line_gap)
    fb.setupNameTable({
        "copyright": "Copyright (c) 2026 the Dunmarrow project.",
        "familyName": FAMILY,
        "styleName": "Regular",
        "uniqueFontIdentifier": "Glimra-Regular " + VERSION,
        "fullName": "Glimra",
        "version": "Version " + VERSION,
        "psName": "Glimra-Regular",
        "designer": "The Dunmarrow project",
        "description": "Display typeface of the Dunmarrow editor: sharp, heavy, angular.",
        "licenseDescription": "Glimra is the Dunmarrow project's own font, drawn by its own generator "
                              "(tools/fontgen) and distributed under the project's licence.",
    })
    fb.setupOS2(sTypoAscender=ascent, sTypoDescender=descent, sTypoLineGap=line_gap,
                usWinAscent=ascent, usWinDescent=-descent, sxHeight=XH, sCapHeight=CAP,
                achVendID="DNMW", usWeightClass=400, fsSelection=0x40 | 0x80,
                fsType=0, version=4)
    fb.setupPost(isFixedPitch=0, underlinePosition=-120, underlineThickness=60)
    head = fb.font["head"]
    head.created = TIMESTAMP
    head.modified = TIMESTAMP
    fb.font.save(path)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "..", "DunmarrowAUExtension", "Resources", "Glimra.otf")
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.normpath(default)
    tmp = out + ".tmp"
    build(tmp)
    os.replace(tmp, out)
    print("glimra: wrote", out)


if __name__ == "__main__":
    main()
