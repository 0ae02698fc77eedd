"""The self-updater end to end: a running build finds a newer signed build on a feed served
from 127.0.0.1, offers it, and the bundle on disk is swapped after the app exits; and every
way a check can end without an update. Builds are copies of the demo bundle re-signed with
the build tree's development key; mirovan-sign comes from $MIROVAN_SIGN or the build tree."""
import contextlib, ctypes, functools, glob, hashlib, json, os, pathlib, plistlib, random, re, select, shutil, socket, stat
import string, subprocess, threading, time
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

from .harness import KIT, SOURCE_BUNDLE, GuiTest, kill, read, read_proc, retry, wait_until, xdo

BUILD = os.path.dirname(os.path.abspath(SOURCE_BUNDLE))
SIGN = os.environ.get('MIROVAN_SIGN') or os.path.join(BUILD, 'mirovan-sign')
DEV_KEY = os.path.join(BUILD, 'dev-key.pem')
RELEASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tools', 'release')
STEP_TIMEOUT = 30   # a download, extraction and signature check of the demo bundle
OFFER = ('A new version of Testapp is ready',
         'Version 2.0 beta. Restart now to use it, or it installs the next time you quit.')
FAILED = "Couldn't get the new version of Testapp."
FOREIGN = "The new version isn't signed by the same developer, so it wasn't installed."


def processes_using(root):
    """Pids whose program or command line lies in `root`: apps, servers, the swap script."""
    return [pid for pid in map(int, filter(str.isdigit, os.listdir('/proc'))) if pid != os.getpid() and (
        read_proc(pid, 'exe').startswith(root + '/') or any(root + end in read_proc(pid, 'cmdline') for end in "/'"))]


def listing(folder):
    """Every entry of `folder`, itself included, with its mode and its content's digest."""
    entries = {}
    for top, dirs, files in os.walk(folder):
        for path in [top] + [os.path.join(top, name) for name in dirs + files]:
            mode = os.lstat(path).st_mode
            entries[path] = mode, os.readlink(path) if stat.S_ISLNK(mode) else stat.S_ISREG(mode) and \
                hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()
    return entries


def glib_starts(entry):
    """The program GLib's own reader of launcher entries says `entry` starts; None when it
    refuses the entry (as it does one whose TryExec is gone). The info object is left to the end."""
    gio = ctypes.CDLL('libgio-2.0.so.0')
    gio.g_desktop_app_info_new_from_filename.restype, gio.g_app_info_get_executable.restype = ctypes.c_void_p, ctypes.c_char_p
    gio.g_app_info_get_executable.argtypes = [ctypes.c_void_p]
    info = gio.g_desktop_app_info_new_from_filename(os.fsencode(entry))
    return info and os.fsdecode(gio.g_app_info_get_executable(info))


def redirect(to):
    return lambda handler: (handler.send_response(302), handler.send_header('Location', to), handler.end_headers())


def endless(handler):
    handler.send_response(200)
    handler.end_headers()
    with contextlib.suppress(OSError):   # until the app hangs up
        while True:
            handler.wfile.write(b' ' * 65536)


def trickle(began, ended):
    """Two bytes a second for up to 90 s; `began` and `ended` hear when it started and the app hung up."""
    def answer(handler):
        began.append(True)
        handler.send_response(200)
        handler.end_headers()
        with contextlib.suppress(OSError):
            for _ in range(180):   # the server's pace, not a wait of the test
                handler.wfile.write(b' ')
                handler.wfile.flush()
                time.sleep(0.5)
        ended.append(True)
    return answer


class UpdateTest(GuiTest):
    def setUp(self):
        super().setUp()
        for path in SIGN, DEV_KEY, RELEASE:
            if not os.path.exists(path):
                self.fail('no %s: build the project first' % path)
        self.feed_dir, self.released, self.routes = os.path.join(self.tmp, 'feed'), threading.Event(), {}
        os.makedirs(self.feed_dir)
        self.released.set()
        test, hold, routes = self, self.released.wait, self.routes

        class Handler(SimpleHTTPRequestHandler):
            log_message = lambda *args: None

            def do_GET(self):   # a feed request waits while the test holds it; a path in routes has its own answer
                if self.path.endswith('feed.json') and test.apps and test.own_check(test.apps[-1], 1):
                    return self.send_error(404)
                self.path.endswith('feed.json') and hold(60)
                routes.get(self.path, SimpleHTTPRequestHandler.do_GET)(self)
        server = ThreadingHTTPServer(('127.0.0.1', 0), functools.partial(Handler, directory=self.feed_dir))
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.feed = 'http://127.0.0.1:%d/feed.json' % server.server_address[1]
        self.ident = 'org.mirovan.Update' + ''.join(random.choices(string.ascii_letters, k=12))
        # These run before the harness's clean-up, in reverse order.
        for step in server.server_close, server.shutdown, self.released.set, self.stop_strays:
            self.addCleanup(step)

    def stop_strays(self):
        """Kills what the swap script started from the test's bundles, with their process
        groups (the WebKit helpers); the script itself first, as it would start an app."""
        for scripts_only in True, False:
            for pid in set(processes_using(self.tmp)) - {app.pid for app in self.apps}:
                if read_proc(pid, 'cmdline').startswith('/bin/sh\0-c\0') or not scripts_only and \
                        read_proc(pid, 'exe').startswith(self.tmp + '/'):
                    kill(pid)
                    kill(pid, group=True)

    def make_build(self, path, version, feed=True, key=DEV_KEY, program=None, label=None, extra=None):
        """A copy of the demo bundle as build `version` whose server logs 'version', showing
        `label` as its version if given; `extra(path)` adds to it before it is signed."""
        shutil.copytree(SOURCE_BUNDLE, path, symlinks=True)
        with open(os.path.join(path, 'Contents', 'Info.plist'), 'rb') as f:
            info = plistlib.load(f)
        if program:
            programs = os.path.join(path, 'Contents', 'Linux')
            os.rename(os.path.join(programs, info['CFBundleExecutable']), os.path.join(programs, program))
            info['CFBundleExecutable'] = program
        info.update(CFBundleName='Testapp', CFBundleIdentifier=self.ident, CFBundleVersion=str(version))
        info.pop('MirovanUpdateURL', None)
        if label:
            info['CFBundleShortVersionString'] = label
        if feed:
            info['MirovanUpdateURL'] = self.feed if feed is True else feed
        self.write(f.name, plistlib.dumps(info))
        self.write(os.path.join(path, 'Contents', 'Resources', 'app', 'serve.py'),
                   'OUT = %r\n%s\nlog(%r, version=%d)\nstandard()\n' % (self.out, read(KIT), 'version', version))
        if extra:
            extra(path)
        self.tool(SIGN, 'sign', path, key)
        return os.path.join(path, 'Contents', 'Linux', info['CFBundleExecutable'])

    def publish(self, version, name=None, **build):
        """Build `version`, released into the feed folder with tools/release; returns the bundle."""
        path = os.path.join(self.tmp, 'release-%d' % len(os.listdir(self.tmp)), 'Test.app')
        self.make_build(path, version, label=name, **build)
        self.tool(RELEASE, path, self.feed_dir, *(['--name', name] if name else []))
        return path

    def tool(self, *command):
        done = subprocess.run(command, capture_output=True, text=True, timeout=600, env=dict(os.environ, MIROVAN_SIGN=SIGN))
        self.assertEqual(done.returncode, 0, '%s: %s' % (command, done.stderr))
        return done.stdout

    def assert_build(self, here, version, app=None):
        """The bundle at `here` is build `version`, alone in its folder, and a swapped one is
        signed and leaves no download behind; since `app` started, only build 1 has run, and
        build 1's folder is as it was before."""
        with open(os.path.join(here, 'Contents', 'Info.plist'), 'rb') as f:
            self.assertEqual(plistlib.load(f)['CFBundleVersion'], str(version))
        self.assertEqual(os.listdir(os.path.dirname(here)), ['Test.app'])
        if version == 2:
            self.assertIn(self.ident, self.tool(SIGN, 'verify', here))
            self.assertFalse(os.path.exists(os.path.join(self.xdg['XDG_CACHE_HOME'], self.ident, 'update')))
        if app:
            self.assertEqual({e['version'] for e in self.events('version', app.started)}, {1})
            if version == 1:
                self.assertEqual(listing(os.path.dirname(here)), app.before)

    def run_build(self, here, feed=True, wrap=(), root=''):
        """Launches build 1 from `here` (as seen below `root`), through the command `wrap` if
        any, and has it check for updates; app.wid is its window, app.before its folder."""
        program = self.make_build(root + here, 1, feed)[len(root):]
        before = listing(os.path.dirname(root + here))
        app = self.launch(None, argv=[*wrap, program])
        app.before = before
        self.check_for_updates(app)
        app.wid = app.window()
        return app

    def own_check(self, app, ahead):
        """Whether the app's own first check, 15 s after its window came up, may be under way.
        It could catch a feed the test is still preparing, or swallow a menu check made
        meanwhile: the feed server turns it away, and no menu check is made then."""
        shown = re.findall(r'^mirovan-trace (\d+) status-shown', app.log(), re.M)
        first = int(shown[0]) / 1e6 + 15 if shown else app.started + 15
        return first - ahead < time.monotonic() < first + 5

    def check_for_updates(self, app):
        """Runs the menu command over D-Bus; returns once the app has handled it."""
        wait_until(lambda: not self.own_check(app, 1.5), 8, "the app's own first check")
        command = ['gdbus', 'call', '--session', '--dest', self.ident, '--object-path',
                   '/' + self.ident.replace('.', '/'), '--method', 'org.gtk.Actions.Activate',
                   'check-for-updates', '[]', '{}']
        wait_until(lambda: subprocess.run(command, capture_output=True, timeout=30).returncode == 0,
                   STEP_TIMEOUT, 'the app to take "Check for Updates" over D-Bus', interval=0.2)

    def answer(self, app, phrases, *keys):
        """Presses keys in the app's one dialog, once it shows the phrases, until it closes:
        one that came up while the main window was being mapped may lose the first keys."""
        wid = wait_until(lambda: len(app.others(app.wid)) == 1 and app.others(app.wid)[0], STEP_TIMEOUT,
                         lambda: 'a dialog; app log:\n' + app.log()[-1500:])
        self.wait_text(*phrases, wid=wid, timeout=STEP_TIMEOUT)
        retry(lambda: (xdo('windowactivate', '--sync', wid), xdo('key', *keys)),
              lambda: wid not in app.others(app.wid), 'the dialog to close after %s' % (keys,), STEP_TIMEOUT, each=5)

    def release_two(self):
        """Publishes build 2, which renames its program as a release may; returns the scratch folder."""
        self.publish(2, name='2.0 beta', program='testapp-two')
        return os.path.join(self.xdg['XDG_CACHE_HOME'], self.ident, 'update')

    def private_mounts(self):
        unshare = subprocess.run(['unshare', '-m', '--propagation', 'private', 'true'], capture_output=True, text=True)
        if unshare.returncode:
            self.skipTest('no private mount namespace here (unshare -m: %s)' % unshare.stderr.strip())

    def tmpfs(self, path, size):
        """A tmpfs of `size` bytes (0755: its default, 1777, takes no update) at `path`, in a
        mount namespace held by a process of its own, whose pid it returns: the app joins it,
        the test looks in through /proc/PID/root."""
        self.private_mounts()
        holder = subprocess.Popen(['unshare', '-m', '--propagation', 'private', 'sh', '-c',
                                   'mount -t tmpfs -o size=$2,mode=0755 tmpfs "$1" && exec sleep 1d', 'sh', path, str(size)])
        self.addCleanup(lambda: (holder.kill(), holder.wait()))
        wait_until(lambda: holder.poll() is not None or read_proc(holder.pid, 'cmdline').startswith('sleep'),
                   STEP_TIMEOUT, 'the tmpfs')
        self.assertIsNone(holder.poll())
        return holder.pid

    @staticmethod
    def enter(holder):
        """The command that runs a program in the holder's mount namespace: with its root and
        folder too, as entering a mount namespace leaves a chroot (a test of another release
        in a folder) unless the holder's root is taken as well."""
        return ['nsenter', '-t', str(holder), '-m', '--root', '--wd']

    # Within a test, each app has quit before the next starts, as they share one identifier.
    def test_later_installs_at_quit(self):
        self.release_two()
        with self.subTest('"Later" installs at quit without a relaunch'):
            here = os.path.join(self.tmp, 'later', 'Test.app')
            app = self.run_build(here)
            # The focus starts on the default, "Restart to Update"; Tab moves it to "Later".
            self.answer(app, OFFER, 'Tab', 'space')
            # The waiting update is offered again without asking the feed; Escape is "Later" too.
            self.check_for_updates(app)
            self.answer(app, OFFER, 'Escape')
            self.assertEqual(app.trace().count('update-check'), 1)
            self.assert_build(here, 1, app)
            self.assertEqual(app.quit(), 0)
            # Once no process refers to the bundle, the swap script is done; it started nothing.
            wait_until(lambda: not processes_using(here), STEP_TIMEOUT, 'the swap script to finish')
            self.assert_build(here, 2, app)
            # The menu entry starts the renamed program, though no new build has run yet.
            entry = os.path.join(self.xdg['XDG_DATA_HOME'], 'applications', self.ident + '.desktop')
            self.assertEqual(os.path.realpath(glib_starts(entry) or entry), here + '/Contents/Linux/testapp-two')

    def test_folders_that_take_no_update(self):
        """No swap may happen in a folder the app cannot write, nor in one like /tmp, where
        another user (nobody) keeps trying to rename a tree of its own to the bundle's name:
        were the bundle's place ever free, nobody's program would take it. The update is
        dropped, with a word if asked to restart, else in the log."""
        self.release_two()
        self.private_mounts()
        python = shutil.which('python3', path='/usr/bin:/bin')   # one that nobody may run
        if os.geteuid() != 0 or not shutil.which('setpriv') or not python:
            self.skipTest('acting as another user (nobody) needs root, setpriv and /usr/bin/python3')
        os.chmod(self.tmp, 0o711)   # nobody passes through to its own folder and the shared ones, no further
        theirs, ran = os.path.join(self.tmp, 'nobody', 'theirs'), os.path.join(self.tmp, 'nobody', 'ran')
        for program in 'mirovan', 'testapp-two':   # whichever a bundle at the place would start
            self.write(os.path.join(theirs, 'Contents', 'Linux', program), '#!/bin/sh\ntouch %s\n' % ran, 0o755)
        subprocess.run(['chown', '-R', 'nobody:nogroup', os.path.dirname(theirs)], check=True)
        for folder, why in (('read-only', 'Download the new version and drag it into Applications.'),
                            ('shared', 'Other users can change the folder it is in')):
            for keys, told in ('Tab space', False), ('Return', True):
                with self.subTest(folder, told=told):
                    here = os.path.join(self.tmp, '%s-%s' % (folder, told), 'Test.app')
                    if folder == 'read-only':
                        # Root may write anywhere: a read-only bind mount in the app's own mount namespace
                        # stops it. unshare and sh exec in turn, so the app keeps the pid the harness watches.
                        app = self.run_build(here, wrap=[
                            'unshare', '-m', '--propagation', 'private', 'sh', '-c',
                            'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" "$1" && exec "$2"', 'sh',
                            os.path.dirname(here)])
                    else:
                        os.makedirs(os.path.dirname(here), 0o1777)
                        os.chmod(os.path.dirname(here), 0o1777)
                        app = self.run_build(here)
                        racer = subprocess.Popen(['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups', python,
                                                  '-c', 'import os, sys, time\nwhile True:\n try: os.rename(*sys.argv[1:]); '
                                                  'break\n except OSError: time.sleep(0.0002)', theirs, here])
                        self.addCleanup(lambda racer=racer: (racer.kill(), racer.wait()))
                    self.answer(app, OFFER, *keys.split())
                    if told:
                        self.answer(app, ("Testapp can't update itself here.", why), 'Return')
                    self.assertEqual(app.wait_exit(STEP_TIMEOUT) if told else app.quit(), 0)
                    self.assertEqual(app.trace().count('update-tell'), int(told))
                    if folder == 'shared':
                        self.assertTrue(told or why in app.log(), 'at quit, the log says why')
                        self.assertIsNone(racer.poll(), "nobody's tree took the bundle's place")
                    wait_until(lambda: not processes_using(here), STEP_TIMEOUT, 'every process of the bundle to end')
                    self.assert_build(here, 1, app)
                    self.assertFalse(os.path.exists(ran), "nobody's program ran")

    def test_a_file_added_to_the_waiting_update_goes_nowhere(self):
        scratch = self.release_two()
        for told in False, True:
            with self.subTest('told: %s' % told):
                here = os.path.join(self.tmp, 'added-%s' % told, 'Test.app')
                app = self.run_build(here)
                wait_until(lambda: 'update-offer' in app.trace(), STEP_TIMEOUT, 'the offer')
                if not told:
                    self.answer(app, OFFER, 'Tab', 'space')
                self.write(glob.glob(scratch + '/*/Test.app')[0] + '/Contents/Resources/added', '')
                if told:   # after "Restart to Update", the app says why and stays
                    self.answer(app, OFFER, 'Return')
                    self.answer(app, (FAILED, FOREIGN), 'Return')
                    self.assertIsNone(app.proc.poll())
                self.assertEqual(app.quit(), 0)
                self.assertEqual(app.trace().count('update-refused'), 1)
                wait_until(lambda: not processes_using(here), STEP_TIMEOUT, 'every process of the bundle to end')
                self.assert_build(here, 1, app)
                self.assertFalse(os.path.exists(scratch))

    def test_restart_to_update(self):
        """"Restart to Update" relaunches the new build by its own program; in a folder with no room
        to stage it (a tmpfs with room for one build and a half) the old build runs again, as it was."""
        scratch = self.release_two()
        room = sum(os.lstat(path).st_size for path in listing(SOURCE_BUNDLE)) * 3 // 2
        for full in True, False:   # the relaunched new build runs on until the end
            with self.subTest(full=full):
                parent = os.path.join(self.tmp, 'full-%s' % full)
                os.makedirs(parent)
                holder = full and self.tmpfs(parent, room)
                inside, here = '/proc/%d/root' % holder if full else '', os.path.join(parent, 'Test.app')
                app = self.run_build(here, wrap=self.enter(holder) if full else (), root=inside)
                old = self.wait_event('version', STEP_TIMEOUT, app.started)['pid']
                self.answer(app, OFFER, 'Return')   # the default
                self.assertEqual(app.wait_exit(STEP_TIMEOUT), 0)
                self.assertEqual(app.trace().count('update-check'), 1)
                new = self.wait_event('version', STEP_TIMEOUT, app.started, lambda e: e['pid'] != old)
                if full:
                    self.stop_strays()   # the relaunched build, before the next app with its identifier
                    wait_until(lambda: not processes_using(parent), STEP_TIMEOUT, 'the relaunched build to end')
                    self.assert_build(inside + here, 1, app)
                    self.assertIn('No space left on device', app.log())   # the swap script's: staging itself failed
                    self.assertFalse(os.path.exists(scratch))
                    continue
                self.assertEqual(new['version'], 2)
                self.assert_build(here, 2)
                # The old server went with the old app; the new app runs from the same place, by its own program.
                wait_until(lambda: not read_proc(old, 'stat'), STEP_TIMEOUT, 'the old server to exit')
                self.assertIn(here + '/Contents/Linux/testapp-two', [read_proc(pid, 'exe') for pid in processes_using(here)])

    def test_checks_that_end_without_an_update(self):   # each says so once and changes nothing
        feed = os.path.join(self.feed_dir, 'feed.json')
        scratch = os.path.join(self.xdg['XDG_CACHE_HOME'], self.ident, 'update')

        def announce(url):   # build 2 at `url`, which never yields an archive
            self.write(feed, json.dumps({'version': 2, 'url': url, 'sha256': '0' * 64}))

        def publish_foreign():
            self.tool(SIGN, 'keygen', os.path.join(self.tmp, 'other-key.pem'))
            self.publish(2, key=os.path.join(self.tmp, 'other-key.pem'))

        with socket.socket() as s:   # a port nothing listens on once it is closed
            s.bind(('127.0.0.1', 0))
            closed = 'http://127.0.0.1:%d/feed.json' % s.getsockname()[1]
        listener = socket.create_server(('127.0.0.1', 0))   # nothing must connect: the app speaks only http(s)
        self.addCleanup(listener.close)
        gopher = 'gopher://127.0.0.1:%d/_x' % listener.getsockname()[1]
        for url, checks in (
                (True, [('up to date, one request at a time',
                         lambda: (self.write(feed, '{"version": 1, "url": "Test-1.zip", "sha256": "%s"}' % ('0' * 64)),
                                  self.released.clear()), ['Testapp is up to date.']),
                        ('error page instead of a feed', lambda: os.remove(feed),
                         ["Couldn't check for updates.", 'Try again later.']),
                        ('archive at a gopher address', lambda: announce(gopher), [FAILED, 'gopher']),
                        ('archive redirected to gopher', lambda: (announce('moved.zip'), self.routes.update(
                            {'/moved.zip': redirect(gopher)})), [FAILED, 'gopher']),
                        ('endless feed', lambda: self.routes.update({'/feed.json': endless}),
                         ["Couldn't check for updates.", 'The answer is larger than 1048576 bytes.']),
                        ('signed with another key', publish_foreign, [FAILED, FOREIGN]),
                        # Told again from memory: a download would meet the error page and say "damaged".
                        ('the same refused archive, not downloaded again', lambda: self.routes.update(
                            {'/Test-2.zip': lambda handler: handler.send_error(500)}), [FAILED, FOREIGN]),
                        ('archive redirected to plain http', lambda: (announce('moved.zip'), self.routes.update(
                            {'/moved.zip': redirect('http://192.0.2.1/Test-2.zip')})), [FAILED, 'only taken over https'])]),
                (closed, [('feed unreachable', None, ["Couldn't check for updates.", 'connect'])]),
                (False, [('no feed', None, ["Updates aren't set up for this copy of Testapp."])])):
            here, app = os.path.join(self.tmp, 'apps-%d' % len(self.apps), 'Test.app'), None
            for told, (label, prepare, phrases) in enumerate(checks, 1):
                with self.subTest(label):
                    self.routes.clear()
                    if prepare:
                        prepare()
                    if app:
                        self.check_for_updates(app)
                    else:
                        app = self.run_build(here, url)
                    if not self.released.is_set():
                        # Checks while one is in flight ask nothing and say nothing.
                        self.check_for_updates(app)
                        self.check_for_updates(app)
                        self.assertEqual((app.trace().count('update-check'), app.others(app.wid)), (1, []))
                        self.released.set()
                    self.answer(app, phrases, 'Return')
                    self.assertEqual(app.trace().count('update-tell'), told)
                    self.assertEqual(os.listdir(scratch) if os.path.exists(scratch) else [], [])
            self.assertEqual(app.quit(), 0)
            self.assert_build(here, 1, app)
        self.assertEqual(select.select([listener], [], [], 0)[0], [], 'a connection to %s' % gopher)

    def test_a_trickled_feed(self):
        """A feed sent at two bytes a second stays above libcurl's low-speed limit: the user's
        check replaces it once it is stuck (10 s), and left alone it ends at 30 s, with a word."""
        self.write(os.path.join(self.feed_dir, 'feed.json'), json.dumps({'version': 1, 'url': 'x.zip', 'sha256': '0' * 64}))
        began, ended = [], []
        self.routes['/feed.json'] = trickle(began, ended)
        app = self.run_build(os.path.join(self.tmp, 'trickled', 'Test.app'))
        with self.subTest("replaced by the user's check"):
            wait_until(lambda: began, STEP_TIMEOUT, 'the trickled request')
            self.routes.clear()   # the replacing request gets the feed itself
            wait_until(lambda: (self.check_for_updates(app), 'update-replace' in app.trace())[1], 40,
                       'a check to replace the stuck one', interval=1)
            self.answer(app, ['Testapp is up to date.'], 'Return')
            wait_until(lambda: ended, STEP_TIMEOUT, 'the stuck request to be given up')
        with self.subTest('bounded'):
            self.routes['/feed.json'] = trickle(began, ended)
            self.check_for_updates(app)
            wait_until(lambda: app.trace().count('update-tell') == 2, 45, 'the check to end')
            self.answer(app, ["Couldn't check for updates.", 'within 30 s'], 'Return')
        self.assertEqual(app.trace().count('update-tell'), 2)   # the replaced check said nothing
        self.assertEqual(app.quit(), 0)

    def test_an_endless_archive_on_a_small_disk(self):
        """The cache is a 100 MiB tmpfs: an endless archive stops with 64 MiB to spare, and a
        declared length that cannot fit is refused before anything is downloaded."""
        cache = self.xdg['XDG_CACHE_HOME']
        holder = self.tmpfs(cache, 100 << 20)
        inside, app = '/proc/%d/root' % holder + cache, None
        self.routes['/endless.zip'] = endless
        for told, (label, length, phrases) in enumerate((
                ('endless', None, [FAILED, "There isn't room for the update.", 'that are free']),
                ('declared longer than the room', 10 ** 12, [FAILED, 'The update needs 1000068 MB and only'])), 1):
            with self.subTest(label):
                self.write(os.path.join(self.feed_dir, 'feed.json'), json.dumps(
                    dict({'version': 2, 'url': 'endless.zip', 'sha256': '0' * 64}, **({'length': length} if length else {}))))
                if app:
                    self.check_for_updates(app)
                else:
                    app = self.run_build(os.path.join(self.tmp, 'small-disk', 'Test.app'),
                                         wrap=self.enter(holder))
                self.answer(app, phrases, 'Return')
                self.assertEqual(app.trace().count('update-tell'), told)
                room = os.statvfs(inside)
                self.assertGreater(room.f_bavail * room.f_frsize, 60 << 20)
        self.assertEqual(app.quit(), 0)

    def test_a_release_of_a_hundred_thousand_files(self):
        """A node_modules-like tree of 100,050 files is a genuine release: tools/release makes it
        and the app takes it (about a minute here: making, signing, zipping, checking 100k files
        twice). A release that clients would refuse is not made."""
        def modules(path):
            top = os.path.join(path, 'Contents', 'Resources', 'app', 'node_modules')
            for i in range(100050):
                if i % 1000 == 0:
                    os.makedirs(os.path.join(top, 'p%d' % (i // 1000)))
                with open(os.path.join(top, 'p%d' % (i // 1000), 'm%d.js' % i), 'w') as f:
                    f.write('module.exports = %d;\n' % i)
        with self.subTest('released and accepted'):
            self.publish(2, name='2.0 beta', extra=modules)
            app = self.run_build(os.path.join(self.tmp, 'many', 'Test.app'))
            wait_until(lambda: 'update-offer' in app.trace(), 180, lambda: 'the offer; log:\n' + app.log()[-1500:])
            self.answer(app, OFFER, 'Escape')
            self.assertEqual(app.quit(), 0)
        with self.subTest('refused by tools/release'):
            path, out = os.path.join(self.tmp, 'no-program', 'Test.app'), os.path.join(self.tmp, 'not-released')
            self.make_build(path, 3, extra=lambda p: os.remove(os.path.join(p, 'Contents', 'Linux', os.path.basename(self.binary))))
            made = subprocess.run([RELEASE, path, out], capture_output=True, text=True, env=dict(os.environ, MIROVAN_SIGN=SIGN))
            self.assertEqual((made.returncode, 'it has no program to start' in made.stderr, os.listdir(out)), (1, True, []))
