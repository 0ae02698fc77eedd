"""Reload, the recovery page, and the retry that brings the server's page back after
failed loads, with a server that can stop answering and come back on the same port."""
import urllib.request

from .harness import LOAD_TIMEOUT, STEP_TIMEOUT, GuiTest, click, press_in_page, wait_until, xdo

# Every request for a page is logged as 'get'. The page reports itself ('seen', with an
# id of its own) and again three seconds later ('later'). The test steers the server:
#   /drop       take requests but close them unanswered (logged as 'dropped')
#   /close?s=N  close the listening socket, so connections are refused; N seconds later
#               listen again on the same port and answer normally
SERVER = r'''
PAGE = """<!doctype html><html><head><style>
html, body { margin: 0; height: 100%; font: 16px sans-serif; }
#away { position: fixed; top: 100px; left: 0; width: 400px; height: 150px; background: #cde; }
</style></head><body><a id=away href="/elsewhere?y=2">away</a><script>
const id = Math.random().toString(36).slice(2);
addEventListener('load', () => {
  fetch('/seen?' + new URLSearchParams({id, href: location.href}));
  setTimeout(() => fetch('/later?id=' + id), 3000);
});
</script></body></html>"""
state = {'drop': False}


def close(seconds):
    global httpd
    port = httpd.server_address[1]
    httpd.shutdown()
    httpd.server_close()
    state['drop'] = False
    time.sleep(seconds)
    httpd = listen(get, port)
    log('reopened')


def get(handler, path, q):
    if path == '/drop':
        state['drop'] = True
    elif path == '/close':
        threading.Thread(target=close, args=(float(q['s']),)).start()
    elif state['drop']:
        log('dropped', path=handler.path)
        handler.close_connection = True
        return None
    elif path in ('/seen', '/later'):
        log(path[1:], **q)
    else:
        log('get', path=handler.path)
        return PAGE
    return b''


httpd = listen(get)
announce(httpd.server_address[1], '/app?x=1')
'''

# Never announces itself, so the app never learns the page's address.
SILENT = '''
write_open_link('http://127.0.0.1:%d/app?x=1' % serve('never'))
watch_stdin()
idle()
'''


class ReloadTest(GuiTest):
    def wait_seen(self, ending, after=0):
        """The page at an address ending so, loaded after the time `after`."""
        return wait_until(lambda: [e for e in self.events('seen', after)
                                   if e['href'].endswith(ending)], LOAD_TIMEOUT,
                          lambda: 'the page %r to load; pages seen: %s'
                          % (ending, self.events('seen')))[0]

    def test_reload_recovery_and_retry(self):
        wid = self.start(SERVER).wid
        first = self.wait_seen('/app?x=1')
        direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        steer = lambda order: direct.open(first['href'].replace('/app?x=1', order), timeout=10).read()

        with self.subTest('failed loads are retried until the server answers'):
            steer('/drop')
            press_in_page(wid, 'ctrl+r')
            attempts = lambda: [e['t'] for e in self.events('dropped') if e['path'] == '/app?x=1']
            times = wait_until(lambda: len(attempts()) >= 4 and attempts(), STEP_TIMEOUT,
                               lambda: 'four load attempts; the server saw %s' % self.events('dropped'))
            gaps = [b - a for a, b in zip(times, times[1:])]
            self.assertTrue(all(0.8 < gap < 2.5 for gap in gaps), 'one attempt a second: %s' % gaps)

            # Refused connections keep the loop going; the page is back once the server is.
            steer('/close?s=2.5')
            reopened = self.wait_event('reopened', STEP_TIMEOUT)
            page = self.wait_seen('/app?x=1', after=reopened['t'])
            self.assertNotEqual(page['id'], first['id'])
            gets = self.events('get', reopened['t'])
            self.assertLess(gets[0]['t'] - reopened['t'], 2.5)
            # And the loop ends there: nothing more is loaded while the page lives on.
            wait_until(lambda: [e for e in self.events('later') if e['id'] == page['id']],
                       STEP_TIMEOUT, 'the page to report back a while after loading')
            self.assertEqual([e['path'] for e in self.events('get', reopened['t'])], ['/app?x=1'])

        with self.subTest('reload and recovery page'):
            since = self.events('later')[-1]['t']
            click(wid, 200, 170)
            away = self.wait_seen('/elsewhere?y=2', after=since)
            # The server's page itself, not the page on show.
            press_in_page(wid, 'ctrl+r')
            back = self.wait_seen('/app?x=1', after=away['t'])
            # The recovery page keeps the page's query.
            press_in_page(wid, 'ctrl+alt+r')
            self.wait_seen('/shell?x=1', after=back['t'])
            self.assertEqual([e['path'] for e in self.events('get', since)
                              if e['path'] != '/favicon.ico'],
                             ['/elsewhere?y=2', '/app?x=1', '/shell?x=1'])

    def test_before_the_page_is_known_reload_and_recovery_do_nothing(self):
        app = self.launch(self.make_bundle(SILENT))
        app.wait_trace('status-loaded')
        self.wait_text('Starting Testapp')
        wid = app.window()
        press_in_page(wid, 'ctrl+r', 'ctrl+alt+r')
        # Keys are handled in order: once the menu is open, both commands have run.
        xdo('key', 'F10')
        wait_until(lambda: app.others(wid), STEP_TIMEOUT, 'the menu to open')
        xdo('key', 'Escape')
        wait_until(lambda: app.windows() == [wid], STEP_TIMEOUT, 'the menu to close')
        self.wait_text('Starting Testapp')
        self.assertIsNone(app.proc.poll())
        self.assertEqual(app.trace().count('status-loaded'), 1)
        self.assertNotIn('page-loaded', app.trace())
        self.assertEqual(self.events('seen'), [])
