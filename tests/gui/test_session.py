"""The window's size and maximised state, kept from one run to the next."""
import os

from .harness import DEFAULT_SIZE, GuiTest, geometry, wait_until, wm_state, xdo


class WindowStateTest(GuiTest):
    def test_window_state_is_kept(self):
        bundle, state = self.make_bundle(), os.path.join(
            self.xdg['XDG_STATE_HOME'], 'Testapp', 'window-state.ini')
        os.makedirs(os.path.dirname(state))

        with self.subTest('unreadable state means defaults'):
            with open(state, 'wb') as f:
                f.write(b'[main\nwidth=-40\x00\xff\nheight=abc\n')
            app = self.start(bundle)
            self.assertEqual(geometry(app.wid), DEFAULT_SIZE)

        with self.subTest('size is restored'):
            xdo('windowsize', app.wid, '900', '600')
            wait_until(lambda: geometry(app.wid) == (900, 600), 10,
                       lambda: 'resize to 900x600, window is %s' % (geometry(app.wid),))
            # Quit only once the page inside has been laid out at the new size.
            wait_until(lambda: [e for e in self.events('size') if e['width'] <= 900], 10,
                       lambda: 'the page to see the resize: %s' % self.events('size'))
            self.assertEqual(app.quit(), 0)
            app = self.start(bundle)
            self.assertEqual(geometry(app.wid), (900, 600))
            self.assertEqual(app.quit(), 0)

        with self.subTest('maximized is restored'):
            with open(state, 'w') as f:
                f.write('[main]\nwidth=700\nheight=500\nmaximized=true\n')
            app = self.start(bundle)
            wait_until(lambda: 'MAXIMIZED_VERT' in wm_state(app.wid), 10, lambda: wm_state(app.wid))
            self.assertIn('MAXIMIZED_HORZ', wm_state(app.wid))
            self.assertEqual(app.quit(), 0)
            with open(state) as f:
                self.assertRegex(f.read(), r'(?m)^maximized=true$')
