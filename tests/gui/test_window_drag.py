"""The top strip of the window: presses there move or maximise the window unless they
fall in the band left to the page or in an area the page has claimed; and the page's
two messages, those areas and the appearance it wants (seen through prefers-color-scheme)."""
from .harness import STEP_TIMEOUT, GuiTest, wait_until, window_box, wm_state, xdo

BODY = (600, 300)   # well below the strip and clear of everything in it

# The page reports every mousedown, numbered, with where it landed and whether its dark
# style applies then; it reports each change of prefers-color-scheme, and posts the
# bridge messages the test leaves in OUT/next.json.
STRIP_SERVER = r'''
PAGE = """<!doctype html><html><head><style>
html, body { margin: 0; height: 100%; font: 16px sans-serif; }
#strip { position: fixed; left: 0; right: 0; top: 0; height: 36px; background: #dde; }
#probe { color: rgb(0, 0, 0); }
@media (prefers-color-scheme: dark) { #probe { color: rgb(1, 2, 3); } }
</style></head><body><div id=strip></div><p id=probe style="margin-top: 120px">Body</p>
<script>
const scheme = matchMedia('(prefers-color-scheme: dark)');
const dark = () => getComputedStyle(probe).color === 'rgb(1, 2, 3)';
const report = (path, fields) => fetch(path + '?' + new URLSearchParams(fields));
let presses = 0;
addEventListener('mousedown', e => report('/down',
  {n: ++presses, x: e.clientX, y: e.clientY, dark: dark()}), true);
scheme.addEventListener('change', () => report('/scheme', {dark: scheme.matches, styled: dark()}));
async function poll() {
  try {
    const posts = await (await fetch('/next')).json();
    if (posts) {
      for (const [name, body] of posts) webkit.messageHandlers[name].postMessage(body);
      await report('/posted', {count: posts.length});
    }
  } finally {
    setTimeout(poll, 50);
  }
}
addEventListener('load', () => { report('/seen', {dark: scheme.matches}); poll(); });
</script></body></html>"""
announce(page_server(PAGE))
'''


class StripTest(GuiTest):
    app_env = None

    def setUp(self):
        super().setUp()
        self.wid = self.start(STRIP_SERVER, self.app_env).wid
        xdo('windowactivate', '--sync', self.wid)
        self.page_loaded()

    def page_loaded(self):   # counts the presses of the page that loaded last
        self.since, self.presses = self.events('seen')[-1]['t'], 0
        self.calibrate()

    def position(self):
        return window_box(self.wid)[:2]

    def calibrate(self):
        """Finds where the web view sits in the X window: without a compositor GTK draws
        a thin frame around the window, which goes when the window is maximised."""
        self.inset = (0, 0)
        self.point(*BODY)
        xdo('click', '1')
        got = self.page_press()
        self.assertIsNotNone(got, 'the page never saw a press in its body')
        self.inset = (BODY[0] - got['x'], BODY[1] - got['y'])
        # Anything more than a frame means the page got some other press first.
        self.assertTrue(all(0 <= d <= 10 for d in self.inset),
                        'the page got a press that was not meant for it: %s' % got)

    def point(self, x, y):   # in the web view's coordinates
        xdo('mousemove', '--window', self.wid, str(x + self.inset[0]), str(y + self.inset[1]))

    def page_press(self, timeout=STEP_TIMEOUT):
        """The page's next mousedown report, or None once timeout has passed."""
        try:
            got = wait_until(lambda: [e for e in self.events('down', self.since)
                                      if e['n'] == self.presses + 1], timeout, 'a press')[0]
        except AssertionError:
            return None
        self.presses += 1
        return got

    def reaches_page(self, x, y):
        """A click at (x, y) goes to the page, right there, and moves nothing."""
        before = self.position()
        self.point(x, y)
        xdo('click', '1')
        got = self.page_press() or {}
        self.assertEqual((got.get('x'), got.get('y')), (x, y), 'the press at (%d, %d) did not '
                         'reach the page; it reported %s' % (x, y, self.events('down')))
        self.assertEqual(self.position(), before)

    def drags(self, x, y):
        """Pressing at (x, y) and moving moves the window along; the page never sees it."""
        self.reaches_page(*BODY)   # also ends any double-click series near (x, y)
        # Back and forth, so the window keeps clear of the screen edges (which resist).
        self.drag_sign = -getattr(self, 'drag_sign', -1)
        by = (80 * self.drag_sign, 50 * self.drag_sign)
        start = self.position()
        goal = (start[0] + by[0], start[1] + by[1])
        self.point(x, y)
        xdo('mousedown', '1')
        try:
            for step in (by[0] // 2, by[1] // 2), (by[0] - by[0] // 2, by[1] - by[1] // 2):
                xdo('mousemove_relative', '--', *map(str, step))

            def moved():
                if self.position() == goal:
                    return True
                # The window manager takes over the pointer a moment after the press;
                # a wiggle gives it motion to follow once it has.
                xdo('mousemove_relative', '--', '1', '0')
                xdo('mousemove_relative', '--', '-1', '0')
                return False
            wait_until(moved, STEP_TIMEOUT, lambda: 'the window to move from %s to %s with '
                       'the pointer; it is at %s' % (start, goal, self.position()), interval=0.1)
        finally:
            xdo('mouseup', '1')
        self.reaches_page(*BODY)   # numbered next: the strip press never reached the page
        self.assertEqual(self.position(), goal)

    def post(self, *messages):
        """Has the page post (name, body) messages, in order, and waits until it has."""
        done = len(self.events('posted'))
        self.put('next.json', messages)
        wait_until(lambda: len(self.events('posted')) > done, STEP_TIMEOUT,
                   'the page to post %r' % (messages,))

    def probe(self, x, y):
        """Presses at (x, y) until the page gets the press: the way to know that an area it
        just posted is in force. A press still taken for a drag is held without motion
        and released, so the window stays put."""
        before = self.position()

        def taken():
            self.point(x, y)
            xdo('mousedown', '1')
            try:
                return self.page_press(timeout=0.6)   # longer than a double click: no zoom
            finally:
                xdo('mouseup', '1')
        got = wait_until(taken, STEP_TIMEOUT, 'the page to get presses at (%d, %d)' % (x, y))
        self.assertEqual((got['x'], got['y']), (x, y))
        self.assertEqual(self.position(), before)
        return got

    def scheme_after(self, *messages):
        """Posts messages; returns whether the page's next colour-scheme change made it dark."""
        seen = len(self.events('scheme'))
        self.post(*messages)
        got = wait_until(lambda: self.events('scheme')[seen:], STEP_TIMEOUT,
                         lambda: 'the page to change its colour scheme after %r' % (messages,))[0]
        self.assertEqual(got['styled'], got['dark'])
        return got['dark']


class WindowStripTest(StripTest):
    def test_strip_and_page_messages(self):
        with self.subTest('strip moves the window'):
            self.drags(300, 15)
            self.drags(10, 10)
            self.drags(300, 35)        # the strip's last row
            self.reaches_page(300, 36)

        with self.subTest('band is left to the page'):
            for x in (70, 100, 130):
                self.reaches_page(x, 10)
            self.drags(69, 10)
            self.drags(131, 10)

        with self.subTest('double press toggles maximised'):
            self.assertNotIn('MAXIMIZED', wm_state(self.wid))
            for state, wanted in ('MAXIMIZED_VERT', True), ('MAXIMIZED', False):
                self.calibrate()       # no press of either pair reaches the page
                self.point(300, 15)
                xdo('click', '--repeat', '2', '--delay', '80', '1')
                wait_until(lambda: (state in wm_state(self.wid)) == wanted, STEP_TIMEOUT,
                           lambda: 'maximised to be %s: %s' % (wanted, wm_state(self.wid)))
            self.calibrate()

        with self.subTest('page sets the appearance'):
            self.assertIs(self.events('seen')[0]['dark'], False)
            for word, dark in (('dark', True), ('light', False), ('dark', True),
                               ('Dark', False),   # not a keyword (case counts): the desktop's
                               ('dark', True)):
                self.assertIs(self.scheme_after(('appearance', word)), dark, word)
            # Bodies that are not strings change nothing: once a press in an area posted
            # after them reaches the page, they have been handled.
            self.post(('appearance', 7), ('appearance', ['light']), ('noDrag', '[[300, 0, 40, 36]]'))
            self.assertIs(self.probe(310, 10)['dark'], True)
            self.assertIs(self.scheme_after(('appearance', '')), False)

        with self.subTest('malformed noDrag lists leave the last one'):
            self.post(('noDrag', '[[400, 0, 60, 36]]'))
            self.probe(430, 10)
            # Each is dropped whole; the appearance change behind them shows that the
            # app has been through all of them.
            self.assertIs(self.scheme_after(
                ('noDrag', '{"a": 1}'),
                ('noDrag', [[500, 0, 60, 36]]),         # an array, not JSON text
                ('noDrag', '[[500, 0, 60, "36"]]'),
                ('noDrag', '[[500, 0, 60, 36], 5]'),
                ('noDrag', '[[500, 0, 60, 36'),
                ('noDrag', 7),
                ('appearance', 'dark')), True)
            self.reaches_page(430, 10)
            self.drags(510, 10)
            # Inner lists of the wrong length are the only thing dropped on their own.
            self.post(('noDrag', '[[1, 2, 3], [500, 0, 60, 36, 1], [520, 0, 20, 36]]'))
            self.probe(530, 10)
            self.drags(430, 10)
            self.drags(510, 10)

        with self.subTest('areas posted by the page'):
            # A negative size reaches back from its origin: this one covers x 560 to 600.
            self.post(('noDrag', '[[400, 0, 60, 36], [600, 36, -40, -36]]'))
            self.probe(430, 10)
            for x, y in (400, 10), (459, 10), (580, 20):
                self.reaches_page(x, y)
            for x, y in (460, 10), (399, 10), (600, 20):   # the right edges are outside
                self.drags(x, y)
            # A new list replaces the old one as a whole.
            self.post(('noDrag', '[[300, 0, 40, 36]]'))
            self.probe(310, 10)
            self.drags(430, 10)
            self.drags(580, 20)
            # Loading the page again leaves the list as it is (the body has the focus).
            loads = len(self.events('seen'))
            xdo('key', 'ctrl+r')
            wait_until(lambda: len(self.events('seen')) > loads, STEP_TIMEOUT, 'the page to load again')
            self.page_loaded()
            self.reaches_page(310, 10)


class DarkDesktopTest(StripTest):
    app_env = {'ADW_DEBUG_COLOR_SCHEME': 'prefer-dark'}   # libadwaita's stand-in for the desktop

    def test_other_strings_follow_the_desktop(self):
        self.assertIs(self.events('seen')[0]['dark'], True)
        self.assertIs(self.scheme_after(('appearance', 'light')), False)
        self.assertIs(self.scheme_after(('appearance', 'system')), True)
