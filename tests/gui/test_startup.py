import os

from .harness import DEFAULT_SIZE, GuiTest, LOAD_TIMEOUT, geometry, run, xdo

SILENT = 'watch_stdin()\nidle()'   # starts, never announces


class StatusPageTest(GuiTest):
    def test_starting_page_in_one_frameless_window(self):
        app = self.launch(self.make_bundle(SILENT))
        wid = app.window()
        self.assertEqual(xdo('getwindowname', wid).strip(), 'Testapp')
        self.wait_text('Starting Testapp')
        self.assertEqual(len(app.windows()), 1)
        self.assertEqual(geometry(wid), DEFAULT_SIZE)
        # Motif hints: flags, functions, decorations; flag 2 + no decorations.
        hints = run('xprop', '-id', wid, '_MOTIF_WM_HINTS')
        fields = [int(v, 0) for v in hints.partition('=')[2].split(',') if v.strip()]
        self.assertTrue(len(fields) >= 3 and fields[0] & 2 and fields[2] == 0, hints)

    def test_name_falls_back_to_mirovan(self):
        app = self.launch(self.make_bundle(SILENT, name=None))
        self.assertEqual(xdo('getwindowname', app.window()).strip(), 'Mirovan')
        self.wait_text('Starting Mirovan')
        self.assertEqual(self.wait_event('start')['data'],
                         os.path.join(self.xdg['XDG_DATA_HOME'], 'Mirovan'))

    def test_incomplete_bundles_start_nothing(self):
        cases = {'no interpreter': dict(python='missing'),
                 'interpreter not executable': dict(python='noexec'),
                 'interpreter is a directory': dict(python='directory'),
                 'no server script': dict(script=False)}
        for case, broken in cases.items():
            with self.subTest(case):
                app = self.launch(self.make_bundle(folder=case + '.app', **broken))
                self.wait_text('Testapp is incomplete', 'missing its files',
                               'Download it again')
                self.assertIsNone(app.proc.poll())
                app.proc.terminate()
                app.wait_exit(15)
        self.assertEqual(self.events('start'), [])

    def test_interpreter_that_cannot_run(self):
        app = self.launch(self.make_bundle(python='garbage'))
        self.wait_text("Testapp couldn't start", 'Exec format error')
        self.assertIsNone(app.proc.poll())


class ServerLaunchTest(GuiTest):
    def test_how_the_server_is_started(self):
        bundle = self.make_bundle(name='Env Test')
        work = os.path.join(self.tmp, 'work')
        os.makedirs(work)
        app = self.launch(bundle, env={'MIROVAN_DATA': 'rel/data'}, cwd=work)
        start = self.wait_event('start')
        self.assertEqual(start['argv'][1:],
                         ['-B', bundle.script, '--port', '0', '--watch-stdin'])
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

    def test_empty_data_variable_means_default_dir(self):
        self.launch(self.make_bundle(name='Env Test'), env={'MIROVAN_DATA': ''})
        self.assertEqual(self.wait_event('start')['data'],
                         os.path.join(self.xdg['XDG_DATA_HOME'], 'Env Test'))
        self.wait_event('seen', LOAD_TIMEOUT)
