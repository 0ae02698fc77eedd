import signal, time

from .harness import GuiTest, xdo

# Well-behaved but not instant: it takes a second to wind down after EOF, so
# an app that died at once instead of waiting would exit before the server.
SLOW_EOF = 'standard(linger=1)'
STUBBORN = 'standard(exit_on_eof=False)'
ENDINGS = ('stdin', 'eof', 'exit', 'signal')


class QuitTest(GuiTest):
    def running_app(self, server=SLOW_EOF):
        app = self.launch(self.make_bundle(server))
        self.wait_event('seen')
        app.wait_trace('page-loaded')
        return app

    def check_clean_quit(self, app):
        self.assertEqual(app.wait_exit(8), 0)
        self.assertEqual([e['event'] for e in self.events() if e['event'] in ENDINGS],
                         ['eof', 'exit'])
        self.assertLess(self.events('exit')[0]['t'], app.exited_at,
                        'the app must wait for the server before exiting')

    def test_ctrl_q(self):
        app = self.running_app()
        wid = app.window()
        xdo('windowactivate', '--sync', wid)
        xdo('key', 'ctrl+q')
        self.check_clean_quit(app)

    def test_sigint(self):
        app = self.running_app()
        app.proc.send_signal(signal.SIGINT)
        self.check_clean_quit(app)

    def test_sighup(self):
        app = self.running_app()
        app.proc.send_signal(signal.SIGHUP)
        self.check_clean_quit(app)

    def test_sigterm_stops_a_server_that_ignores_eof(self):
        app = self.running_app(STUBBORN)
        quit_at = time.monotonic()
        app.proc.send_signal(signal.SIGTERM)
        self.assertEqual(app.wait_exit(15), 0)
        self.assertLess(self.events('eof')[0]['t'] - quit_at, 1.5)
        got = self.events('signal')
        self.assertEqual([e['name'] for e in got], ['SIGTERM'])
        self.assertTrue(5.5 <= got[0]['t'] - quit_at <= 8,
                        'SIGTERM came %.2fs after quitting' % (got[0]['t'] - quit_at))

    def test_killed_app_leaves_server_at_eof(self):
        app = self.running_app()
        app.proc.kill()
        self.wait_event('exit', 10)
        self.assertEqual([e['event'] for e in self.events() if e['event'] in ENDINGS],
                         ['eof', 'exit'])
