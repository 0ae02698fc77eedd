"""The page's alert, confirm and prompt, and its file inputs, answered through the
app's own dialogs, driven by keyboard as a person would."""
import os, re

from .harness import STEP_TIMEOUT, GuiTest, click, retry, run, wait_until, window_box, xdo

# The page opens the dialog the test leaves in OUT/next.json and reports every answer
# as JSON, so that null, "" and false stay apart. Everything it offers to click sits
# well below the window-drag strip at the top.
SERVER = r'''
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
addEventListener('load', () => { fetch('/seen?href=' + encodeURIComponent(location.href)); poll(); });
</script></body></html>"""
announce(page_server(PAGE))
'''


def window_property(wid, name):
    return run('xprop', '-id', wid, name)


class PageDialogTest(GuiTest):
    def setUp(self):
        super().setUp()
        # Without the portal GTK's own chooser shows, which openbox and xdotool can drive;
        # without recent files every chooser opens on a folder, where a typed path works.
        settings = os.path.join(self.xdg['XDG_CONFIG_HOME'], 'gtk-4.0')
        os.makedirs(settings)
        with open(os.path.join(settings, 'settings.ini'), 'w') as f:
            f.write('[Settings]\ngtk-recent-files-enabled=false\n')
        self.app = self.start(SERVER, {'GTK_USE_PORTAL': '0'})
        self.main, self.seen_results = self.app.wid, 0

    def ask(self, kind, **fields):
        """Has the page open a dialog; returns the dialog's window."""
        self.put('next.json', dict(fields, kind=kind))
        return self.dialog()

    def dialogs(self):
        # Not every other window is a dialog: WebKit's tooltips are windows too.
        return [w for w in self.app.others(self.main)
                if '_NET_WM_WINDOW_TYPE_DIALOG' in window_property(w, '_NET_WM_WINDOW_TYPE')]

    def dialog(self):
        wid = wait_until(self.dialogs, STEP_TIMEOUT, 'a dialog window')[0]
        # Keys go to whichever window has the focus: wait until it is the dialog.
        wait_until(lambda: xdo('getactivewindow').strip() == wid, STEP_TIMEOUT,
                   'the dialog to take the keyboard focus')
        return wid

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
        got = wait_until(lambda: self.events('result')[self.seen_results:], STEP_TIMEOUT,
                         lambda: 'the page to report %r' % what)[0]
        self.seen_results += 1
        self.assertEqual(got['what'], what)
        wait_until(lambda: not self.dialogs(), STEP_TIMEOUT, 'the dialog to close')
        return got['value']

    def answers(self, kind, cases, **fields):
        """Opens the dialog once per (text to type, keys to press, expected answer)."""
        for text, keys, expected in cases:
            self.ask(kind, **fields)
            if text:
                self.type(text)
            self.press(*keys.split())
            self.assertEqual(self.result(kind), expected, (kind, text, keys))

    def choose(self, input_id):
        _, _, width, height = window_box(self.main)
        click(self.main, width * (0.25 if input_id == 'one' else 0.75), height / 2)
        return self.dialog()

    def type_location(self, path):
        self.press('ctrl+l')
        self.type(path)
        self.press('Return')

    def until_closed(self, action, what):
        # While the chooser is still busy with what was typed (completion, entering a
        # folder), a key may end only that.
        retry(action, lambda: not self.dialogs(), what)

    def inputs(self):
        """What the page's two file inputs hold: [single, multiple], null for nothing."""
        self.put('next.json', {'kind': 'files'})
        return self.result('files')

    def test_page_dialogs(self):
        with self.subTest('alert and confirm'):
            wid = self.ask('alert', message='Import finished')
            self.assert_attached(wid)
            self.assertNotIn('cancel', self.wait_text('Import finished', 'OK', wid=wid))
            self.assertEqual(self.events('result'), [], 'the script must wait for the answer')
            self.press('Return')
            self.assertEqual(self.result('alert'), '(undefined)')
            self.answers('alert', [('', 'Escape', '(undefined)')], message='Escape also ends it')

            wid = self.ask('confirm', message='Delete the draft?')
            text = self.wait_text('Delete the draft?', 'OK', 'Cancel', wid=wid)
            self.assertLess(text.index('ok'), text.index('cancel'), 'OK comes first')
            self.press('Return')
            self.assertIs(self.result('confirm'), True)
            # Closed by the window manager (openbox's Alt+F4): refused, and answered once.
            self.answers('confirm', [('', 'Escape', False), ('', 'alt+F4', False)],
                         message='Delete the draft?')

        with self.subTest('prompt'):
            self.answers('prompt', [
                ('', 'Return', 'abc'),
                ('xyz', 'Return', 'xyz'),   # the field has the keys, its text selected
                ('', 'ctrl+a BackSpace Return', ''),
                ('typed', 'Escape', None),
                ('', 'alt+F4', None)], message='Name?', fill='abc')
            self.answers('prompt', [('', 'Return', '')], message='Name?')

        def make_files(folder, *names):
            os.makedirs(folder)
            for name in names:
                with open(os.path.join(folder, name), 'w') as f:
                    f.write(name)
        one, many = os.path.join(self.tmp, 'one'), os.path.join(self.tmp, 'many')
        make_files(one, 'first.txt')
        os.mkdir(os.path.join(one, 'folder'))
        make_files(many, 'first.txt', 'second.txt')

        with self.subTest('file input takes one file, never a folder'):
            self.assert_attached(self.choose('one'))
            self.type_location(os.path.join(one, 'first.txt'))
            self.assertEqual(self.result('change-one'), ['first.txt'])
            # A folder is entered, never chosen; cancelling leaves the input as it was.
            self.choose('one')
            self.type_location(os.path.join(one, 'folder'))
            self.until_closed(lambda: self.press('Escape'), 'the chooser to close on Escape')
            self.assertEqual(self.inputs(), [['first.txt'], None])

        with self.subTest('file input with multiple takes several'):
            wid = self.choose('many')
            self.type_location(many)
            self.wait_text('first.txt', 'second.txt', wid=wid)   # the folder is shown
            _, _, width, height = window_box(wid)

            def select_all_and_open():
                self.press('ctrl+a')
                click(wid, width - 50, height - 30)   # Open, at the bottom right
            self.until_closed(select_all_and_open, 'the chooser to open the selection')
            self.assertEqual(self.result('change-many'), ['first.txt', 'second.txt'])

        with self.subTest('leaving a page is never asked'):
            # WebKit asks about leaving only for a navigation the user started.
            self.put('next.json', {'kind': 'leave'})
            self.assertIs(self.result('armed'), True)
            _, _, width, height = window_box(self.main)
            click(self.main, width / 2, height / 2)   # between the file inputs
            wait_until(lambda: any(e['href'].endswith('?left') for e in self.events('seen')),
                       STEP_TIMEOUT, 'the page to be left')
            self.assertEqual(self.dialogs(), [])
