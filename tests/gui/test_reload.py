"""Reload, the recovery page, and the retry that brings the server's page back after
failed loads, with a server that can stop answering and come back on the same port."""
import os

from .harness import LOAD_TIMEOUT, GuiTest, wait_until, xdo

STEP_TIMEOUT = 15

# Every request for a page is logged as 'get'. The page reports itself ('seen', with
# an id of its own) and again three seconds later ('later'). The test steers the
# server through OUT/control:
#   drop      take requests but close them unanswered (logged as 'dropped')
#   close N   close the listening socket, so connections are refused; N seconds later
#             listen again on the same port and answer normally
SERVER = r'''
import socket

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


class Handler(BaseHTTPRequestHandler):
    def do_GET(self):
        url = urlparse(self.path)
        q = {k: v[0] for k, v in parse_qs(url.query).items()}
        if state['drop']:
            log('dropped', path=self.path)
            self.close_connection = True
            return
        body = b''
        if url.path == '/seen':
            log('seen', id=q['id'], href=q['href'])
        elif url.path == '/later':
            log('later', id=q['id'])
        else:
            log('get', path=self.path)
            body = PAGE.encode()
        self.send_response(200)
        self.send_header('Content-Type', 'text/html; charset=utf-8')
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Cache-Control', 'no-store')
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def listen(port=0):
    httpd = ThreadingHTTPServer(('127.0.0.1', port), Handler)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    return httpd


def steer():
    global httpd
    control = os.path.join(OUT, 'control')
    while True:
        try:
            with open(control) as f:
                order = f.read().split()
            os.remove(control)
        except FileNotFoundError:
            time.sleep(0.02)
            continue
        if order[0] == 'drop':
            state['drop'] = True
            log('dropping')
        elif order[0] == 'close':
            port = httpd.server_address[1]
            httpd.shutdown()
            httpd.server_close()
            state['drop'] = False
            log('closed')
            time.sleep(float(order[1]))
            httpd = listen(port)
            log('reopened')


httpd = listen()
threading.Thread(target=steer, daemon=True).start()
write_open_link('http://127.0.0.1:%d/app?x=1' % httpd.server_address[1])
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d ready\n' % httpd.server_address[1])
idle()
'''

# Never announces itself, so the app never learns the page's address.
SILENT = '''
write_open_link('http://127.0.0.1:%d/app?x=1' % serve('never'))
watch_stdin()
idle()
'''


class ReloadTest(GuiTest):
    def setUp(self):
        super().setUp()
        self.app = self.launch(self.make_bundle(SERVER))
        self.wait_seen('/app?x=1')
        self.wid = self.app.window()

    def wait_seen(self, ending, after=0):
        """The page at an address ending so, loaded after the time `after`."""
        def loaded():
            return [e for e in self.events('seen') if e['href'].endswith(ending) and e['t'] > after]
        return wait_until(loaded, LOAD_TIMEOUT, lambda: 'the page %r to load; pages seen: %s'
                          % (ending, self.events('seen')))[0]

    def press(self, key):
        """The key, while the page has the keyboard focus."""
        xdo('windowactivate', '--sync', self.wid)
        xdo('mousemove', '--window', self.wid, '900', '600')
        xdo('click', '1')
        xdo('key', key)

    def steer(self, order, answer):
        path = os.path.join(self.out, 'control')
        with open(path + '.tmp', 'w') as f:
            f.write(order)
        os.rename(path + '.tmp', path)
        return self.wait_event(answer, STEP_TIMEOUT)

    def test_reload_and_recovery_page(self):
        xdo('mousemove', '--window', self.wid, '200', '170')
        xdo('click', '1')
        away = self.wait_seen('/elsewhere?y=2')

        # The server's page itself, not the page on show.
        self.press('ctrl+r')
        back = self.wait_seen('/app?x=1', after=away['t'])
        # The recovery page keeps the page's query.
        self.press('ctrl+alt+r')
        self.wait_seen('/shell?x=1', after=back['t'])
        self.assertEqual([e['path'] for e in self.events('get') if e['path'] != '/favicon.ico'],
                         ['/app?x=1', '/elsewhere?y=2', '/app?x=1', '/shell?x=1'])

    def test_failed_loads_are_retried_until_the_server_answers(self):
        first = self.events('seen')[0]
        self.steer('drop', 'dropping')
        self.press('ctrl+r')
        attempts = lambda: [e['t'] for e in self.events('dropped') if e['path'] == '/app?x=1']
        times = wait_until(lambda: len(attempts()) >= 4 and attempts(), STEP_TIMEOUT,
                           lambda: 'four load attempts; the server saw %s' % self.events('dropped'))
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(all(0.8 < gap < 2.5 for gap in gaps), 'one attempt a second: %s' % gaps)

        # Refused connections keep the loop going; the page is back once the server is.
        reopened = self.steer('close 2.5', 'reopened')
        page = self.wait_seen('/app?x=1', after=reopened['t'])
        self.assertNotEqual(page['id'], first['id'])
        gets = [e for e in self.events('get') if e['t'] > reopened['t']]
        self.assertLess(gets[0]['t'] - reopened['t'], 2.5)
        # And the loop ends there: nothing more is loaded while the page lives on.
        wait_until(lambda: [e for e in self.events('later') if e['id'] == page['id']],
                   STEP_TIMEOUT, 'the page to report back a while after loading')
        self.assertEqual([e['path'] for e in self.events('get') if e['t'] > reopened['t']],
                         ['/app?x=1'])


class BeforeThePageIsKnownTest(GuiTest):
    def test_reload_and_recovery_do_nothing(self):
        app = self.launch(self.make_bundle(SILENT))
        app.wait_trace('status-loaded')
        self.wait_text('Starting Testapp')
        wid = app.window()
        xdo('windowactivate', '--sync', wid)
        xdo('mousemove', '--window', wid, '900', '600')
        xdo('click', '1')
        xdo('key', 'ctrl+r')
        xdo('key', 'ctrl+alt+r')
        # Keys are handled in order: once the menu is open, both commands have run.
        xdo('key', 'F10')
        wait_until(lambda: len(app.windows()) > 1, STEP_TIMEOUT, 'the menu to open')
        xdo('key', 'Escape')
        wait_until(lambda: app.windows() == [wid], STEP_TIMEOUT, 'the menu to close')
        self.wait_text('Starting Testapp')
        self.assertIsNone(app.proc.poll())
        self.assertEqual(app.trace().count('status-loaded'), 1)
        self.assertNotIn('page-loaded', app.trace())
        self.assertEqual(self.events('seen'), [])
