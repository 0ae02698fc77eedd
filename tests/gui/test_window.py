"""The one frameless window: its starting page, buttons, menu and shortcuts, the size and
maximised state kept from one run to the next, and launching again while it runs."""
import os, plistlib, shutil, subprocess, time

from .harness import (DEFAULT_SIZE, STEP_TIMEOUT, GuiTest, click, press_in_page, read, retry, run, wait_until,
                      window_box, wm_state, xdo)

COLOURS = {'close': (0xff, 0x5f, 0x57), 'minimize': (0xfe, 0xbc, 0x2e), 'maximize': (0x28, 0xc8, 0x40)}


def pixels(wid):
    """{(x, y): (r, g, b)} of the window's top left 120 by 120 pixels."""
    data = subprocess.run('import -window %s png:- | convert - -crop 120x120+0+0 -depth 8 rgb:-' % wid,
                          shell=True, capture_output=True, timeout=30).stdout
    return {(i // 3 % 120, i // 3 // 120): tuple(data[i:i + 3]) for i in range(0, len(data), 3)}


def size(wid):
    return window_box(wid)[2:]


class WindowTest(GuiTest):
    def assert_buttons_placed(self, wid):
        """Left edges at 18, 41 and 64 (12 px wide), centres 21 px below the content's top."""
        def measured():   # the pixels of each button's colour, its anti-aliased rim left out
            shot = pixels(wid)
            spots = {name: [xy for xy, rgb in shot.items() if all(abs(a - b) <= 6 for a, b in zip(rgb, colour))]
                     for name, colour in COLOURS.items()}
            return all(spots.values()) and (shot, spots)
        shot, spots = wait_until(measured, 30, 'three window buttons on screen', interval=0.3)
        # The content starts inside the window's frame, after its last pixel that is not the page's
        # background (the frame's bands may have the page's colour: libadwaita 1.7's do).
        top = 1 + max(y for (x, y), rgb in shot.items() if x == 100 and y < 110 and rgb != shot[(110, 110)])
        left = 1 + max(x for (x, y), rgb in shot.items() if y == 100 and x < 110 and rgb != shot[(110, 110)])
        for (name, found), x in zip(spots.items(), (24, 47, 70)):
            (x0, y0), (x1, y1) = map(min, zip(*found)), map(max, zip(*found))
            self.assertAlmostEqual((x0 + x1 + 1) / 2 - left, x, delta=1, msg=(name, x0, y0, x1, y1, left, top))
            self.assertAlmostEqual((y0 + y1 + 1) / 2 - top, 21, delta=1, msg=(name, x0, y0, x1, y1, left, top))

    def toggle_maximised(self, wid, wanted):
        """Double presses on the strip until the window is maximised or not (under load the window
        manager may take the second for the move the first began); the page sees no press."""
        since = time.monotonic()
        retry(lambda: click(wid, 300, 15, '--repeat', '2', '--delay', '80'),
              lambda: ('MAXIMIZED_VERT' in wm_state(wid)) == wanted, 'maximised to be %s' % wanted, each=5)
        click(wid, 600, 90)
        self.assertGreater(self.wait_event('down', STEP_TIMEOUT, since)['y'], 36)

    def unnamed(self):
        """A bundle with no name, so the app calls itself Mirovan, and with an icon, whose
        server announces itself once told to; its identifier; its window state file."""
        bundle = self.make_bundle("standard(gate='go')", name=None, info={'CFBundleIconFile': 'icon.svg'})
        shutil.copy(os.path.join(os.path.dirname(self.binary), '..', 'Resources', 'icon.svg'),
                    os.path.join(bundle.root, 'Contents', 'Resources'))
        with open(os.path.join(bundle.root, 'Contents', 'Info.plist'), 'rb') as f:
            ident = plistlib.load(f)['CFBundleIdentifier']
        return bundle, ident, os.path.join(self.xdg['XDG_STATE_HOME'], 'Mirovan', 'window-state.ini')

    def test_first_run(self):
        bundle, ident, state = self.unnamed()
        self.write(state, b'[main\nwidth=-40\x00\xff\nheight=abc\n')   # unreadable: defaults
        # An empty MIROVAN_DATA means the default data folder.
        app = self.launch(bundle, env={'MIROVAN_DATA': ''})
        wid = app.window()

        with self.subTest('starting page in one frameless window'):
            self.wait_text('Starting Mirovan')
            self.assertEqual(xdo('getwindowname', wid).strip(), 'Mirovan')
            self.assertEqual(app.windows(), [wid])
            self.assertEqual(size(wid), DEFAULT_SIZE)
            # Motif hints: flags, functions, decorations; flag 2 and no decorations.
            hints = run('xprop', '-id', wid, '_MOTIF_WM_HINTS')
            fields = [int(v, 0) for v in hints.partition('=')[2].split(',') if v.strip()]
            self.assertTrue(len(fields) >= 3 and fields[0] & 2 and fields[2] == 0, hints)
            self.assertEqual(self.wait_event('start')['data'], os.path.join(self.xdg['XDG_DATA_HOME'], 'Mirovan'))
            self.assert_buttons_placed(wid)

        with self.subTest('in-window menu; reload and recovery wait for the page'):
            press_in_page(wid, 'ctrl+r', 'ctrl+alt+r')
            for key in ('F10', 'alt'):   # keys are handled in order: the reloads have run
                retry(lambda: press_in_page(wid, key), lambda: app.others(wid), 'the menu after ' + key, each=5)
                self.wait_text('mirovan', 'edit', 'view', 'window', wid=app.others(wid)[0], timeout=STEP_TIMEOUT)
                xdo('key', 'Escape')
                wait_until(lambda: not app.others(wid), STEP_TIMEOUT, 'the menu to close')
            self.wait_text('Starting Mirovan')
            self.assertEqual(app.trace().count('status-loaded'), 1)
            self.assertNotIn('page-loaded', app.trace())
            self.assertEqual(self.events('seen'), [])

        with self.subTest('size and maximised state are saved'):
            self.put('go')
            self.wait_event('seen')
            # The page's store is the app's own, named after its identifier.
            store = os.path.join(self.xdg['XDG_DATA_HOME'], ident, 'webkit')
            wait_until(lambda: os.path.isdir(store), STEP_TIMEOUT, 'the store at ' + store)
            self.assertNotIn('mirovan', os.listdir(self.xdg['XDG_DATA_HOME']))
            xdo('windowsize', wid, '900', '600')
            wait_until(lambda: size(wid) == (900, 600), 10, lambda: 'a resize: %s' % (size(wid),))
            wait_until(lambda: 'width=900' in read(state), STEP_TIMEOUT, 'the new size saved')
            self.assert_buttons_placed(wid)
            self.toggle_maximised(wid, True)
            self.assertEqual(app.quit(), 0)
            self.assertRegex(read(state), r'(?m)^maximized=true$')

    def test_next_run(self):
        bundle, ident, state = self.unnamed()
        self.write(state, '[main]\nwidth=900\nheight=600\nmaximized=true\n')
        self.put('go')
        app = self.start(bundle)
        wid = app.wid
        with self.subTest('size and maximised state are restored'):
            wait_until(lambda: 'MAXIMIZED_HORZ' in wm_state(wid), 10, lambda: wm_state(wid))
            self.assertIn('MAXIMIZED_VERT', wm_state(wid))
            self.toggle_maximised(wid, False)
            wait_until(lambda: size(wid) == (900, 600), 10, lambda: 'size %s' % (size(wid),))

        with self.subTest('launching again presents the running app'):
            self.assertEqual(self.launch(bundle).wait_exit(20), 0)
            self.assertEqual(xdo('search', '--onlyvisible', '--name', '^Mirovan$').split(), [wid])
            # Alt+F4 is openbox's close. A key can reach the window before openbox has
            # focused it, so each is pressed until the window has gone.
            for key in ('ctrl+w', 'ctrl+h', 'alt+F4'):
                retry(lambda: app.windows() and press_in_page(wid, key),
                      lambda: not app.windows(), 'the window to go after ' + key, 20, each=3)
                self.assertIsNone(app.proc.poll())
                self.assertEqual(self.launch(bundle).wait_exit(20), 0)
                self.assertEqual(app.window(STEP_TIMEOUT), wid)
            self.assertEqual(len(self.events('start', app.started)), 1)

        with self.subTest('the launcher entry names the window and brings it back'):
            self.assertEqual(run('xprop', '-id', wid, 'WM_CLASS').partition('=')[2].strip(), '"%s", "%s"' % (ident, ident))
            entry = os.path.join(self.xdg['XDG_DATA_HOME'], 'applications', ident + '.desktop')
            wait_until(lambda: os.path.exists(entry), STEP_TIMEOUT, entry)
            checked = subprocess.run(['desktop-file-validate', entry], capture_output=True, text=True)
            self.assertEqual((checked.returncode, checked.stdout), (0, ''))
            # Through the link to the bundle in the app's data folder.
            program = read(entry).partition('\nExec=')[2].partition('\n')[0]
            self.assertEqual(os.path.realpath(program), os.path.realpath(bundle.executable))
            self.assertTrue(os.path.exists(os.path.join(self.xdg['XDG_DATA_HOME'], 'icons', 'hicolor', 'scalable', 'apps',
                                                        ident + '.svg')))
            retry(lambda: app.windows() and press_in_page(wid, 'ctrl+w'), lambda: not app.windows(), 'a hidden window')
            env = dict(os.environ, **self.xdg, HOME=os.path.join(self.tmp, 'home'))
            subprocess.run(['gio', 'launch', entry], env=env, timeout=20)
            self.assertEqual(app.window(STEP_TIMEOUT), wid)
            self.assertEqual(len(self.events('start', app.started)), 1)

        with self.subTest('minimize'):
            press_in_page(wid, 'ctrl+m')
            wait_until(lambda: '_NET_WM_STATE_HIDDEN' in wm_state(wid), STEP_TIMEOUT, 'a minimised window')
            self.assertIsNone(app.proc.poll())
