"""How the server is started and which page the app shows once it has announced itself (on
stdout or stderr, in a line of its own, however written); each way of quitting, which lets
the server wind down, leaves nothing it started behind and never holds the window on
screen; and the pages shown instead when the server cannot start or stops."""
import os, re, signal, time

from .harness import LOAD_TIMEOUT, GuiTest, kill, read_proc, wait_until, xdo

# The announced port serves a decoy page: loading it would show up as 'announced'.
FROM_OPEN_LINK = ("announce(serve('announced'), link='http://127.0.0.1:%d/landing?via=open-link' % serve('real'), "
                  "linger=1)")
SPLIT = '''
port = serve('real')
write_open_link('http://127.0.0.1:%d/?via=open-link' % port)
watch_stdin(linger=1)
say('booting\\nMirovan Velto on http://127.0.')
time.sleep(0.7)   # lands in a separate read on the app's side
say('0.1:%d ready\\n' % port)
idle()
'''

# Lines close to an announcement (their every shape is a unit test); while they are the
# newest output, open-link points at a page the app must never show.
NEAR_MISSES = '''
wrong, real = serve('wrong'), serve('real')
write_open_link('http://127.0.0.1:%d/' % wrong)
watch_stdin(linger=1)
say('Mirovan Velto on http://localhost:%d ready\\nMirovan Velto on http://127.0.0.1:%d' % (wrong, wrong))
time.sleep(1.5)
write_open_link('http://127.0.0.1:%d/' % real)
say('\\nMirovan Velto on http://127.0.0.1:%d ready\\n' % real)
idle()
'''

LAST_LINES = '''say('Orange harbor one\\nSilver meadow two\\n\\nPurple canyon three\\n')
say('Golden <b>river</b>\\0 four\\n', sys.stderr)   # a NUL ends nothing
say('\\nVelvet forest five\\n\\n')
sys.exit(1)'''
# The page's first part, then the connection breaks.
PARTIAL = r'''import socket
listener = socket.create_server(('127.0.0.1', 0))
def answer():
    while True:
        peer, _ = listener.accept()
        peer.recv(65536)
        log('get')
        peer.sendall(b'HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 100000\r\n\r\n'
                     b'<body style="display:flex;height:100vh;align-items:center;justify-content:center">'
                     b'<h1>Partial lantern page</h1>' + b' ' * 4096)
        time.sleep(0.5)
        peer.close()
threading.Thread(target=answer, daemon=True).start()
announce(listener.getsockname()[1])'''
# Workers that outlive the server unless the app ends them: one in its group that hears
# neither end of input nor SIGTERM, one double-forked into a session of its own.
LEAVES_WORKERS = '''
if os.fork() == 0:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    log('worker')
    idle()
if os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
        log('worker')
        idle()
    os._exit(0)
standard()
'''
INCOMPLETE = ('Testapp is incomplete', 'missing its files', 'Download it again')


class ServerTest(GuiTest):
    def test_from_start_to_quit(self):
        work = os.path.join(self.tmp, 'work')
        os.makedirs(work)
        for case, server, path, quit in (
                ('page address from open-link; Ctrl+Q', FROM_OPEN_LINK, '/landing?via=open-link',
                 lambda app: (xdo('windowactivate', '--sync', app.wid), xdo('key', 'ctrl+q'))),
                ('announcement split across writes; SIGINT', SPLIT, '/?via=open-link', signal.SIGINT),
                ('announcement on stderr; SIGHUP', 'standard(sys.stderr, linger=1)', '/?via=open-link',
                 signal.SIGHUP),
                ('near misses are no announcement; app killed', NEAR_MISSES, '/', signal.SIGKILL),
                ('server ignores EOF; SIGTERM', 'standard(exit_on_eof=False)', '/?via=open-link',
                 signal.SIGTERM)):
            with self.subTest(case):
                bundle = self.make_bundle(server)
                app = self.start(bundle, {'MIROVAN_DATA': 'rel/data'}, work)
                # A process group of its own; stdin a pipe, stdout and stderr one other pipe.
                got = self.events('start', app.started)[0]
                self.assertEqual((got['argv'][1:], got['cwd'], got['data'], got['env_bytecode'], got['pgid'],
                                  got['stdin']['fifo'], got['stdout']['fifo'], got['stderr']['id']),
                                 (['-B', bundle.script, '--port', '0', '--watch-stdin'], bundle.app_dir,
                                  os.path.join(work, 'rel', 'data'), '1', got['pid'], True, True, got['stdout']['id']))
                self.assertNotEqual(got['stdin']['id'], got['stdout']['id'])
                seen = self.events('seen', app.started)
                self.assertEqual([e['label'] for e in seen], ['real'])
                self.assertRegex(seen[0]['href'], r'^http://127\.0\.0\.1:\d+%s$' % re.escape(path))
                self.assertEqual(seen[0]['text'], 'Page real')

                quit_at = time.monotonic()
                quit(app) if callable(quit) else app.proc.send_signal(quit)
                endings = lambda: [e['event'] for e in self.events(since=app.started)
                                   if e['event'] in ('stdin', 'eof', 'exit', 'signal')]
                if quit == signal.SIGKILL:   # the server still sees EOF
                    self.wait_event('exit', 10, since=app.started)
                    self.assertEqual(endings(), ['eof', 'exit'])
                elif quit == signal.SIGTERM:
                    self.assertEqual(app.wait_exit(15), 0)
                    self.assertEqual(endings(), ['eof', 'signal'])
                    self.assertLess(self.events('eof', app.started)[0]['t'] - quit_at, 1.5)
                    got = self.events('signal', app.started)[0]
                    self.assertTrue(got['name'] == 'SIGTERM' and 5.5 <= got['t'] - quit_at <= 8, (got, quit_at))
                else:
                    # The server lingers a second after EOF: the app must wait for it.
                    self.assertEqual(app.wait_exit(8), 0)
                    self.assertEqual(endings(), ['eof', 'exit'])
                    trace = app.trace()
                    self.assertNotIn('status-shown', trace[trace.index('page-loaded'):],
                                     'a server ending because the app quits has not stopped')

    def test_quit_hides_at_once_and_leaves_nothing_running(self):
        def ctrl_q(app):
            xdo('windowactivate', '--sync', app.wid)
            xdo('key', 'ctrl+q')
            return time.monotonic()

        def running(pid, script):
            return script in read_proc(pid, 'cmdline') and 'Z' not in read_proc(pid, 'stat').rsplit(')', 1)[-1][:3]

        for ending in 'quit', 'server killed':   # the latter as a launcher killed under the real server
            with self.subTest("workers in and out of the server's group", ending=ending):
                app = self.start(LEAVES_WORKERS)
                wait_until(lambda: len(self.events('worker', app.started)) == 2, 10, 'two workers')
                workers = [e['pid'] for e in self.events('worker', app.started)]
                server = self.events('start', app.started)[0]
                left = lambda: [pid for pid in workers if running(pid, server['argv'][2])]
                self.addCleanup(lambda: [kill(pid) for pid in left()])
                if ending == 'quit':
                    quit_at = ctrl_q(app)
                    self.assertEqual(app.wait_exit(10), 0)
                    self.assertLess(time.monotonic() - quit_at, 8.5)
                    self.assertEqual(left(), [])
                else:
                    kill(server['pid'])
                    self.wait_text('Testapp stopped')
                    wait_until(lambda: not left(), 8.5, 'what the server left to end')
                    self.assertIsNone(app.proc.poll())
                    self.assertEqual(app.quit(), 0)

        with self.subTest('a server deaf to end of input, and a launch while it stops'):
            bundle = self.make_bundle('standard(exit_on_eof=False)')
            app = self.start(bundle)
            quit_at = ctrl_q(app)
            wait_until(lambda: not app.windows(), 1.5, 'the window to go')
            self.assertIsNone(app.proc.poll(), 'the app waits for its server')
            again = self.launch(bundle)   # the name is given up: this one becomes the app
            self.assertEqual(app.wait_exit(10), 0)
            signalled = self.events('signal', app.started)[0]['t']
            self.assertTrue(5.5 <= signalled - quit_at <= 8, signalled - quit_at)
            wait_until(lambda: len(self.events('start', app.started)) == 2, LOAD_TIMEOUT, 'the second server')
            self.assertGreater(self.events('start', app.started)[1]['t'], signalled)
            self.assertIn('server-waits', again.trace())
            self.wait_event('seen', since=signalled)

    def test_pages_instead_of_the_server(self):
        # Which files make a bundle complete is a unit test; here, what the app does about it.
        for case, bundle, phrases in (
                ('no interpreter', dict(python='missing'), INCOMPLETE),
                ('no server script', dict(script=False), INCOMPLETE),
                ('interpreter that cannot run', dict(python='garbage'),
                 ("Testapp couldn't start", 'Exec format error')),
                # Far more than a pipe holds, so the app must keep reading after the exit.
                ('output just before exit', dict(server="say('filler\\n' * 50000 + 'Walnut copper "
                                                 "lantern\\n\\n\\n')\nos._exit(3)"),
                 ('Testapp stopped', 'Walnut copper lantern')),
                ('silent exit', dict(server='os._exit(0)'), ('Testapp stopped', 'It stopped unexpectedly.')),
                ('only the last three lines', dict(server=LAST_LINES),
                 ('Testapp stopped', 'Purple canyon three', 'Golden <b>river</b>', 'four', 'Velvet forest five'))):
            with self.subTest(case):
                app = self.launch(self.make_bundle(**bundle))
                text = self.wait_text(*phrases)
                self.assertNotIn('harbor', text)
                self.assertNotIn('meadow', text)
                self.assertIsNone(app.proc.poll(), 'the app must stay open')
                self.assertEqual(bool(self.events('start', app.started)), 'server' in bundle)
                app.quit()

        with self.subTest('a page cut off is kept, not retried'):
            app = self.launch(self.make_bundle(PARTIAL))
            wait_until(lambda: 'load-failed' in app.trace(), 30, lambda: 'a failed load; log:\n' + app.log()[-2000:])
            self.wait_text('Partial lantern page')
            self.assertEqual(len(self.events('get', app.started)), 1)
