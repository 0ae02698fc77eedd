"""The self-updater end to end: a running build finds a newer signed build on a feed served
from 127.0.0.1, offers it, and the bundle on disk is swapped after the app exits; and every
way a check can end without an update. Builds are copies of the demo bundle re-signed with
the build tree's development key; mirovan-sign comes from $MIROVAN_SIGN or the build tree."""
import functools, json, os, plistlib, random, shutil, socket, string, subprocess, threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer

from .harness import KIT, SOURCE_BUNDLE, GuiTest, kill, read, read_proc, retry, wait_until, xdo

BUILD = os.path.dirname(os.path.abspath(SOURCE_BUNDLE))
SIGN = os.environ.get('MIROVAN_SIGN') or os.path.join(BUILD, 'mirovan-sign')
DEV_KEY = os.path.join(BUILD, 'dev-key.pem')
RELEASE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'tools', 'release')
STEP_TIMEOUT = 30   # a download, extraction and signature check of the demo bundle
OFFER = ('A new version of Testapp is ready',
         'Version 2.0 beta. Restart now to use it, or it installs the next time you quit.')


def processes_using(root):
    """Pids whose program or command line lies in `root`: apps, servers, the swap script."""
    return [pid for pid in map(int, filter(str.isdigit, os.listdir('/proc'))) if pid != os.getpid() and (
        read_proc(pid, 'exe').startswith(root + '/') or any(root + end in read_proc(pid, 'cmdline') for end in "/'"))]


class UpdateTest(GuiTest):
    def setUp(self):
        super().setUp()
        for path in SIGN, DEV_KEY, RELEASE:
            if not os.path.exists(path):
                self.fail('no %s: build the project first' % path)
        self.feed_dir, self.released = os.path.join(self.tmp, 'feed'), threading.Event()
        os.makedirs(self.feed_dir)
        self.released.set()
        hold = self.released.wait

        class Handler(SimpleHTTPRequestHandler):
            log_message = lambda *args: None

            def do_GET(self):   # a feed request waits while the test holds it
                self.path.endswith('feed.json') and hold(60)
                super().do_GET()
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

    def make_build(self, path, version, feed=True, key=DEV_KEY):
        """A copy of the demo bundle as build `version` whose server logs 'version'."""
        shutil.copytree(SOURCE_BUNDLE, path, symlinks=True)
        with open(os.path.join(path, 'Contents', 'Info.plist'), 'rb') as f:
            info = plistlib.load(f)
        info.update(CFBundleName='Testapp', CFBundleIdentifier=self.ident, CFBundleVersion=str(version))
        info.pop('MirovanUpdateURL', None)
        if feed:
            info['MirovanUpdateURL'] = self.feed if feed is True else feed
        self.write(f.name, plistlib.dumps(info))
        self.write(os.path.join(path, 'Contents', 'Resources', 'app', 'serve.py'),
                   'OUT = %r\n%s\nlog(%r, version=%d)\nstandard()\n' % (self.out, read(KIT), 'version', version))
        self.tool(SIGN, 'sign', path, key)
        return os.path.join(path, 'Contents', 'Linux', info['CFBundleExecutable'])

    def publish(self, version, name=None, key=DEV_KEY):
        """Build `version`, released into the feed folder with tools/release."""
        path = os.path.join(self.tmp, 'release-%d' % len(os.listdir(self.tmp)), 'Test.app')
        self.make_build(path, version, key=key)
        self.tool(RELEASE, path, self.feed_dir, *(['--name', name] if name else []))

    def tool(self, *command):
        done = subprocess.run(command, capture_output=True, text=True, timeout=120, env=dict(os.environ, MIROVAN_SIGN=SIGN))
        self.assertEqual(done.returncode, 0, '%s: %s' % (command, done.stderr))
        return done.stdout

    def assert_build(self, here, version, since=None):
        """The bundle at `here` is build `version`, alone in its folder, and a swapped one is
        signed and leaves no download behind; since `since`, only build 1 has run."""
        with open(os.path.join(here, 'Contents', 'Info.plist'), 'rb') as f:
            self.assertEqual(plistlib.load(f)['CFBundleVersion'], str(version))
        self.assertEqual(os.listdir(os.path.dirname(here)), ['Test.app'])
        if version == 2:
            self.assertIn(self.ident, self.tool(SIGN, 'verify', here))
            self.assertFalse(os.path.exists(os.path.join(self.xdg['XDG_CACHE_HOME'], self.ident, 'update')))
        if since is not None:
            self.assertEqual({e['version'] for e in self.events('version', since)}, {1})

    def run_build(self, here, feed=True, read_only=False):
        """Launches build 1 from `here` and has it check for updates; app.wid is its window."""
        program = self.make_build(here, 1, feed)
        # Root may write anywhere: a read-only bind mount in the app's own mount namespace
        # stops it. unshare and sh exec in turn, so the app keeps the pid the harness watches.
        app = self.launch(None, argv=[program] if not read_only else [
            'unshare', '-m', '--propagation', 'private', 'sh', '-c', 'mount --bind "$1" "$1" && '
            'mount -o remount,bind,ro "$1" "$1" && exec "$2"', 'sh', os.path.dirname(here), program])
        self.check_for_updates()
        app.wid = app.window()
        return app

    def check_for_updates(self):
        """Runs the menu command over D-Bus; returns once the app has handled it."""
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

    def test_install(self):
        self.publish(2, name='2.0 beta')
        # Each app below has quit before the next starts, as they share one identifier.

        with self.subTest('"Later" installs at quit without a relaunch'):
            here = os.path.join(self.tmp, 'later', 'Test.app')
            app = self.run_build(here)
            # The focus starts on the default, "Restart to Update"; Tab moves it to "Later".
            self.answer(app, OFFER, 'Tab', 'space')
            # The waiting update is offered again without asking the feed; Escape is "Later" too.
            self.check_for_updates()
            self.answer(app, OFFER, 'Escape')
            self.assertEqual(app.trace().count('update-check'), 1)
            self.assert_build(here, 1, app.started)
            self.assertEqual(app.quit(), 0)
            # Once no process refers to the bundle, the swap script is done; it started nothing.
            wait_until(lambda: not processes_using(here), STEP_TIMEOUT, 'the swap script to finish')
            self.assert_build(here, 2, app.started)

        unshare = subprocess.run(['unshare', '-m', '--propagation', 'private', 'true'], capture_output=True, text=True)
        for keys, told in ('Tab space', False), ('Return', True):
            with self.subTest('a folder the app may not write; told: %s' % told):
                if unshare.returncode:
                    self.skipTest('no private mount namespace here (unshare -m: %s)' % unshare.stderr.strip())
                # No swap can happen: the update is dropped, with a word only if asked to restart.
                here = os.path.join(self.tmp, 'read-only-%s' % told, 'Test.app')
                app = self.run_build(here, read_only=True)
                self.answer(app, OFFER, *keys.split())
                if told:
                    self.answer(app, ("Testapp can't update itself here.",
                                      'Download the new version and drag it into Applications.'), 'Return')
                self.assertEqual(app.wait_exit(STEP_TIMEOUT) if told else app.quit(), 0)
                self.assertEqual(app.trace().count('update-tell'), int(told))
                wait_until(lambda: not processes_using(here), STEP_TIMEOUT, 'every process of the bundle to end')
                self.assert_build(here, 1, app.started)

        with self.subTest('"Restart to Update" relaunches the new build'):
            here = os.path.join(self.tmp, 'restart', 'Test.app')
            app = self.run_build(here)
            old = self.wait_event('version', STEP_TIMEOUT, app.started)['pid']
            self.answer(app, OFFER, 'Return')   # the default
            self.assertEqual(app.wait_exit(STEP_TIMEOUT), 0)
            self.assertEqual(app.trace().count('update-check'), 1)
            new = self.wait_event('version', STEP_TIMEOUT, app.started, lambda e: e['version'] == 2)['pid']
            self.assert_build(here, 2)
            # The old server went with the old app; the new app runs from the same place.
            wait_until(lambda: not read_proc(old, 'stat'), STEP_TIMEOUT, 'the old server to exit')
            self.assertNotEqual(new, old)
            self.assertTrue(any(read_proc(pid, 'exe').startswith(here + '/') for pid in processes_using(here)))

    def test_checks_that_end_without_an_update(self):   # each says so once and changes nothing
        feed = os.path.join(self.feed_dir, 'feed.json')

        def publish_damaged():
            self.publish(2)
            published = json.loads(read(feed))
            self.write(feed, json.dumps(dict(published, sha256=published['sha256'][::-1])))

        def publish_foreign():
            self.tool(SIGN, 'keygen', os.path.join(self.tmp, 'other-key.pem'))
            self.publish(2, key=os.path.join(self.tmp, 'other-key.pem'))

        with socket.socket() as s:   # a port nothing listens on once it is closed
            s.bind(('127.0.0.1', 0))
            closed = 'http://127.0.0.1:%d/feed.json' % s.getsockname()[1]
        failed = "Couldn't get the new version of Testapp."
        for url, checks in (
                (True, [('up to date, one request at a time',
                         lambda: (self.write(feed, '{"version": 1, "url": "Test-1.zip", "sha256": "%s"}' % ('0' * 64)),
                                  self.released.clear()), ['Testapp is up to date.']),
                        ('error page instead of a feed', lambda: os.remove(feed),
                         ["Couldn't check for updates.", 'Try again later.']),
                        ('archive not the one the feed names', publish_damaged, [failed, 'The download was damaged.']),
                        ('signed with another key', publish_foreign, [failed, "The new version isn't signed by the "
                                                                      "same developer, so it wasn't installed."])]),
                (closed, [('feed unreachable', None, ["Couldn't check for updates.", 'connect'])]),
                (False, [('no feed', None, ["Updates aren't set up for this copy of Testapp."])])):
            here, app = os.path.join(self.tmp, 'apps-%d' % len(self.apps), 'Test.app'), None
            for told, (label, prepare, phrases) in enumerate(checks, 1):
                with self.subTest(label):
                    if prepare:
                        prepare()
                    if app:
                        self.check_for_updates()
                    else:
                        app = self.run_build(here, url)
                    if not self.released.is_set():
                        # Checks while one is in flight ask nothing and say nothing.
                        self.check_for_updates()
                        self.check_for_updates()
                        self.assertEqual((app.trace().count('update-check'), app.others(app.wid)), (1, []))
                        self.released.set()
                    self.answer(app, phrases, 'Return')
                    self.assertEqual(app.trace().count('update-tell'), told)
            self.assertEqual(app.quit(), 0)
            self.assert_build(here, 1, app.started)
