"""The self-updater end to end: a running build finds a newer signed build on a feed
served from 127.0.0.1, offers it, and the bundle on disk is swapped after the app exits;
and every way a check can end without an update."""
import json, os, shlex, socket, subprocess

from .harness import wait_until
from .update_kit import STEP_TIMEOUT, UpdateTest, processes_using

OFFER = ('A new version of Testapp is ready',
         'Version 2.0 beta. Restart now to use it, or it installs the next time you quit.')


class InstallTest(UpdateTest):
    def setUp(self):
        super().setUp()
        self.publish(2, name='2.0 beta')
        self.here = os.path.join(self.tmp, 'apps', 'Test.app')

    def offered(self):
        """Starts build 1, checks for updates, and returns (app, main window, offer)."""
        app = self.launch(self.make_build(self.here, 1))
        self.check_for_updates()
        self.started(1)
        main = app.window()
        return app, main, self.wait_dialog(app, main, *OFFER)

    def assert_swapped(self):
        self.assertEqual(self.version_of(self.here), '2')
        self.assertIn(self.ident, self.sign_tool('verify', self.here))
        self.assertFalse(os.path.exists(self.here + '.old'))
        self.assertFalse(os.path.exists(os.path.join(self.xdg['XDG_CACHE_HOME'], self.ident, 'update')))

    def test_restart_to_update_relaunches_the_new_build(self):
        app, main, offer = self.offered()
        old_server = self.started(1)['pid']
        self.answer(app, main, offer, 'Return')   # "Restart to Update" is the default
        self.assertEqual(app.wait_exit(STEP_TIMEOUT), 0)

        new_server = self.started(2)
        self.assert_swapped()
        self.assertEqual(self.server.counts['feed.json'], 1)
        self.assertEqual(self.server.counts['Test-2.zip'], 1)
        # The old server went with the old app; the new app runs from the same place.
        wait_until(lambda: not os.path.exists('/proc/%d' % old_server), STEP_TIMEOUT,
                   'the old server to exit')
        self.assertNotEqual(new_server['pid'], old_server)
        self.assertTrue(any(os.readlink('/proc/%d/exe' % pid).startswith(self.here + '/')
                            for pid in processes_using(self.here)
                            if os.path.exists('/proc/%d/exe' % pid)))

    def test_later_installs_at_quit_without_relaunch(self):
        app, main, offer = self.offered()
        # The focus starts on the default, "Restart to Update"; Tab moves it to "Later".
        self.answer(app, main, offer, 'Tab', 'space')
        self.assertEqual(self.version_of(self.here), '1')

        # The waiting update is offered again without asking the feed; Escape is "Later" too.
        self.check_for_updates()
        self.answer(app, main, self.wait_dialog(app, main, *OFFER), 'Escape')
        self.assertEqual(self.server.counts['feed.json'], 1)
        self.assertIsNone(app.proc.poll())

        self.assertEqual(self.quit_with_keys(app, main), 0)
        # Once no process refers to the bundle any more, the swap script is done ...
        wait_until(lambda: not processes_using(self.here), STEP_TIMEOUT,
                   'the swap script to finish')
        self.assert_swapped()
        # ... and it started nothing.
        self.assertEqual([e['version'] for e in self.events('version')], [1])


class CheckTest(UpdateTest):
    """Checks that end without an update: each says so once and changes nothing."""

    def test_outcomes(self):
        with socket.socket() as s:   # a port nothing listens on once it is closed
            s.bind(('127.0.0.1', 0))
            closed = 'http://127.0.0.1:%d/feed.json' % s.getsockname()[1]
        cases = [
            ('up to date, one request at a time', self.hold_up_to_date, True,
             ['Testapp is up to date.']),
            ('feed unreachable', None, closed, ["Couldn't check for updates.", 'connect']),
            ('error page instead of a feed', lambda: setattr(self.server, 'error_page', True),
             True, ["Couldn't check for updates.", 'Try again later.']),
            ('no feed', None, False, ["Updates aren't set up for this copy of Testapp."]),
            ('archive not the one the feed names', self.publish_damaged, True,
             ["Couldn't get the new version of Testapp.", 'The download was damaged.']),
            ('signed with another key', self.publish_foreign, True,
             ["Couldn't get the new version of Testapp.",
              "The new version isn't signed by the same developer, so it wasn't installed."]),
        ]
        for label, prepare, feed, phrases in cases:
            with self.subTest(label):
                self.new_identity()
                self.server.error_page = False
                self.server.released.set()
                if prepare:
                    prepare()
                here = os.path.join(self.tmp, 'apps-%d' % len(self.apps), 'Test.app')
                app = self.launch(self.make_build(here, 1, feed=feed))
                self.check_for_updates()
                main = app.window()
                if not self.server.released.is_set():
                    self.one_request_at_a_time(app, main)
                self.answer(app, main, self.wait_dialog(app, main, *phrases), 'Return')
                self.assertIsNone(app.proc.poll())
                self.assertEqual(self.quit_with_keys(app, main), 0)
                self.assertEqual(self.version_of(here), '1')
                self.assertEqual(os.listdir(os.path.dirname(here)), ['Test.app'])

    def hold_up_to_date(self):
        self.write_feed(version=1, url='Test-1.zip', sha256='0' * 64)
        self.server.released.clear()

    def one_request_at_a_time(self, app, main):
        self.assertTrue(self.server.wait_requests(1, STEP_TIMEOUT), 'no feed request came')
        self.check_for_updates()
        self.check_for_updates()
        # A second request would have been sent at once; give it a generous two seconds.
        self.assertFalse(self.server.wait_requests(2, 2), 'a check in flight sent another request')
        self.assertEqual(app.others(main), [])
        self.server.released.set()

    def publish_damaged(self):
        self.publish(2)
        with open(os.path.join(self.feed_dir, 'feed.json')) as f:
            feed = json.load(f)
        self.write_feed(**dict(feed, sha256=feed['sha256'][::-1]))

    def publish_foreign(self):
        other = os.path.join(self.tmp, 'other-key.pem')
        self.sign_tool('keygen', other)
        self.publish(2, key=other)


class ReadOnlyTest(UpdateTest):
    """A bundle in a folder this user may not write: the swap cannot happen, so the update
    is dropped, with a word only when the user asked to restart into it. Root may write
    anywhere, so the folder is made read-only with a bind mount that only the app's
    private mount namespace sees."""

    def setUp(self):
        super().setUp()
        probe = subprocess.run(['unshare', '-m', '--propagation', 'private', 'true'],
                               capture_output=True, text=True)
        if probe.returncode != 0:
            self.skipTest('no private mount namespace here (unshare -m: %s)' % probe.stderr.strip())
        self.publish(2, name='2.0 beta')
        self.folder = os.path.join(self.tmp, 'readonly')
        self.here = os.path.join(self.folder, 'Test.app')
        self.bundle = self.make_build(self.here, 1)
        # unshare and sh exec in turn, so the app keeps the pid the harness watches.
        program, self.bundle.executable = (self.bundle.executable,
                                           os.path.join(self.tmp, 'read-only-launch'))
        with open(self.bundle.executable, 'w') as f:
            f.write('#!/bin/sh\nexec unshare -m --propagation private sh -c \'mount --bind "$1" "$1" '
                    '&& mount -o remount,bind,ro "$1" "$1" && exec "$2"\' sh %s %s\n'
                    % (shlex.quote(self.folder), shlex.quote(program)))
        os.chmod(self.bundle.executable, 0o755)
        self.app = self.launch(self.bundle)
        self.check_for_updates()
        self.main = self.app.window()
        self.offer = self.wait_dialog(self.app, self.main, *OFFER)

    def assert_untouched(self):
        wait_until(lambda: not processes_using(self.here), STEP_TIMEOUT,
                   'every process of the bundle to end')
        self.assertEqual(self.version_of(self.here), '1')
        self.assertEqual(os.listdir(self.folder), ['Test.app'])
        self.assertEqual([e['version'] for e in self.events('version')], [1])

    def test_restart_to_update_says_why_and_quits(self):
        self.answer(self.app, self.main, self.offer, 'Return')
        told = self.wait_dialog(self.app, self.main, "Testapp can't update itself here.",
                                'Download the new version and drag it into Applications.')
        self.answer(self.app, self.main, told, 'Return')
        self.assertEqual(self.app.wait_exit(STEP_TIMEOUT), 0)
        self.assert_untouched()

    def test_quit_with_an_update_waiting_says_nothing(self):
        self.answer(self.app, self.main, self.offer, 'Tab', 'space')
        self.assertEqual(self.quit_with_keys(self.app, self.main), 0)
        self.assert_untouched()
