"""Finding mirovan-sign and signing a bundle again, for the tools that change bundles."""
import argparse, os, shutil, stat, subprocess

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MISSING = 'no mirovan-sign found (build it, put it on PATH or set MIROVAN_SIGN)'


def signing_tool():
    """$MIROVAN_SIGN, else mirovan-sign on PATH, else the build tree's ($MIROVAN_BUILD or
    build/); None when none of them can be run."""
    tool = os.environ.get('MIROVAN_SIGN') or shutil.which('mirovan-sign')
    if not tool:
        tool = os.path.join(os.environ.get('MIROVAN_BUILD') or os.path.join(TOP, 'build'), 'mirovan-sign')
    return tool if os.access(tool, os.X_OK) else None


def bundle_parser(prog, doc):
    """The command line every tool that changes a bundle starts from: the bundle, and --key."""
    parser = argparse.ArgumentParser(prog=prog, description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('bundle', help='the application bundle (X.app)')
    parser.add_argument('--key', help='sign the bundle again with this private key')
    return parser


def tool_for(key, fail):
    """The tool that will sign with `key`, or None without a key; checked before anything
    changes, so that a missing key or tool stops a command early."""
    if not key:
        return None
    if not os.path.isfile(key):
        fail('the key file %s does not exist' % key)
    return signing_tool() or fail(MISSING)


def make_signable(bundle):
    """Takes away group and other write: such a bundle is never taken as signed."""
    for folder, dirs, files in os.walk(bundle):
        for name in [folder] + [os.path.join(folder, n) for n in dirs + files]:
            mode = os.lstat(name).st_mode
            if not stat.S_ISLNK(mode) and mode & 0o022:
                os.chmod(name, stat.S_IMODE(mode) & ~0o022)


def sign_again(bundle, tool, key, what, fail):
    """Signs `bundle` again now that `what` is in place, or, without a tool, says how to."""
    if not tool:
        print('%s must be signed again: mirovan-sign sign %s KEY' % (bundle, bundle))
        return 0
    make_signable(bundle)
    signed = subprocess.run([tool, 'sign', bundle, key], capture_output=True, text=True)
    if signed.returncode != 0:
        fail('%s is in place, but signing failed:\n%s' % (what, (signed.stderr or signed.stdout).strip()))
    print('signed %s (%s)' % (bundle, ' '.join(signed.stdout.split())))
    return 0
