"""The starting page, bundles that cannot start their server, and how the server is started."""
import os

from .harness import DEFAULT_SIZE, GuiTest, geometry, run, xdo

SILENT = 'watch_stdin()\nidle()'   # starts, never announces
INCOMPLETE = ('Testapp is incomplete', 'missing its files', 'Download it again')


class StatusPageTest(GuiTest):
    def test_starting_page_in_one_frameless_window(self):
        # Without a name in the bundle the app calls itself Mirovan; an empty
        # MIROVAN_DATA means the default data folder.
        app = self.launch(self.make_bundle(SILENT, name=None), env={'MIROVAN_DATA': ''})
        wid = app.window()
        self.assertEqual(xdo('getwindowname', wid).strip(), 'Mirovan')
        self.wait_text('Starting Mirovan')
        self.assertEqual(len(app.windows()), 1)
        self.assertEqual(geometry(wid), DEFAULT_SIZE)
        # Motif hints: flags, functions, decorations; flag 2 + no decorations.
        hints = run('xprop', '-id', wid, '_MOTIF_WM_HINTS')
        fields = [int(v, 0) for v in hints.partition('=')[2].split(',') if v.strip()]
        self.assertTrue(len(fields) >= 3 and fields[0] & 2 and fields[2] == 0, hints)
        self.assertEqual(self.wait_event('start')['data'],
                         os.path.join(self.xdg['XDG_DATA_HOME'], 'Mirovan'))

    def test_broken_bundles_start_nothing(self):
        for case, broken, phrases in (
                ('no interpreter', dict(python='missing'), INCOMPLETE),
                ('interpreter not executable', dict(python='noexec'), INCOMPLETE),
                ('interpreter is a directory', dict(python='directory'), INCOMPLETE),
                ('no server script', dict(script=False), INCOMPLETE),
                ('interpreter that cannot run', dict(python='garbage'),
                 ("Testapp couldn't start", 'Exec format error'))):
            with self.subTest(case):
                app = self.launch(self.make_bundle(**broken))
                self.wait_text(*phrases)
                self.assertIsNone(app.proc.poll())
                app.quit()
        self.assertEqual(self.events('start'), [])


class ServerLaunchTest(GuiTest):
    def test_how_the_server_is_started(self):
        bundle = self.make_bundle(name='Env Test')
        work = os.path.join(self.tmp, 'work')
        os.makedirs(work)
        app = self.launch(bundle, env={'MIROVAN_DATA': 'rel/data'}, cwd=work)
        start = self.wait_event('start')
        self.assertEqual(start['argv'][1:], ['-B', bundle.script, '--port', '0', '--watch-stdin'])
        self.assertEqual(start['cwd'], bundle.app_dir)
        self.assertEqual(start['data'], os.path.join(work, 'rel', 'data'))
        self.assertEqual(start['env_bytecode'], '1')
        self.assertEqual(start['pgid'], start['pid'])
        self.assertNotEqual(start['pgid'], os.getpgid(app.pid))
        self.assertTrue(start['stdin']['fifo'])
        self.assertTrue(start['stdout']['fifo'])
        self.assertEqual(start['stdout']['id'], start['stderr']['id'])
        self.assertNotEqual(start['stdin']['id'], start['stdout']['id'])
        # The page came through open-link in the relative data dir.
        self.assertEqual(self.wait_event('seen')['label'], 'real')
