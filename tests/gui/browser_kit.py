"""Stand-ins for the desktop's browser and file manager, registered the way a
desktop registers the real ones, each writing down what it was handed.

The default handlers are .desktop files in the test's $XDG_DATA_HOME/applications
named by a mimeapps.list in its $XDG_CONFIG_HOME. The file manager is a small
service owning org.freedesktop.FileManager1 on the session bus.
"""
import os, signal, subprocess

from .harness import wait_until

_RECORDER = '''#!/bin/sh
printf '%%s\\n' "$1" >> '%s'
'''

_FILE_MANAGER = r'''
import sys
from gi.repository import Gio, GLib

XML = """<node><interface name="org.freedesktop.FileManager1">
<method name="ShowItems"><arg type="as" direction="in"/><arg type="s" direction="in"/></method>
</interface></node>"""
log, ready = sys.argv[1], sys.argv[2]

def call(conn, sender, path, iface, method, params, invocation):
    with open(log, 'a') as f:
        f.write(' '.join(params.unpack()[0]) + '\n')
    invocation.return_value(None)

def acquired(conn, name):
    open(ready, 'w').close()

def bus(conn, name):
    conn.register_object('/org/freedesktop/FileManager1',
                         Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], call)

Gio.bus_own_name(Gio.BusType.SESSION, 'org.freedesktop.FileManager1',
                 Gio.BusNameOwnerFlags.DO_NOT_QUEUE, bus, acquired, lambda *a: sys.exit(3))
GLib.MainLoop().run()
'''


class Desktop:
    """Handlers for web addresses and folders; `handed(kind)` lists what each got."""

    def __init__(self, test):
        self.test, self.dir = test, os.path.join(test.tmp, 'desktop')
        os.makedirs(self.dir)
        apps = os.path.join(test.xdg['XDG_DATA_HOME'], 'applications')
        os.makedirs(apps, exist_ok=True)
        defaults = []
        for kind, types in (('browser', ['x-scheme-handler/http', 'x-scheme-handler/https']),
                            ('folders', ['inode/directory'])):
            program = os.path.join(self.dir, kind)
            with open(program, 'w') as f:
                f.write(_RECORDER % self._log(kind))
            os.chmod(program, 0o755)
            with open(os.path.join(apps, 'test-%s.desktop' % kind), 'w') as f:
                f.write('[Desktop Entry]\nType=Application\nName=Test %s\nExec=%s %%u\n'
                        'MimeType=%s;\n' % (kind, program, ';'.join(types)))
            defaults += ['%s=test-%s.desktop' % (t, kind) for t in types]
        with open(os.path.join(test.xdg['XDG_CONFIG_HOME'], 'mimeapps.list'), 'w') as f:
            f.write('[Default Applications]\n%s\n' % '\n'.join(defaults))

    def _log(self, kind):
        return os.path.join(self.dir, kind + '.log')

    def handed(self, kind):
        """What `kind` (browser, folders, file-manager) was handed, in order."""
        try:
            with open(self._log(kind)) as f:
                return [line.rstrip('\n') for line in f if line.endswith('\n')]
        except FileNotFoundError:
            return []

    def wait_handed(self, kind, count=1, timeout=20):
        return wait_until(lambda: len(self.handed(kind)) >= count and self.handed(kind), timeout,
                          lambda: '%d item(s) for the %s; it has %r' % (count, kind, self.handed(kind)))

    def run_file_manager(self):
        """Owns org.freedesktop.FileManager1 until the test ends."""
        ready = os.path.join(self.dir, 'file-manager.ready')
        proc = subprocess.Popen(['/usr/bin/python3', '-c', _FILE_MANAGER, self._log('file-manager'), ready],
                                stdin=subprocess.DEVNULL, start_new_session=True)

        def stop():
            proc.send_signal(signal.SIGTERM)
            proc.wait(10)
        self.test.addCleanup(stop)
        wait_until(lambda: os.path.exists(ready) or proc.poll() is not None, 20,
                   'the test file manager on the session bus')
        if proc.poll() is not None:
            self.test.fail('the test file manager could not own its name (%s)' % proc.returncode)
