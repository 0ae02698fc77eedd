"""The page's alert, confirm and prompt, and its file inputs, answered through the
app's own dialogs, driven by keyboard as a person would."""
import json, os, re

from .harness import GuiTest, normalise, run, wait_until, window_box, xdo

DIALOG_TIMEOUT = 15

# The page asks the server for its next step (a dialog to open) and reports every
# answer as JSON, so that null, "" and false stay apart. Everything it offers to
# click sits well below the window-drag strip at the top.
SERVER = r'''
import json as _json

PAGE = """<!doctype html><html><head><style>
body { margin: 0; font: 16px sans-serif; }
input[type=file] { position: fixed; top: 120px; bottom: 60px; width: 42%; }
#one { left: 5%; } #many { right: 5%; }
</style></head><body>
<input type=file id=one><input type=file id=many multiple>
<script>
const report = (what, value) => fetch('/result?what=' + what + '&value='
  + encodeURIComponent(JSON.stringify(value === undefined ? '(undefined)' : value)));
const names = input => input.files.length ? [...input.files].map(f => f.name) : null;
function run(step) {
  if (step.kind === 'alert') report('alert', alert(step.message));
  if (step.kind === 'confirm') report('confirm', confirm(step.message));
  if (step.kind === 'prompt')
    report('prompt', 'fill' in step ? prompt(step.message, step.fill) : prompt(step.message));
  if (step.kind === 'files') report('files', [names(one), names(many)]);
  if (step.kind === 'leave') {
    addEventListener('beforeunload', e => { e.preventDefault(); e.returnValue = 'Stay?'; });
    addEventListener('click', () => { location.href = '/?left'; });
    report('armed', true);
  }
}
async function poll() {
  try {
    const step = await (await fetch('/next')).json();
    if (step) run(step);
  } finally {
    setTimeout(poll, 50);
  }
}
for (const input of [one, many])
  input.addEventListener('change', () => report('change-' + input.id, names(input)));
addEventListener('load', () => { fetch('/loaded?href=' + encodeURIComponent(location.href)); poll(); });
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
        elif url.path == '/result':
            log('result', what=q['what'], value=_json.loads(q['value']))
        elif url.path == '/loaded':
            log('loaded', href=q['href'])
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
port = httpd.server_address[1]
write_open_link('http://127.0.0.1:%d/' % port)
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d ready\n' % port)
idle()
'''


def window_property(wid, name):
    return run('xprop', '-id', wid, name)


class PageDialogTest(GuiTest):
    def setUp(self):
        super().setUp()
        # Without the portal GTK's own chooser shows, which openbox and xdotool can drive.
        self.app = self.launch(self.make_bundle(SERVER), env={'GTK_USE_PORTAL': '0'})
        self.wait_event('loaded')
        self.main = self.app.window()
        self.seen_results = 0

    # -- driving the page and its dialogs ---------------------------------

    def step(self, kind, **fields):
        path = os.path.join(self.out, 'next.json')
        with open(path + '.tmp', 'w') as f:
            json.dump(dict(fields, kind=kind), f)
        os.rename(path + '.tmp', path)

    def ask(self, kind, **fields):
        """Has the page open a dialog; returns the dialog's window."""
        self.step(kind, **fields)
        return self.dialog()

    def dialogs(self):
        # Not every other window is a dialog: WebKit's tooltips are windows too.
        return [w for w in self.app.windows() if w != self.main and
                '_NET_WM_WINDOW_TYPE_DIALOG' in window_property(w, '_NET_WM_WINDOW_TYPE')]

    def dialog(self):
        wid = wait_until(self.dialogs, DIALOG_TIMEOUT, 'a dialog window')[0]
        # Keys go to whichever window has the focus: wait until it is the dialog.
        wait_until(lambda: xdo('getactivewindow').strip() == wid, DIALOG_TIMEOUT,
                   'the dialog to take the keyboard focus')
        return wid

    def wait_closed(self):
        wait_until(lambda: not self.dialogs(), DIALOG_TIMEOUT, 'the dialog to close')

    def assert_attached(self, wid):
        """The dialog belongs to the main window and blocks it; it is not free-standing."""
        parent = re.search(r'window id # (0x[0-9a-f]+)', window_property(wid, 'WM_TRANSIENT_FOR'))
        self.assertEqual(int(parent.group(1), 16) if parent else None, int(self.main))
        self.assertIn('_NET_WM_STATE_MODAL', window_property(wid, '_NET_WM_STATE'))

    def press(self, *keys):
        for key in keys:
            xdo('key', '--clearmodifiers', key)

    def type(self, text):
        xdo('type', '--delay', '20', text)

    def result(self, what):
        """The page's next report, which must be `what`, once the dialog has gone."""
        def next_result():
            got = self.events('result')
            return got[self.seen_results] if len(got) > self.seen_results else None
        got = wait_until(next_result, DIALOG_TIMEOUT,
                         lambda: 'the page to report %r; it reported %s'
                         % (what, self.events('result')[self.seen_results:]))
        self.seen_results += 1
        self.assertEqual(got['what'], what)
        self.wait_closed()
        return got['value']

    def click(self, wid, x, y):
        xdo('mousemove', '--window', wid, str(int(x)), str(int(y)))
        xdo('click', '1')

    def dialog_text(self, wid, *phrases):
        """Waits until OCR of the dialog reads every phrase; returns what it read."""
        shot, img = (os.path.join(self.tmp, n) for n in ('dialog.png', 'dialog-ocr.png'))
        seen = ['']

        def read():
            x, y, width, height = window_box(wid)
            run('import', '-window', 'root', shot)
            run('convert', shot, '-crop', '%dx%d+%d+%d' % (width, height, x, y), '+repage',
                '-colorspace', 'Gray', '-resize', '300%', '-threshold', '60%', img)
            seen[0] = normalise(run('tesseract', img, '-', '--psm', '6', timeout=60))
            return all(normalise(p) in seen[0] for p in phrases) and seen[0]
        return wait_until(read, DIALOG_TIMEOUT, lambda: '%r in the dialog; OCR read %r'
                          % (phrases, seen[0]), interval=0.2)

    # -- script dialogs ----------------------------------------------------

    def test_alert_and_confirm(self):
        wid = self.ask('alert', message='Import finished')
        self.assert_attached(wid)
        self.assertNotIn('cancel', self.dialog_text(wid, 'Import finished', 'OK'))
        self.assertEqual(self.events('result'), [], 'the script must wait for the answer')
        self.press('Return')
        self.assertEqual(self.result('alert'), '(undefined)')

        self.ask('alert', message='Escape also ends an alert')
        self.press('Escape')
        self.assertEqual(self.result('alert'), '(undefined)')

        wid = self.ask('confirm', message='Delete the draft?')
        text = self.dialog_text(wid, 'Delete the draft?', 'OK', 'Cancel')
        self.assertLess(text.index('ok'), text.index('cancel'), 'OK comes first')
        self.press('Return')
        self.assertIs(self.result('confirm'), True)

        self.ask('confirm', message='Delete the draft?')
        self.press('Escape')
        self.assertIs(self.result('confirm'), False)

        # Closed by the window manager (openbox's Alt+F4): refused, and answered once.
        self.ask('confirm', message='Delete the draft?')
        self.press('alt+F4')
        self.assertIs(self.result('confirm'), False)

    def test_prompt(self):
        self.ask('prompt', message='Name?', fill='abc')
        self.press('Return')
        self.assertEqual(self.result('prompt'), 'abc')

        self.ask('prompt', message='Name?', fill='abc')
        self.type('xyz')   # the field has the keys, its text selected
        self.press('Return')
        self.assertEqual(self.result('prompt'), 'xyz')

        self.ask('prompt', message='Name?', fill='abc')
        self.press('ctrl+a', 'BackSpace', 'Return')
        self.assertEqual(self.result('prompt'), '')

        self.ask('prompt', message='Name?')
        self.press('Return')
        self.assertEqual(self.result('prompt'), '')

        self.ask('prompt', message='Name?', fill='abc')
        self.type('typed')
        self.press('Escape')
        self.assertIsNone(self.result('prompt'))

        self.ask('prompt', message='Name?', fill='abc')
        self.press('alt+F4')
        self.assertIsNone(self.result('prompt'))

    def test_leaving_a_page_is_never_asked(self):
        # WebKit asks about leaving only for a navigation the user started.
        self.step('leave')
        self.assertIs(self.result('armed'), True)
        _, _, width, height = window_box(self.main)
        self.click(self.main, width / 2, height / 2)   # between the file inputs
        wait_until(lambda: any(e['href'].endswith('?left') for e in self.events('loaded')),
                   DIALOG_TIMEOUT, 'the page to be left')
        self.assertEqual(self.dialogs(), [])

    # -- file inputs ---------------------------------------------------------

    def choose(self, input_id):
        _, _, width, height = window_box(self.main)
        self.click(self.main, width * (0.25 if input_id == 'one' else 0.75), height / 2)
        return self.dialog()

    def type_location(self, path):
        self.press('ctrl+l')
        self.type(path)
        self.press('Return')

    def until_closed(self, action, what):
        """Repeats action until the chooser has gone: while it is still busy with what was
        typed (completion, entering a folder), a key may end only that."""
        def done():
            action()
            try:
                return wait_until(lambda: not self.dialogs(), 2, what)
            except AssertionError:
                return False
        wait_until(done, DIALOG_TIMEOUT, what)

    def inputs(self):
        """What the page's two file inputs hold: [single, multiple], null for nothing."""
        self.step('files')
        return self.result('files')

    def make_files(self, folder, *names):
        os.makedirs(folder)
        for name in names:
            with open(os.path.join(folder, name), 'w') as f:
                f.write(name)

    def test_file_input_takes_one_file_never_a_folder(self):
        files = os.path.join(self.tmp, 'files')
        self.make_files(files, 'first.txt')
        os.mkdir(os.path.join(files, 'folder'))

        self.assert_attached(self.choose('one'))
        self.type_location(os.path.join(files, 'first.txt'))
        self.assertEqual(self.result('change-one'), ['first.txt'])

        # A folder is entered, never chosen; cancelling leaves the input as it was.
        self.choose('one')
        self.type_location(os.path.join(files, 'folder'))
        self.until_closed(lambda: self.press('Escape'), 'the chooser to close on Escape')
        self.assertEqual(self.inputs(), [['first.txt'], None])

    def test_file_input_with_multiple_takes_several(self):
        files = os.path.join(self.tmp, 'files')
        self.make_files(files, 'first.txt', 'second.txt')

        self.choose('many')
        self.until_closed(lambda: self.press('Escape'), 'the chooser to close on Escape')
        self.assertEqual(self.inputs(), [None, None])

        wid = self.choose('many')
        self.type_location(files)
        self.dialog_text(wid, 'first.txt', 'second.txt')   # the folder is shown
        _, _, width, height = window_box(wid)

        def select_all_and_open():
            self.press('ctrl+a')
            self.click(wid, width - 50, height - 30)   # Open, at the bottom right
        self.until_closed(select_all_and_open, 'the chooser to open the selection')
        self.assertEqual(self.result('change-many'), ['first.txt', 'second.txt'])
