"""A server written for browsers, not for this window: its pages open new windows on its own
server, its controls sit at the very top, it takes keys such as Ctrl+M, and it guards unsaved
work with beforeunload. With MirovanOpenOwnPagesInWindow and the native title bar it is usable
in the window; without them the window behaves as it always has."""
import time

from .harness import STEP_TIMEOUT, GuiTest, click, press_in_page, run, wait_until, window_box, wm_state, xdo

# Every page has a control across the top 36 pixels; a link that asks for a new window on its
# own server and a button whose script opens an empty window, then sends it to `next`, side by
# side below; and it takes Ctrl+M while `takeKeys` is set. Pages may only open windows when the
# user clicked.
SERVER = r'''announce(page_server(page("""<button id=top style="position:fixed;top:0;left:250px;width:200px;height:36px">
Logout</button><a id=own href=/notebook?n=1 target=_blank></a><button id=blank></button><script>
let takeKeys = false, next = '/new?n=2';
blank.onclick = () => { const w = window.open(); report('opened', {got: !!w}); if (w) w.location.href = next; };
addEventListener('keydown', e => {
  if (!e.ctrlKey || e.key !== 'm') return report('key', {key: e.key});
  if (takeKeys) e.preventDefault();
  report('key', {key: 'ctrl+m', taken: takeKeys});
});
</script>""", "#own, #blank { position: fixed; top: 150px; height: 200px; width: 40%; display: block; } "
           "#own { left: 5%; } #blank { right: 5%; }")).server_address[1])'''
OWN, OPEN = (0.25, 250), (0.75, 250)   # where to click them: a share of the width, and a height


class ForeignServerTest(GuiTest):
    def hrefs(self, since):
        return [e['href'].split('/', 3)[3] for e in self.events('seen', since)]

    def press(self, app, target, top=0):
        click(app.wid, window_box(app.wid)[2] * target[0], target[1] + top)

    def test_with_both_options(self):
        app = self.start(self.make_bundle(SERVER, info={'MirovanOpenOwnPagesInWindow': True,
                                                        'MirovanTitleBar': 'native'}))
        self.fake_handlers()
        xdo('windowactivate', '--sync', app.wid)

        with self.subTest('the page starts below the header bar, and its top strip is its own'):
            click(app.wid, 600, 300)
            header = 300 - self.wait_event('down', STEP_TIMEOUT)['y']
            self.assertGreater(header, 20)
            start = window_box(app.wid)[:2]
            click(app.wid, 310, header + 10)
            got = self.wait_event('down', STEP_TIMEOUT, where=lambda e: e['n'] == 2)
            self.assertEqual(got['x'] // 10, 30)   # 310, less GTK's frame if any
            self.assertAlmostEqual(got['y'], 10, delta=1)
            self.assertEqual(window_box(app.wid)[:2], start)

        with self.subTest('own pages stay in the window, whether asked for by a link or a script'):
            since = time.monotonic()
            self.press(app, OWN, header)
            self.wait_event('seen', STEP_TIMEOUT, since, lambda e: e['href'].endswith('/notebook?n=1'))
            self.press(app, OPEN, header)
            self.assertIs(self.wait_event('opened', STEP_TIMEOUT, since)['got'], True)
            self.wait_event('seen', STEP_TIMEOUT, since, lambda e: e['href'].endswith('/new?n=2'))
            # Another host still goes to the browser, and no second window ever shows.
            self.script("next = 'http://localhost:4321/elsewhere'; report('set')", 'set')
            self.press(app, OPEN, header)
            self.assertEqual(self.wait_handed('browser'), ['http://localhost:4321/elsewhere'])
            self.assertEqual(self.hrefs(since), ['notebook?n=1', 'new?n=2'])
            self.assertEqual(app.windows(), [app.wid])

        with self.subTest('an own page replaces unsaved work only once the user says Leave'):
            self.script("addEventListener('beforeunload', e => { e.preventDefault(); e.returnValue = ''; });"
                        "report('guarded')", 'guarded')
            since = time.monotonic()
            for answer in 'Escape', 'shift+Tab Return':
                self.press(app, OWN, header)   # a click the page has seen, so it may ask
                dialog = wait_until(lambda: app.others(app.wid), STEP_TIMEOUT, 'the question to leave')[0]
                self.wait_text('Leave this page', 'Leave', 'Stay', wid=dialog)
                xdo('key', *answer.split())
                wait_until(lambda: not app.others(app.wid), STEP_TIMEOUT, 'the question to close')
                if answer == 'Escape':
                    self.script("report('stayed')", 'stayed')
                    self.assertEqual(self.hrefs(since), [])
            self.wait_event('seen', STEP_TIMEOUT, since, lambda e: e['href'].endswith('/notebook?n=1'))

    def test_without_options(self):
        app = self.start(SERVER)
        self.fake_handlers()
        wid = app.wid

        with self.subTest('new windows go to the browser; window.open() gets nothing'):
            since = time.monotonic()
            xdo('windowactivate', '--sync', wid)
            self.press(app, OWN)
            self.press(app, OPEN)
            self.assertIs(self.wait_event('opened', STEP_TIMEOUT, since)['got'], False)
            self.assertRegex(self.wait_handed('browser')[0], r'^http://127\.0\.0\.1:\d+/notebook\?n=1$')
            self.assertEqual(self.hrefs(since), [])

        with self.subTest('keys go to the page first'):
            self.script("takeKeys = true; report('set')", 'set')
            since = time.monotonic()
            press_in_page(wid, 'ctrl+m', 'x')   # x: the page has had Ctrl+M and said so
            self.wait_event('key', STEP_TIMEOUT, since, lambda e: e['key'] == 'x')
            self.assertEqual([e['taken'] for e in self.events('key', since) if e['key'] == 'ctrl+m'], [True])
            self.assertNotIn('_NET_WM_STATE_HIDDEN', wm_state(wid))
            self.script("takeKeys = false; report('set')", 'set')
            press_in_page(wid, 'ctrl+m')
            wait_until(lambda: '_NET_WM_STATE_HIDDEN' in wm_state(wid), STEP_TIMEOUT, lambda: 'a minimised window; '
                       'the page had %s; active: %r' % (self.events('key', since), xdo('getactivewindow')))
            xdo('windowactivate', '--sync', wid)

        with self.subTest('unsaved work: Quit asks, Stay keeps the app and is the default, Leave quits'):
            # The guard takes its time, longer than WebKit waits for an answer before it reports "close".
            self.script("addEventListener('beforeunload', e => { const end = performance.now() + 300;"
                        "while (performance.now() < end); e.preventDefault(); e.returnValue = ''; });"
                        "report('guarded')", 'guarded')
            # Stay (as the dialog is dismissed, and as the default), then Leave. The page may ask only
            # once the user has acted on it: a click it has seen. A Return typed in the page right before
            # Ctrl+Q comes back from the page late, when the question is up, and must not answer it.
            for answer, typed in ('Escape', ['Return', 'ctrl+q']), ('Return', ['ctrl+q']), ('shift+Tab Return', ['ctrl+q']):
                since = time.monotonic()
                xdo('windowactivate', '--sync', wid)
                click(wid, 600, 90)
                self.wait_event('down', STEP_TIMEOUT, since)
                xdo('key', *typed)
                dialog = wait_until(lambda: app.others(wid), STEP_TIMEOUT, lambda: 'the question to leave; the app '
                                    '(exit %s) traced %s' % (app.proc.poll(), app.trace()))[0]
                self.wait_text('Leave this page', 'Leave', 'Stay', wid=dialog)
                self.assertEqual(run('xdotool', 'getwindowname', dialog).strip(), 'Testapp')
                wait_until(lambda: xdo('getactivewindow').strip() == dialog, STEP_TIMEOUT, 'a focused question')
                xdo('key', *answer.split())
                wait_until(lambda: not app.others(wid), STEP_TIMEOUT, 'the question to close')
                if 'Tab' not in answer:
                    self.script("report('stayed')", 'stayed')
            self.assertEqual(app.wait_exit(15), 0)
