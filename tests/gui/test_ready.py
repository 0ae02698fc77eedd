from .harness import GuiTest

# The announced port serves a decoy page: loading it would show up as 'announced'.
FROM_OPEN_LINK = '''
decoy = serve('announced')
real = serve('real')
write_open_link('http://127.0.0.1:%d/landing?via=open-link' % real)
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d ready\\n' % decoy)
idle()
'''

SPLIT = '''
port = serve('real')
write_open_link('http://127.0.0.1:%d/?via=open-link' % port)
watch_stdin()
say('booting\\nMirovan Velto on http://127.0.')
time.sleep(0.7)   # lands in a separate read on the app's side
say('0.1:%d ready\\n' % port)
idle()
'''

# Lines that look close to an announcement; while they are the newest output,
# open-link points at a page the app must never show.
NEAR_MISSES = '''
wrong, real = serve('wrong'), serve('real')
write_open_link('http://127.0.0.1:%d/' % wrong)
watch_stdin()
say('Mirovan Velto on http://127.0.0.1:%d\\n' % wrong)
say(' Mirovan Velto on http://127.0.0.1:%d ready\\n' % wrong)
say('Mirovan Velto on http://localhost:%d ready\\n' % wrong)
say('Mirovan Velto on http://127.0.0.1:%d' % wrong)
time.sleep(1.5)
write_open_link('http://127.0.0.1:%d/' % real)
say('\\nMirovan Velto on http://127.0.0.1:%d ready\\n' % real)
idle()
'''


class ReadinessTest(GuiTest):
    def shown_page(self, server):
        app = self.launch(self.make_bundle(server))
        seen = self.wait_event('seen')
        app.wait_trace('page-loaded')
        return seen

    def test_page_address_comes_from_open_link(self):
        seen = self.shown_page(FROM_OPEN_LINK)
        self.assertEqual(seen['label'], 'real')
        self.assertRegex(seen['href'], r'^http://127\.0\.0\.1:\d+/landing\?via=open-link$')
        self.assertEqual(seen['text'], 'Page real')
        self.assertEqual([e['label'] for e in self.events('seen')], ['real'])

    def test_announcement_split_across_writes(self):
        self.assertEqual(self.shown_page(SPLIT)['label'], 'real')

    def test_announcement_on_stderr(self):
        self.assertEqual(self.shown_page('standard(sys.stderr)')['label'], 'real')

    def test_near_misses_are_not_announcements(self):
        self.assertEqual(self.shown_page(NEAR_MISSES)['label'], 'real')
        self.assertEqual([e['label'] for e in self.events('seen')], ['real'])
