"""The page the app shows when its server stops: the last lines it wrote, and the app
stays open."""
from .harness import GuiTest

LAST_LINES = '''
say('Orange harbor one\\nSilver meadow two\\n\\nPurple canyon three\\n')
say('Golden <b>river</b> four\\n', sys.stderr)
say('\\nVelvet forest five\\n\\n')
sys.exit(1)
'''


class StoppedPageTest(GuiTest):
    def stopped_page(self, server, *phrases):
        app = self.launch(self.make_bundle(server))
        text = self.wait_text('Testapp stopped', *phrases)
        self.assertIsNone(app.proc.poll(), 'the app must stay open on its stopped page')
        app.quit()
        return text

    def test_stopped_page(self):
        with self.subTest('output written just before exit'):
            # Far more than a pipe holds, so the app must keep reading after the exit.
            self.stopped_page("say('filler\\n' * 50000 + 'Walnut copper lantern\\n\\n\\n')"
                              "\nos._exit(3)", 'Walnut copper lantern')
        with self.subTest('silent exit'):
            self.stopped_page('os._exit(0)', 'It stopped unexpectedly.')
        with self.subTest('only the last three lines'):
            text = self.stopped_page(LAST_LINES, 'Purple canyon three', 'Golden <b>river</b> four',
                                     'Velvet forest five')
            self.assertNotIn('harbor', text)
            self.assertNotIn('meadow', text)
            self.assertLess(text.index('purple'), text.index('golden'))
            self.assertLess(text.index('golden'), text.index('velvet'))
