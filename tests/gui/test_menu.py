"""Menu commands by their shortcuts, pressed while the page has the keyboard focus, the
in-window menu, and launching again while the app runs."""
from .harness import (STEP_TIMEOUT, GuiTest, press_in_page, retry, wait_until, wm_state,
                      xdo)


class MenuTest(GuiTest):
    def test_menu_and_relaunch(self):
        bundle = self.make_bundle()
        app = self.start(bundle)
        wid = app.wid

        with self.subTest('in-window menu'):
            for key in ('F10', 'alt'):
                press_in_page(wid, key)
                popup = wait_until(lambda: app.others(wid), STEP_TIMEOUT, 'the menu after ' + key)[0]
                self.wait_text('testapp', 'edit', 'view', 'window', wid=popup, timeout=STEP_TIMEOUT)
                xdo('key', 'Escape')
                wait_until(lambda: not app.others(wid), STEP_TIMEOUT, 'the menu to close')

        with self.subTest('relaunch presents the running app'):
            self.assertEqual(self.launch(bundle).wait_exit(20), 0)
            self.assertIsNone(app.proc.poll())
            self.assertEqual(xdo('search', '--onlyvisible', '--name', '^Testapp$').split(), [wid])

        with self.subTest('close and hide leave the app running'):
            # Alt+F4 is openbox's close. Under load a key can reach the window before
            # openbox has focused it, so each is pressed until the window has gone.
            for key in ('ctrl+w', 'ctrl+h', 'alt+F4'):
                retry(lambda: app.windows() and press_in_page(wid, key),
                      lambda: not app.windows(), 'the window to go after ' + key, 20, each=3)
                self.assertIsNone(app.proc.poll())
                # Launching again brings the same window back.
                self.assertEqual(self.launch(bundle).wait_exit(20), 0)
                self.assertEqual(app.window(STEP_TIMEOUT), wid)
            self.assertEqual([e['event'] for e in self.events() if e['event'] != 'seen'], ['start'])

        with self.subTest('minimize'):
            press_in_page(wid, 'ctrl+m')
            wait_until(lambda: '_NET_WM_STATE_HIDDEN' in wm_state(wid), STEP_TIMEOUT,
                       'the window to be minimised')
            self.assertIsNone(app.proc.poll())
