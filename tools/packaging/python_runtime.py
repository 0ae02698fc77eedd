"""Gives a bundle an interpreter of its own: this system's Python and its standard library.

    tools/package python BUNDLE.app [--key KEY]

Copies the interpreter /usr/bin/python3 names (the real binary, e.g. python3.11) to
BUNDLE.app/Contents/Resources/python/bin/python3 and its standard library, extension modules
(lib-dynload) included, to python/lib/python3.X, replacing whatever python/ held. Left out:
__pycache__ folders, the test suites and test extension modules, nis, idlelib, tkinter, turtledemo,
ensurepip, the config-3.X-* folder (only needed to build or embed Python) and links that
point outside the standard library (Debian's sitecustomize.py, which belongs to /etc). The
library is compiled afresh into hash-checked .pyc files, so the server starts quickly.

The interpreter finds its library relative to itself, so the bundle may move; sys.prefix lies
inside the bundle and the system's dist-packages are not on its path. Extension modules still
load the system's shared libraries (libssl, libffi, libsqlite3, ...).

The new folder is assembled beside the old one and swapped in at once: a failure leaves the
bundle as it was. With --key the bundle is then signed again (after chmod -R go-w); without it,
sign it yourself. mirovan-sign is taken from $MIROVAN_SIGN, else from PATH, else from the build
tree ($MIROVAN_BUILD or build/).
"""
import ctypes, errno, json, os, shutil, stat, subprocess, sys, tempfile

import signing

SYSTEM_PYTHON = '/usr/bin/python3'
# Not needed to run a server (and tkinter would need Tk besides).
LEFT_OUT_AT_TOP = {'test', 'idlelib', 'tkinter', 'turtledemo', 'ensurepip'}
LEFT_OUT_ANYWHERE = {'__pycache__', 'test', 'tests'}
# Also nis (NIS lookups, deprecated): the only module that needs libnsl and libtirpc, which
# Debian 13 no longer installs with Python, so a bundle built on Debian 12 would carry a
# module that cannot load there.
LEFT_OUT_EXTENSIONS = ('_test', '_ctypes_test', '_xxtestfuzz', 'xxlimited', 'nis.')

# Asked of the interpreter itself: the tool may well run under another Python.
PROBE = r'''
import json, sys, sysconfig
print(json.dumps({"version": "%d.%d" % sys.version_info[:2], "prefix": sys.base_prefix,
                  "exec_prefix": sys.base_exec_prefix,
                  "libraries": sorted({sysconfig.get_path("stdlib"), sysconfig.get_path("platstdlib")})}))
'''
# Run by the copy: everything it would import from must lie inside it; _json comes from
# lib-dynload, so importing it shows that folder is found too.
CHECK = r'''
import json, sys, _json
print(json.dumps({"prefix": sys.prefix, "exec_prefix": sys.exec_prefix, "path": sys.path[1:]}))
'''


def fail(message):
    sys.exit('package python: ' + message)


def inside(path, folder):
    return os.path.commonpath([path, folder]) == folder


def describe_source():
    try:
        probed = subprocess.run([SYSTEM_PYTHON, '-I', '-S', '-c', PROBE],
                                capture_output=True, text=True)
    except OSError as e:
        fail('cannot run %s: %s' % (SYSTEM_PYTHON, e))
    if probed.returncode != 0:
        fail('%s does not run:\n%s' % (SYSTEM_PYTHON, probed.stderr.strip()))
    source = json.loads(probed.stdout)
    if source['prefix'] != source['exec_prefix']:
        fail('%s has a separate exec_prefix (%s); only one prefix is supported'
             % (SYSTEM_PYTHON, source['exec_prefix']))
    # The copy keeps each folder's place under the prefix, which is where getpath looks.
    for library in source['libraries']:
        if not inside(library, source['prefix']):
            fail('%s lies outside %s, so a copy could not find it' % (library, source['prefix']))
    source['binary'] = os.path.realpath(SYSTEM_PYTHON)
    return source


def check_links(binary):
    # A libpython the binary loads by name would have to be bundled and the binary taught
    # to find it (an rpath of $ORIGIN/../lib); without patchelf that cannot be done here.
    try:
        ldd = subprocess.run(['ldd', binary], capture_output=True, text=True)
    except OSError as e:
        fail('cannot run ldd to see what %s links: %s' % (binary, e))
    if ldd.returncode != 0:
        fail('ldd %s failed: %s' % (binary, (ldd.stderr or ldd.stdout).strip()))
    for line in ldd.stdout.splitlines():
        if line.strip().startswith('libpython'):
            fail('%s loads %s at run time; only a statically linked interpreter can be '
                 'bundled (making it find a bundled copy needs patchelf)' % (binary, line.split()[0]))


def copy_file(source, target):
    shutil.copy2(source, target)
    # Nothing in a signed bundle may be group- or world-writable.
    os.chmod(target, stat.S_IMODE(os.stat(target).st_mode) & ~0o022)


def copy_library(source, target, top, left_out):
    os.mkdir(target)
    for entry in sorted(os.scandir(source), key=lambda e: e.name):
        name, path = entry.name, entry.path
        if name in LEFT_OUT_ANYWHERE or source == top and (name in LEFT_OUT_AT_TOP
                                                           or name.startswith('config-')):
            continue
        if os.path.basename(source) == 'lib-dynload' and name.startswith(LEFT_OUT_EXTENSIONS):
            continue
        if entry.is_symlink():
            # A signed bundle may not link outside itself; a link within the library is copied
            # as what it names.
            real = os.path.realpath(path)
            if not inside(real, os.path.realpath(top)) or not os.path.exists(real):
                left_out.append('%s (a link to %s)' % (path, os.readlink(path)))
                continue
            path = real
        if os.path.isdir(path):
            copy_library(path, os.path.join(target, name), top, left_out)
        elif os.path.isfile(path):
            copy_file(path, os.path.join(target, name))
    shutil.copystat(source, target)
    os.chmod(target, stat.S_IMODE(os.stat(target).st_mode) & ~0o022)


def run_copy(folder, *args):
    env = {k: v for k, v in os.environ.items() if not k.startswith('PYTHON')}
    # -s: the user's own site-packages are the user's business, not the bundle's.
    return subprocess.run([os.path.join(folder, 'bin', 'python3'), '-s'] + list(args),
                          capture_output=True, text=True, env=env, cwd='/')


def compile_library(folder, library):
    # The app runs Python with -B from a signed, read-only bundle, so without these every
    # start compiles its imports afresh (a quarter second for the demo). Hash-checked, so they
    # hold however the bundle's files get their times, and never stand in for edited sources.
    run = run_copy(folder, '-m', 'compileall', '-q', '-j0', '--invalidation-mode', 'checked-hash',
                   library)
    if run.returncode != 0:
        fail('compiling the copied library failed:\n' + (run.stdout + run.stderr).strip())


def check_copy(folder):
    run = run_copy(folder, '-c', CHECK)
    if run.returncode != 0:
        fail('the copied interpreter does not start:\n' + (run.stderr or run.stdout).strip())
    found = json.loads(run.stdout)
    outside = [p for p in [found['prefix'], found['exec_prefix']] + found['path']
               if not inside(os.path.realpath(p), os.path.realpath(folder))]
    if outside:
        fail('the copied interpreter still looks outside the bundle: ' + ', '.join(outside))


def swap(fresh, final):
    """Puts `fresh` in place of `final` in one step; `fresh` then holds the old folder."""
    libc = ctypes.CDLL(None, use_errno=True)
    renameat2 = getattr(libc, 'renameat2', None)
    if renameat2 is not None:
        renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
        AT_FDCWD, RENAME_EXCHANGE = -100, 2
        if renameat2(AT_FDCWD, os.fsencode(fresh), AT_FDCWD, os.fsencode(final), RENAME_EXCHANGE) == 0:
            return
        if ctypes.get_errno() not in (errno.ENOENT, errno.EINVAL, errno.ENOSYS):
            raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()), final)
    if not os.path.lexists(final):
        os.rename(fresh, final)
        return
    # No exchange on this file system: two renames, undone if the second fails.
    old = fresh + '.old'
    os.rename(final, old)
    try:
        os.rename(fresh, final)
    except OSError:
        os.rename(old, final)
        raise
    os.rename(old, fresh)


def size_of(folder):
    return sum(os.lstat(os.path.join(d, n)).st_size for d, _, files in os.walk(folder) for n in files)


def main(argv):
    parser = signing.bundle_parser('tools/package python', __doc__)
    args = parser.parse_args(argv)

    bundle = os.path.abspath(args.bundle).rstrip('/')
    if not os.path.isfile(os.path.join(bundle, 'Contents', 'Info.plist')):
        fail('%s is not an application bundle (it has no Contents/Info.plist)' % args.bundle)
    resources = os.path.join(bundle, 'Contents', 'Resources')
    if not os.path.isdir(resources):
        fail('%s has no Contents/Resources folder' % args.bundle)
    # Found before anything changes, so a missing tool or key stops us early.
    tool = signing.tool_for(args.key, fail)

    source = describe_source()
    check_links(source['binary'])
    final = os.path.join(resources, 'python')
    left_out = []
    try:
        fresh = tempfile.mkdtemp(dir=resources, prefix='.python-')
    except OSError as e:
        fail('cannot write into %s: %s' % (resources, e))
    try:
        os.mkdir(os.path.join(fresh, 'bin'), 0o755)
        copy_file(source['binary'], os.path.join(fresh, 'bin', 'python3'))
        for library in source['libraries']:
            target = os.path.join(fresh, os.path.relpath(library, source['prefix']))
            os.makedirs(os.path.dirname(target), 0o755, exist_ok=True)
            copy_library(library, target, library, left_out)
            compile_library(fresh, target)
        os.chmod(fresh, 0o755)
        check_copy(fresh)
        swap(fresh, final)
    except OSError as e:
        fail('could not put the interpreter into %s: %s' % (resources, e))
    finally:
        shutil.rmtree(fresh, ignore_errors=True)

    print('copied Python %s (%s, %s) into %s: %.1f MB'
          % (source['version'], source['binary'], ', '.join(source['libraries']), final,
             size_of(final) / 1e6))
    for entry in left_out:
        print('left out ' + entry)

    return signing.sign_again(bundle, tool, args.key, 'the interpreter', fail)
