"""Every way the app is told to quit lets its server wind down first."""
import signal, time

from .harness import GuiTest, xdo

ENDINGS = ('stdin', 'eof', 'exit', 'signal')


def ctrl_q(app):
    xdo('windowactivate', '--sync', app.wid)
    xdo('key', 'ctrl+q')


class QuitTest(GuiTest):
    def endings(self, app):
        return [e['event'] for e in self.events(since=app.started) if e['event'] in ENDINGS]

    def test_quit(self):
        for way, quit in (('ctrl+q', ctrl_q), ('SIGINT', lambda app: app.proc.send_signal(signal.SIGINT)),
                          ('SIGHUP', lambda app: app.proc.send_signal(signal.SIGHUP))):
            with self.subTest(way):
                # The server takes a second to wind down after EOF, so an app that died
                # at once instead of waiting would exit before it.
                app = self.start('standard(linger=1)')
                quit(app)
                self.assertEqual(app.wait_exit(8), 0)
                self.assertEqual(self.endings(app), ['eof', 'exit'])
                self.assertLess(self.events('exit', app.started)[0]['t'], app.exited_at,
                                'the app must wait for the server before exiting')
                trace = app.trace()
                self.assertNotIn('status-shown', trace[trace.index('page-loaded'):],
                                 'a server ending because the app quits has not stopped')

        with self.subTest('SIGTERM stops a server that ignores EOF'):
            app = self.start('standard(exit_on_eof=False)')
            quit_at = time.monotonic()
            app.proc.send_signal(signal.SIGTERM)
            self.assertEqual(app.wait_exit(15), 0)
            self.assertLess(self.events('eof', app.started)[0]['t'] - quit_at, 1.5)
            got = self.events('signal', app.started)
            self.assertEqual([e['name'] for e in got], ['SIGTERM'])
            self.assertTrue(5.5 <= got[0]['t'] - quit_at <= 8,
                            'SIGTERM came %.2fs after quitting' % (got[0]['t'] - quit_at))

        with self.subTest('killed app leaves server at EOF'):
            app = self.start('standard(linger=1)')
            app.proc.kill()
            self.wait_event('exit', 10, since=app.started)
            self.assertEqual(self.endings(app), ['eof', 'exit'])
