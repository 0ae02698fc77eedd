"""The three window buttons sit at x 18, 41 and 64 with centres 21 px below the top
of the content, at launch and after a resize."""
import os

from .harness import GuiTest, geometry, run, wait_until, xdo

COLOURS = {'close': (0xff, 0x5f, 0x57), 'minimize': (0xfe, 0xbc, 0x2e), 'maximize': (0x28, 0xc8, 0x40)}


def pixels(path, crop):
    """{(x, y): (r, g, b)} of a region of a shot."""
    found = {}
    for line in run('convert', path, '-crop', crop, '+repage', '-depth', '8', '-colorspace',
                    'sRGB', 'txt:-').splitlines()[1:]:
        where, _, rest = line.partition(':')
        x, y = (int(v) for v in where.split(','))
        found[(x, y)] = tuple(int(float(v)) for v in rest.split('(')[1].split(')')[0].split(',')[:3])
    return found


class WindowButtonsTest(GuiTest):
    def placement(self, wid):
        """Each button's centre relative to the content's top-left corner."""
        shot = os.path.join(self.tmp, 'window.png')

        def measured():
            run('import', '-window', wid, shot)
            boxes = {}   # of each button's colour, its anti-aliased rim left out
            for (x, y), rgb in pixels(shot, '140x70+0+0').items():
                for name, colour in COLOURS.items():
                    if all(abs(a - b) <= 6 for a, b in zip(rgb, colour)):
                        x0, y0, x1, y1 = boxes.get(name, (x, y, x, y))
                        boxes[name] = (min(x0, x), min(y0, y), max(x1, x), max(y1, y))
            return len(boxes) == 3 and boxes
        boxes = wait_until(measured, 30, 'three window buttons on screen', interval=0.3)
        # The content starts inside the window's frame: where the page's background begins.
        strip = pixels(shot, '120x120+0+0')
        background = strip[(110, 110)]
        top = min(y for (x, y), rgb in strip.items() if x == 100 and rgb == background)
        left = min(x for (x, y), rgb in strip.items() if y == 100 and rgb == background)
        # Pixel rows 15..26 of a 12-px button have their centre line at 21.
        return {name: ((x0 + x1 + 1) / 2 - left, (y0 + y1 + 1) / 2 - top)
                for name, (x0, y0, x1, y1) in boxes.items()}

    def test_buttons_are_placed_and_stay_placed(self):
        wid = self.launch(self.make_bundle('watch_stdin()\nidle()')).window()
        # Left edges at 18, 41 and 64; the buttons are 12 px wide.
        expected = {'close': 24, 'minimize': 47, 'maximize': 70}
        for when in ('at launch', 'after a resize'):
            with self.subTest(when):
                placed = self.placement(wid)
                for name, x in expected.items():
                    self.assertAlmostEqual(placed[name][0], x, delta=1, msg=(name, placed))
                    self.assertAlmostEqual(placed[name][1], 21, delta=1, msg=(name, placed))
            xdo('windowsize', wid, '900', '600')
            wait_until(lambda: geometry(wid) == (900, 600), 10, 'the resize')
