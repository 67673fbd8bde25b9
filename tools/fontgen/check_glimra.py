#!/usr/bin/python3
"""Checks the committed Glimra.otf: it is exactly what glimra.py produces, it is
named as the editor asks for it, it covers the characters the editor needs and
its outlines are well formed (filled area on the left, counters cut)."""

import os
import subprocess
import sys
import tempfile
import unittest

from fontTools.pens.recordingPen import RecordingPen
from fontTools.ttLib import TTFont

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
FONT = os.path.join(ROOT, "DunmarrowAUExtension", "Resources", "Glimra.otf")
GENERATOR = os.path.join(HERE, "glimra.py")

REQUIRED = ("ABCDEFGHIJKLMNOPQRSTUVWXYZ" "abcdefghijklmnopqrstuvwxyz" "0123456789"
            " .,-:!?'&/" "Dunmarrow")
WITH_COUNTERS = "ABDOPQRabdegopq04689"


def contours_of(font, char):
    glyph_set = font.getGlyphSet()
    pen = RecordingPen()
    glyph_set[font.getBestCmap()[ord(char)]].draw(pen)
    contours, current = [], None
    for op, args in pen.value:
        if op == "moveTo":
            current = [args[0]]
        elif op == "lineTo":
            current.append(args[0])
        elif op in ("curveTo", "qCurveTo"):
            current.extend(args)
        elif op in ("closePath", "endPath"):
            contours.append(current)
    return contours


def signed_area(points):
    return sum(x0 * y1 - x1 * y0
               for (x0, y0), (x1, y1) in zip(points, points[1:] + points[:1])) / 2


class CommittedFontIsGenerated(unittest.TestCase):
    def test_regenerating_gives_identical_bytes(self):
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "Glimra.otf")
            subprocess.run([sys.executable, GENERATOR, out], check=True, stdout=subprocess.DEVNULL)
            with open(out, "rb") as fresh, open(FONT, "rb") as committed:
                self.assertTrue(fresh.read() == committed.read(),
                                 "Glimra.otf differs from the generator's output: run "
                                 "tools/fontgen/glimra.py and commit the result")


class FontContents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.font = TTFont(FONT)

    def test_names(self):
        name = self.font["name"]
        self.assertEqual(name.getDebugName(1), "Glimra")
        self.assertEqual(name.getDebugName(2), "Regular")
        self.assertEqual(name.getDebugName(4), "Glimra")
        self.assertEqual(name.getDebugName(6), "Glimra-Regular")
        self.assertIn("own font", name.getDebugName(13))
        self.assertEqual(self.font.sfntVersion, "OTTO")
        self.assertIn("CFF ", self.font)

    def test_covers_required_characters_with_outlines(self):
        cmap = self.font.getBestCmap()
        for char in sorted(set(REQUIRED)):
            self.assertIn(ord(char), cmap, "missing %r" % char)
            if char != " ":
                self.assertTrue(contours_of(self.font, char), "empty glyph for %r" % char)

    def test_outer_contours_counter_clockwise_and_counters_cut(self):
        for char in sorted(set(REQUIRED) - {" "}):
            areas = [signed_area(c) for c in contours_of(self.font, char)]
            biggest = max(areas, key=abs)
            self.assertGreater(biggest, 0, "outer contour of %r is not counter-clockwise" % char)
            self.assertGreater(sum(areas), 0, char)
        for char in WITH_COUNTERS:
            areas = [signed_area(c) for c in contours_of(self.font, char)]
            self.assertTrue(any(a < 0 for a in areas), "%r has no counter" % char)

    def test_vertical_metrics_agree(self):
        os2, hhea, head = self.font["OS/2"], self.font["hhea"], self.font["head"]
        self.assertEqual(head.unitsPerEm, 1000)
        self.assertEqual(os2.sTypoAscender, hhea.ascent)
        self.assertEqual(os2.sTypoDescender, hhea.descent)
        self.assertEqual(os2.sTypoLineGap, hhea.lineGap)
        self.assertEqual(os2.usWinAscent, hhea.ascent)
        self.assertEqual(os2.usWinDescent, -hhea.descent)
        self.assertEqual(os2.sCapHeight, 700)
        self.assertEqual(os2.sxHeight, 500)
        self.assertGreaterEqual(hhea.ascent, head.yMax)
        self.assertLessEqual(hhea.descent, head.yMin)
        self.assertEqual(hhea.ascent - hhea.descent, 1000)

    def test_advance_widths_enclose_the_glyphs(self):
        hmtx = self.font["hmtx"]
        glyph_set = self.font.getGlyphSet()
        cmap = self.font.getBestCmap()
        for char in sorted(set(REQUIRED) - {" "}):
            name = cmap[ord(char)]
            width, lsb = hmtx[name]
            xs = [x for c in contours_of(self.font, char) for x, _ in c]
            self.assertEqual(min(xs), lsb, char)
            self.assertGreater(lsb, 0, char)
            self.assertLess(max(xs), width, char)
            self.assertEqual(glyph_set[name].width, width)


if __name__ == "__main__":
    unittest.main(verbosity=1)
