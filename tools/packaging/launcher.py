"""Makes a server in any language a bundle's server: puts the launcher in as app/serve.py with
its settings beside it.

    tools/package launcher BUNDLE.app [--settings FILE] [options] [--key KEY] [-- COMMAND...]

Writes BUNDLE.app/Contents/Resources/app/serve.py (bundle/launcher/launch_server.py) and
app/launch.json, replacing the server that was there; other files in app/ stay. The settings
come from --settings (a launch.json, e.g. bundle/examples/node-red.json), then the options
below and the COMMAND after "--" (which replaces the file's "command"). In the command and
in --env values, {port}, {data}, {app} and {resources} stand for the port, the data folder,
the app folder and the bundle's Resources folder. With nothing but a command, the launcher
passes a free port through {port} and shows / once GET / gets any answer.

The settings are checked as the launcher checks them before anything is written. With --key
the bundle is signed again; without it, sign it yourself.
"""
import importlib.util, json, os, sys, tempfile

import signing

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LAUNCHER = os.path.join(TOP, 'bundle', 'launcher', 'launch_server.py')
# option: (setting, type)
OPTIONS = {'--port-from-output': ('port_from_output', str), '--ready-from-output': ('ready_from_output', str),
           '--ready-path': ('ready_path', str), '--page': ('page', str),
           '--token-from-output': ('token_from_output', str), '--stop-grace': ('stop_grace', float),
           '--ready-within': ('ready_within', float)}


def fail(message):
    sys.exit('package launcher: ' + message)


def launcher_module():
    """The launcher itself, for its own check of the settings."""
    found = importlib.util.spec_from_file_location('launch_server', LAUNCHER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def settings_from(args, launcher):
    settings = {}
    if args.settings:
        try:
            with open(args.settings, encoding='utf-8') as f:
                settings = json.load(f)
        except (OSError, ValueError) as e:
            fail('cannot read %s: %s' % (args.settings, e))
        if not isinstance(settings, dict):
            fail('%s does not hold a JSON object' % args.settings)
    for option, (key, _) in OPTIONS.items():
        value = getattr(args, option[2:].replace('-', '_'))
        if value is not None:
            settings[key] = value
    for pair in args.env:
        name, equals, value = pair.partition('=')
        if not equals or not name:
            fail('--env takes NAME=VALUE, not %r' % pair)
        settings.setdefault('env', {})[name] = value
    if args.command:
        settings['command'] = args.command
    try:
        return launcher.check_settings(settings)
    except launcher.SettingsError as e:
        fail(str(e))


def write_file(path, data, mode):
    # Beside the old file and renamed over it: a failure leaves the bundle as it was.
    fd, part = tempfile.mkstemp(dir=os.path.dirname(path), prefix='.launcher-')
    try:
        with os.fdopen(fd, 'wb') as f:
            f.write(data)
        os.chmod(part, mode)
        os.replace(part, path)
    except BaseException:
        os.unlink(part)
        raise


def main(argv):
    command = []
    if '--' in argv:
        at = argv.index('--')
        argv, command = argv[:at], argv[at + 1:]
    parser = signing.bundle_parser('tools/package launcher', __doc__)
    parser.add_argument('--settings', help='a launch.json to start from')
    for option, (key, kind) in OPTIONS.items():
        parser.add_argument(option, type=kind, help='the "%s" setting' % key)
    parser.add_argument('--env', action='append', default=[], metavar='NAME=VALUE',
                        help='a variable for the server (repeatable)')
    args = parser.parse_args(argv)
    args.command = command

    bundle = os.path.abspath(args.bundle).rstrip('/')
    if not os.path.isfile(os.path.join(bundle, 'Contents', 'Info.plist')):
        fail('%s is not an application bundle (it has no Contents/Info.plist)' % args.bundle)
    tool = signing.tool_for(args.key, fail)
    settings = settings_from(args, launcher_module())

    app = os.path.join(bundle, 'Contents', 'Resources', 'app')
    try:
        os.makedirs(app, 0o755, exist_ok=True)
        with open(LAUNCHER, 'rb') as f:
            write_file(os.path.join(app, 'serve.py'), f.read(), 0o755)
        write_file(os.path.join(app, 'launch.json'),
                   (json.dumps(settings, indent=2, ensure_ascii=False) + '\n').encode(), 0o644)
    except OSError as e:
        fail('could not put the launcher into %s: %s' % (app, e))
    print('the launcher runs %s' % ' '.join(settings['command']))

    return signing.sign_again(bundle, tool, args.key, 'the launcher', fail)
