"""One window and page: presses in the top strip move the window, but in the band left to the
page and in areas the page claims (noDrag; the rule at every edge is a unit test); the
appearance the page asks for; its alert, confirm, prompt and file inputs, by keyboard."""
import os

from .harness import STEP_TIMEOUT, GuiTest, click, read, retry, run, wait_until, window_box, xdo

BODY = (600, 100)   # below the strip and clear of everything else on the page
# The inputs sit below the strip, apart in the middle of the window. A Return meant for a
# chooser that has just closed must not open the next one.
SERVER = r'''import itertools
served = itertools.count(1)
def files(handler, path, query):   # numbered downloads the view would not show
    if not path.startswith('/dl/'):
        return None
    n = next(served)
    handler.send_response(200)
    for header in ('Content-Type', 'application/octet-stream'), ('Content-Disposition', 'attachment; filename="%s"' % path[4:]):
        handler.send_header(*header)
    handler.end_headers()
    with contextlib.suppress(OSError):   # ?hold: a first part, the rest once the test writes OUT/release-N
        handler.wfile.write(b'download %d\n' % n + (b'.' * 65536 if 'hold' in query else b''))
        handler.wfile.flush()
        for _ in range(1200 if 'hold' in query else 0):
            if os.path.exists(os.path.join(OUT, 'release-%d' % n)):
                handler.wfile.write(b'.' * 65536)
                break
            time.sleep(0.05)
    log('sent', n=n)
    return True
announce(page_server(page("""<div id=strip></div>
<input type=file id=one><input type=file id=many multiple><script>
const get = path => Object.assign(document.createElement('a'), {href: '/dl/' + path}).click();
const names = input => input.files.length ? [...input.files].map(f => f.name) : null;
addEventListener('keydown', e => e.key === 'Enter' && e.preventDefault(), true);
for (const input of [one, many])
  input.addEventListener('change', () => report('result', {what: 'change-' + input.id, value: names(input)}));
</script>""", """#strip { position: fixed; left: 0; right: 0; top: 0; height: 36px; background: #dde; }
input[type=file] { position: fixed; top: 150px; bottom: 60px; width: 42%; }
#one { left: 5%; } #many { right: 5%; }"""), route=files).server_address[1])'''


class PageTest(GuiTest):
    def setUp(self):
        super().setUp()
        # Without the portal GTK's own chooser shows, which openbox and xdotool can drive;
        # without recent files every chooser opens on a folder, where a typed path works.
        self.write(os.path.join(self.xdg['XDG_CONFIG_HOME'], 'gtk-4.0', 'settings.ini'),
                   '[Settings]\ngtk-recent-files-enabled=false\n')
        self.app = self.start(SERVER, {'GTK_USE_PORTAL': '0'})
        self.wid, self.results, self.since = self.app.wid, 0, 0
        xdo('windowactivate', '--sync', self.wid)
        # Presses are aimed from where the window is: it must have come to rest, focused.
        boxes = [None]

        def settled():
            boxes.append(window_box(self.wid))
            return boxes[-1] == boxes[-2] and xdo('getactivewindow').strip() == self.wid
        wait_until(settled, STEP_TIMEOUT, lambda: 'the window to settle: %s; active: %s' % (
            boxes[-3:], run('sh', '-c', 'xprop -id $(xdotool getactivewindow) WM_CLASS WM_NAME _NET_WM_WINDOW_TYPE')),
            interval=0.2)
        # Where the web view sits in the X window: without a compositor GTK draws a thin
        # frame around it. Anything more means the page got some other press first.
        click(self.wid, *BODY)
        got, self.presses = self.wait_event('down', STEP_TIMEOUT), 1
        self.inset = (BODY[0] - got['x'], BODY[1] - got['y'])
        self.assertTrue(got['n'] == 1 and all(0 <= d <= 10 for d in self.inset),
                        'a press not meant for the page: %s' % self.events('down'))

    def point(self, x, y):   # in the web view's coordinates
        xdo('mousemove', '--window', self.wid, str(x + self.inset[0]), str(y + self.inset[1]))

    def reaches_page(self, x, y, until=False):
        """A press at (x, y) goes to the page, right there. Until: pressed again until it
        does, as an area just posted may not be in force yet; a press taken for a drag
        meanwhile is let go unmoved, after longer than a double click."""
        def press():
            self.point(x, y)
            xdo('mousedown', '1')
            if not until:   # let go at once: on a busy machine the page may report the press late
                xdo('mouseup', '1')
            try:
                return self.wait_event('down', 0.6 if until else STEP_TIMEOUT, self.since,
                                       lambda e: e['n'] > self.presses)
            except AssertionError:
                return None
            finally:
                if until:
                    xdo('mouseup', '1')
        got = wait_until(press, STEP_TIMEOUT if until else 0, lambda: 'the page to get a press at (%d, %d); it '
                         'got %s' % (x, y, self.events('down', self.since)))
        # The page numbers its presses: one skipped is a press that should not have reached it.
        self.assertEqual((got['n'], got['x'], got['y']), (self.presses + 1, x, y), self.events('down', self.since))
        self.presses += 1
        return got

    def drags(self, x, y):
        """Pressing at (x, y) and moving moves the window along; the page never sees it."""
        self.reaches_page(*BODY)   # also ends any double-click series near (x, y)
        # Back and forth, so the window keeps clear of the screen edges (which resist).
        self.sign = -getattr(self, 'sign', -1)
        start = window_box(self.wid)[:2]
        goal = (start[0] + 80 * self.sign, start[1] + 50 * self.sign)
        self.point(x, y)
        xdo('mousedown', '1')
        try:
            for _ in range(2):
                xdo('mousemove_relative', '--', str(40 * self.sign), str(25 * self.sign))
            # The window manager takes over the pointer a moment after the press; a wiggle
            # gives it motion to follow once it has.
            wait_until(lambda: (xdo('mousemove_relative', '--', '1', '0'), xdo('mousemove_relative', '--', '-1', '0'))
                       and window_box(self.wid)[:2] == goal, STEP_TIMEOUT, lambda: 'the window to move from %s to '
                       '%s; it is at %s' % (start, goal, window_box(self.wid)[:2]), interval=0.1)
        finally:
            xdo('mouseup', '1')
        self.reaches_page(*BODY)   # numbered next: the strip press never reached the page

    def scheme_after(self, *messages):
        """Posts messages; returns whether the page's next colour-scheme change made it dark."""
        seen = len(self.events('scheme'))
        self.post(*messages)
        return wait_until(lambda: self.events('scheme')[seen:], STEP_TIMEOUT,
                          lambda: 'a colour scheme change after %r' % (messages,))[0]['dark']

    def dialogs(self):   # WebKit's tooltips are windows too
        return [w for w in self.app.others(self.wid)
                if '_NET_WM_WINDOW_TYPE_DIALOG' in run('xprop', '-id', w, '_NET_WM_WINDOW_TYPE')]

    def dialog(self):
        """The dialog, attached to the main window and blocking it, once it has the keys."""
        wid = wait_until(self.dialogs, STEP_TIMEOUT, 'a dialog window')[0]
        wait_until(lambda: xdo('getactivewindow').strip() == wid, STEP_TIMEOUT, 'a focused dialog')
        self.assertRegex(run('xprop', '-id', wid, 'WM_TRANSIENT_FOR', '_NET_WM_STATE'),
                         r'window id # %#x\b[\s\S]*_NET_WM_STATE_MODAL' % int(self.wid))
        return wid

    def ask(self, call):
        """Has the page report what `call` returns; returns the dialog."""
        self.script("report('result', {what: '%s', value: %s})" % (call.partition('(')[0], call))
        return self.dialog()

    def press(self, *keys):
        xdo('key', '--clearmodifiers', *keys)

    def result(self, what):
        """The page's next report, which must be `what`, once the dialog has gone."""
        got = wait_until(lambda: self.events('result')[self.results:], STEP_TIMEOUT, 'a report of ' + what)[0]
        self.results += 1
        self.assertEqual(got['what'], what)
        wait_until(lambda: not self.dialogs(), STEP_TIMEOUT, 'the dialog to close')
        return got['value']

    def spot(self, wid, word):
        """Where OCR reads `word` in window `wid`, from its top left corner."""
        x, y, width, height = window_box(wid)
        tsv = run('sh', '-c', 'import -window root png:- | convert - -crop %dx%d+%d+%d +repage -colorspace Gray '
                  '-resize 300%% -threshold 60%% png:- | tesseract - - --psm 6 tsv' % (width, height, x, y), timeout=60)
        for cells in (row.split('\t') for row in tsv.splitlines()):
            if len(cells) == 12 and word in cells[11]:
                left, top, w, h = map(int, cells[6:10])
                return (left + w / 2) / 3, (top + h / 2) / 3
        self.fail('%r is not in the window; OCR read: %r' % (word, tsv))

    def choose(self, input_id, path, *keys, until=None):
        """Opens the input's chooser, types a path into it and presses keys; then until(chooser)
        again until it closes, as, busy with what was typed (completion, a folder), it may
        take a key for that alone."""
        _, _, width, height = window_box(self.wid)
        click(self.wid, width * (0.25 if input_id == 'one' else 0.75), height / 2)
        wid = self.dialog()
        self.press('ctrl+l')
        # At once: GTK's inline completion, racing slower keys, can append to what was typed.
        xdo('type', '--delay', '0', path)
        self.press(*keys)
        if until:
            retry(lambda: wid in self.dialogs() and until(wid), lambda: not self.dialogs(), 'the chooser to close',
                  each=4)
        return wid

    def test_strip_appearance_and_areas(self):
        with self.subTest('strip moves the window, but for the band left to the page'):
            self.drags(300, 35)   # the strip's last row
            self.drags(69, 10)
            self.reaches_page(300, 36)
            self.reaches_page(70, 10)

        with self.subTest('page sets the appearance'):
            self.assertIs(self.events('seen')[0]['dark'], False)
            for word, dark in ('dark', True), ('light', False), ('dark', True), ('Dark', False):   # the desktop's
                self.assertIs(self.scheme_after(('appearance', word)), dark, word)
            # Bodies but strings change nothing: a press in an area posted after them is the sign.
            self.post(('appearance', 7), ('appearance', ['dark']), ('noDrag', '[[400, 0, 60, 36]]'))
            self.assertIs(self.reaches_page(400, 10, until=True)['dark'], False)

        with self.subTest('areas the page claims, a whole list at a time'):
            self.drags(460, 10)   # its right edge is outside
            # Bodies but JSON text of a list are dropped whole; the appearance change is the sign.
            self.assertIs(self.scheme_after(('noDrag', '{"a": 1}'), ('noDrag', [[500, 0, 60, 36]]),
                                            ('noDrag', 7), ('appearance', 'dark')), True)
            self.reaches_page(430, 10)
            self.drags(510, 10)
            self.post(('noDrag', '[[300, 0, 40, 36]]'))
            self.reaches_page(310, 10, until=True)
            self.drags(430, 10)
            # Loading the page again leaves the list as it is (the body has the focus).
            loads = len(self.events('seen'))
            xdo('key', 'ctrl+r')
            wait_until(lambda: len(self.events('seen')) > loads, STEP_TIMEOUT, 'the page to load again')
            self.since, self.presses = self.events('seen')[-1]['t'], 0   # a new page counts its presses anew
            self.reaches_page(310, 10)

    def test_script_dialogs(self):
        with self.subTest('alert, confirm and prompt'):
            _, _, _, height = window_box(self.ask("alert('word '.repeat(3000))"))
            self.assertLess(height, 900)   # it scrolls; OK stays on screen
            self.press('Return')
            self.assertEqual(self.result('alert'), 'undefined')
            wid = self.ask("alert('Import finished')")
            self.assertNotIn('cancel', self.wait_text('Import finished', 'OK', wid=wid))
            self.assertEqual(self.events('result')[self.results:], [], 'the script must wait for the answer')
            self.press('Return')
            self.assertEqual(self.result('alert'), 'undefined')
            self.wait_text('Delete the draft?', 'OK', 'Cancel', wid=self.ask("confirm('Delete the draft?')"))
            self.press('Return')
            self.assertIs(self.result('confirm'), True)
            # Alt+F4 is openbox's close: a refusal, answered once.
            for call, typed, keys, expected in (
                    ("alert('Escape also ends it')", '', 'Escape', 'undefined'),
                    ("confirm('Sure?')", '', 'Escape', False), ("confirm('Sure?')", '', 'alt+F4', False),
                    ("prompt('Name?', 'abc')", '', 'Return', 'abc'),
                    ("prompt('Name?', 'abc')", 'xyz', 'Return', 'xyz'),   # the field has the keys, its text selected
                    ("prompt('Name?', 'abc')", '', 'ctrl+a BackSpace Return', ''),
                    ("prompt('Name?', 'abc')", 'typed', 'Escape', None),
                    ("prompt('Name?', 'abc')", '', 'alt+F4', None), ("prompt('Name?')", '', 'Return', '')):
                self.ask(call)
                if typed:
                    xdo('type', '--delay', '20', typed)
                self.press(*keys.split())
                self.assertEqual(self.result(call.partition('(')[0]), expected, (call, typed, keys))

        with self.subTest('a dialog brings the hidden window back'):
            xdo('windowactivate', '--sync', self.wid)
            xdo('key', 'ctrl+w')
            wait_until(lambda: self.wid not in self.app.windows(), STEP_TIMEOUT, 'the window to hide')
            self.ask("alert('Back again')")   # transient for the window, which is shown again
            self.assertIn(self.wid, self.app.windows())
            self.press('Return')
            self.assertEqual(self.result('alert'), 'undefined')

        with self.subTest('Ctrl+Q quits under a page dialog'):
            self.ask("confirm('Quit now?')")
            self.press('ctrl+q')
            self.assertEqual(self.app.wait_exit(15), 0)

    def test_file_inputs(self):
        one, many = os.path.join(self.tmp, 'one'), os.path.join(self.tmp, 'many')
        for path in 'one/first.txt', 'many/first.txt', 'many/second.txt':
            self.write(os.path.join(self.tmp, path), path)
        os.mkdir(os.path.join(one, 'folder'))

        with self.subTest('file input takes one file, never a folder'):
            self.choose('one', os.path.join(one, 'first.txt'), until=lambda wid: self.press('Return'))
            self.assertEqual(self.result('change-one'), ['first.txt'])
            # A folder is entered, never chosen; cancelling leaves the input as it was.
            self.choose('one', os.path.join(one, 'folder'), 'Return', until=lambda wid: self.press('Escape'))
            self.script("report('result', {what: 'files', value: [names(one), names(many)]})")
            self.assertEqual(self.result('files'), [['first.txt'], None])

        with self.subTest('file input with multiple takes several'):
            wid = self.choose('many', many + '/', 'Return')   # GTK 4.18 enters a folder typed so
            # The folder's list, with sizes: the completion under the typed path has the names alone.
            self.wait_text('first.txt', 'bytes', 'second.txt', 'bytes', wid=wid)
            click(wid, *self.spot(wid, 'second.txt'))   # the list takes the keys only once clicked on GTK 4.18
            _, _, width, height = window_box(wid)
            # Open sits at the bottom right.
            retry(lambda: wid in self.dialogs() and (self.press('ctrl+a'), click(wid, width - 50, height - 30)),
                  lambda: not self.dialogs(), 'the chooser to open the files', each=4)
            self.assertEqual(self.result('change-many'), ['first.txt', 'second.txt'])

    def test_downloads_and_leaving(self):
        downloads = os.path.join(self.tmp, 'home', 'Downloads')
        export, made, big = (os.path.join(downloads, name) for name in ('export.csv', 'made.txt', 'big.bin'))

        def save(path, key='Return'):   # the Save dialog for a download, answered
            self.script("get('%s')" % path)
            chooser = self.dialog()
            self.press(key)
            return chooser

        with self.subTest('a download is saved only where the user says, whole'):
            self.write(export, 'old')
            save('export.csv', 'Escape')   # the server's name in Downloads, then cancelled
            wait_until(lambda: not self.dialogs(), STEP_TIMEOUT, 'the Save dialog to close')
            chooser = save('export.csv')
            wait_until(lambda: [w for w in self.dialogs() if w != chooser], STEP_TIMEOUT, 'the question to replace')
            self.assertEqual((read(export), os.listdir(downloads)), ('old', ['export.csv']))   # nothing yet
            self.press('alt+r')
            wait_until(lambda: read(export) == 'download 2\n', STEP_TIMEOUT, 'the download to replace the file')
            self.wait_text('Saved export.csv', wid=self.wid)
            self.script("const a = document.createElement('a'); a.download = 'made.txt';"
                        "a.href = URL.createObjectURL(new Blob(['made by the page'])); a.click()")
            self.dialog()
            self.press('Return')
            wait_until(lambda: os.path.exists(made) and read(made) == 'made by the page', STEP_TIMEOUT, 'made.txt')
            wait_until(lambda: sorted(os.listdir(downloads)) == ['export.csv', 'made.txt'], STEP_TIMEOUT,
                       lambda: 'no partial file: %s' % os.listdir(downloads))

        with self.subTest('a name being downloaded to is asked about; the later choice wins'):
            save('big.bin?hold=1')
            hidden = lambda: [f for f in os.listdir(downloads) if f.startswith('.')]
            wait_until(lambda: not self.dialogs() and hidden(), STEP_TIMEOUT, 'the first download to run')
            chooser = save('big.bin?hold=1')
            wait_until(lambda: [w for w in self.dialogs() if w != chooser], STEP_TIMEOUT, 'the question to replace')
            self.press('alt+r')
            wait_until(lambda: not self.dialogs(), STEP_TIMEOUT, 'the Save dialog to close')
            second = 'download 4\n' + '.' * 131072
            self.put('release-4')
            wait_until(lambda: read(big) == second, STEP_TIMEOUT, 'the second download whole')
            self.put('release-3')   # the first, ending later, must not take the name from the second
            wait_until(lambda: read(big) == second and not hidden(),
                       STEP_TIMEOUT, lambda: 'only the second download: %s' % os.listdir(downloads))

        with self.subTest('a name of 255 bytes is saved'):
            long_name = 'n' * 251 + '.bin'   # NAME_MAX, with no room for any suffix
            save(long_name)
            long_path = os.path.join(downloads, long_name)
            wait_until(lambda: os.path.exists(long_path) and read(long_path) == 'download 5\n', STEP_TIMEOUT,
                       'a 255-byte name')
            self.assertEqual(sorted(os.listdir(downloads)), ['big.bin', 'export.csv', 'made.txt', long_name])

        with self.subTest('leaving a page is never asked'):
            # WebKit asks about leaving only for a navigation the user started.
            self.script("addEventListener('beforeunload', e => { e.preventDefault(); e.returnValue = 'Stay?'; });"
                        "addEventListener('click', () => { location.href = '/?left'; }); report('armed')", 'armed')
            _, _, width, height = window_box(self.wid)
            click(self.wid, width / 2, height / 2)   # between the file inputs
            self.wait_event('seen', STEP_TIMEOUT, where=lambda e: e['href'].endswith('?left'))
            self.assertEqual(self.dialogs(), [])

        with self.subTest('quitting mid-download leaves nothing of it'):
            before = sorted(os.listdir(downloads))
            save('quit.bin?hold=1')
            wait_until(lambda: any(os.path.getsize(os.path.join(root, f)) for root, _, files in os.walk(downloads)
                                   for f in files if 'quit.bin' in root + f), STEP_TIMEOUT, 'data on its way')
            xdo('windowactivate', '--sync', self.wid)
            self.press('ctrl+q')
            self.assertEqual(self.app.wait_exit(15), 0)
            self.assertEqual(sorted(os.listdir(downloads)), before)
