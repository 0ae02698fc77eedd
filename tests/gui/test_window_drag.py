"""The top strip of the window: presses there move or maximise the window unless they
fall in the band left to the page or in an area the page has claimed."""
import json, os

from .harness import GuiTest, run, wait_until, window_box, xdo

STEP_TIMEOUT = 15
BODY = (600, 300)   # well below the strip and clear of everything in it

# The page reports every mousedown it gets, numbered, with where it landed and
# whether its dark style applies at that moment (computed style, so it is current).
# It posts bridge messages the test leaves in OUT/next.json, and reports each
# change of its prefers-color-scheme.
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
addEventListener('load', () => { report('/loaded', {dark: scheme.matches}); poll(); });
</script></body></html>"""


class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        url = urlparse(self.path)
        q = {k: v[0] for k, v in parse_qs(url.query).items()}
        body, kind = b'', 'text/html; charset=utf-8'
        if url.path == '/next':
            step = os.path.join(OUT, 'next.json')
            try:
                with open(step, 'rb') as f:
                    body = f.read()
                os.remove(step)
            except FileNotFoundError:
                body = b'null'
            kind = 'application/json'
        elif url.path == '/down':
            log('down', n=int(q['n']), x=int(q['x']), y=int(q['y']), dark=q['dark'] == 'true')
        elif url.path == '/scheme':
            log('scheme', dark=q['dark'] == 'true', styled=q['styled'] == 'true')
        elif url.path == '/loaded':
            log('loaded', dark=q['dark'] == 'true')
        elif url.path == '/posted':
            log('posted', count=int(q['count']))
        else:
            body = PAGE.encode()
        self.send_response(200)
        self.send_header('Content-Type', kind)
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Cache-Control', 'no-store')
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


httpd = ThreadingHTTPServer(('127.0.0.1', 0), Handler)
threading.Thread(target=httpd.serve_forever, daemon=True).start()
write_open_link('http://127.0.0.1:%d/' % httpd.server_address[1])
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d ready\n' % httpd.server_address[1])
idle()
'''


def wm_state(wid):
    return run('xprop', '-id', wid, '_NET_WM_STATE')


class StripTest(GuiTest):
    """Runs the app on the strip page; knows how many mousedowns the page has reported."""
    app_env = {}

    def setUp(self):
        super().setUp()
        self.app = self.launch(self.make_bundle(STRIP_SERVER), env=self.app_env)
        self.wait_event('loaded')
        self.app.wait_trace('page-loaded')
        self.wid = self.app.window()
        xdo('windowactivate', '--sync', self.wid)
        self.page_loaded()

    def page_loaded(self):
        """Starts counting the presses of the page that loaded last."""
        self.since, self.presses = self.events('loaded')[-1]['t'], 0
        self.calibrate()

    def position(self):
        return window_box(self.wid)[:2]

    def calibrate(self):
        """Finds where the web view sits in the X window. Without a compositor GTK draws
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

    def point(self, x, y):
        """Puts the pointer at (x, y) in the web view's coordinates."""
        xdo('mousemove', '--window', self.wid, str(x + self.inset[0]), str(y + self.inset[1]))

    # -- what the page saw -------------------------------------------------

    def page_press(self, timeout=STEP_TIMEOUT):
        """The page's next mousedown report, or None once timeout has passed."""
        def next_press():
            return [e for e in self.events('down')
                    if e['n'] == self.presses + 1 and e['t'] > self.since]
        try:
            got = wait_until(next_press, timeout, 'a mousedown in the page')[0]
        except AssertionError:
            return None
        self.presses += 1
        return got

    def reaches_page(self, x, y):
        """A click at (x, y) goes to the page, right there, and moves nothing."""
        before = self.position()
        self.point(x, y)
        xdo('click', '1')
        got = self.page_press()
        self.assertIsNotNone(got, 'the page never saw the press at (%d, %d); it reported %s'
                             % (x, y, self.events('down')))
        self.assertEqual((got['x'], got['y']), (x, y),
                         'the page got a press that was not meant for it (earlier reports: %s)'
                         % self.events('down'))
        self.assertEqual(self.position(), before)
        return got

    def drags(self, x, y):
        """Pressing at (x, y) and moving the pointer moves the window with it; the page
        never sees the press."""
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

    # -- the page's messages ------------------------------------------------

    def post(self, *messages):
        """Has the page post (name, body) messages, in order, and waits until it has."""
        done = len(self.events('posted'))
        path = os.path.join(self.out, 'next.json')
        with open(path + '.tmp', 'w') as f:
            json.dump(messages, f)
        os.rename(path + '.tmp', path)
        wait_until(lambda: len(self.events('posted')) > done, STEP_TIMEOUT,
                   'the page to post %r' % (messages,))

    def probe(self, x, y):
        """Presses at (x, y) until the page gets the press: the way to know that an area the
        page just posted is in force. A press the app still takes for a drag is held
        without motion and released, so the window stays put."""
        before = self.position()

        def taken():
            self.point(x, y)
            xdo('mousedown', '1')
            try:
                # Longer than a double click, so that repeated probes never zoom.
                return self.page_press(timeout=0.6)
            finally:
                xdo('mouseup', '1')
        got = wait_until(taken, STEP_TIMEOUT, 'the page to get presses at (%d, %d)' % (x, y))
        self.assertEqual((got['x'], got['y']), (x, y))
        self.assertEqual(self.position(), before)
        return got


class WindowDragTest(StripTest):
    def test_strip_moves_the_window(self):
        self.drags(300, 15)
        self.drags(10, 10)
        self.drags(300, 35)        # the strip's last row
        self.reaches_page(300, 36)

    def test_double_press_toggles_maximised(self):
        def double_press():
            self.calibrate()
            self.point(300, 15)
            xdo('click', '--repeat', '2', '--delay', '80', '1')
        self.assertNotIn('MAXIMIZED', wm_state(self.wid))
        double_press()
        wait_until(lambda: 'MAXIMIZED_VERT' in wm_state(self.wid), STEP_TIMEOUT,
                   lambda: 'the window to maximise: %s' % wm_state(self.wid))
        double_press()
        wait_until(lambda: 'MAXIMIZED' not in wm_state(self.wid), STEP_TIMEOUT,
                   lambda: 'the window to unmaximise: %s' % wm_state(self.wid))
        self.calibrate()           # no press of either pair reached the page

    def test_band_is_left_to_the_page(self):
        for x in (70, 100, 130):
            self.reaches_page(x, 10)
        self.drags(69, 10)
        self.drags(131, 10)

    def test_areas_posted_by_the_page(self):
        # A negative size reaches back from its origin: this one covers x 560 to 600.
        self.post(('noDrag', '[[400, 0, 60, 36], [600, 36, -40, -36]]'))
        self.probe(430, 10)
        self.reaches_page(400, 10)
        self.reaches_page(459, 10)
        self.reaches_page(580, 20)
        self.drags(460, 10)        # the right edge is outside
        self.drags(399, 10)
        self.drags(600, 20)

        # A new list replaces the old one as a whole.
        self.post(('noDrag', '[[300, 0, 40, 36]]'))
        self.probe(310, 10)
        self.drags(430, 10)
        self.drags(580, 20)

        # Loading the page again leaves the list as it is (the body has the focus).
        loads = len(self.events('loaded'))
        xdo('key', 'ctrl+r')
        wait_until(lambda: len(self.events('loaded')) > loads, STEP_TIMEOUT, 'the page to load again')
        self.page_loaded()
        self.reaches_page(310, 10)
