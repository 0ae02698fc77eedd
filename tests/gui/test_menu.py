"""Menu commands by their shortcuts, pressed while the page has the keyboard focus, and
the in-window menu."""
import os

from .harness import GuiTest, normalise, run, wait_until, window_box, xdo

STEP_TIMEOUT = 15


class MenuTest(GuiTest):
    def setUp(self):
        super().setUp()
        self.bundle = self.make_bundle()
        self.app = self.launch(self.bundle)
        self.wait_event('seen')
        self.app.wait_trace('page-loaded')
        self.wid = self.app.window()

    def press(self, key):
        xdo('windowactivate', '--sync', self.wid)
        xdo('mousemove', '--window', self.wid, '600', '400')
        xdo('click', '1')
        xdo('key', key)

    def popups(self):
        return [w for w in self.app.windows() if w != self.wid]

    def text_of(self, wid):
        shot, img = os.path.join(self.tmp, 'shot.png'), os.path.join(self.tmp, 'popup.png')
        x, y, width, height = window_box(wid)
        run('import', '-window', 'root', shot)
        run('convert', shot, '-crop', '%dx%d+%d+%d' % (width, height, x, y), '+repage',
            '-colorspace', 'Gray', '-resize', '300%', '-threshold', '60%', img)
        return normalise(run('tesseract', img, '-', '--psm', '6', timeout=60))

    def test_close_and_hide_leave_the_app_running(self):
        for key in ('ctrl+w', 'ctrl+h'):
            self.press(key)
            wait_until(lambda: not self.app.windows(), STEP_TIMEOUT,
                       'the window to go after %s' % key)
            self.assertIsNone(self.app.proc.poll())
            # Launching again brings the same window back.
            self.assertEqual(self.launch(self.bundle).wait_exit(20), 0)
            self.assertEqual(self.app.window(STEP_TIMEOUT), self.wid)
        self.assertEqual([e['event'] for e in self.events() if e['event'] != 'seen'], ['start'])

    def test_minimize(self):
        self.press('ctrl+m')
        wait_until(lambda: '_NET_WM_STATE_HIDDEN' in run('xprop', '-id', self.wid, '_NET_WM_STATE'),
                   STEP_TIMEOUT, 'the window to be minimised')
        self.assertIsNone(self.app.proc.poll())

    def test_in_window_menu(self):
        for key in ('F10', 'alt'):
            self.press(key)
            popup = wait_until(self.popups, STEP_TIMEOUT, 'the menu after %s' % key)[0]
            seen = ['']

            def titles_shown():
                seen[0] = self.text_of(popup)
                return all(title in seen[0].split() for title in ('testapp', 'edit', 'view', 'window'))
            wait_until(titles_shown, STEP_TIMEOUT, lambda: 'the menu titles after %s; OCR read %r' % (key, seen[0]),
                       interval=0.2)
            xdo('key', 'Escape')
            wait_until(lambda: not self.popups(), STEP_TIMEOUT, 'the menu to close')
