"""Finding mirovan-sign, for the tools that hand out bundles."""
import os, shutil

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MISSING = 'no mirovan-sign found (build it, put it on PATH or set MIROVAN_SIGN)'


def signing_tool():
    """$MIROVAN_SIGN, else mirovan-sign on PATH, else the build tree's ($MIROVAN_BUILD or
    build/); None when none of them can be run."""
    tool = os.environ.get('MIROVAN_SIGN') or shutil.which('mirovan-sign')
    if not tool:
        tool = os.path.join(os.environ.get('MIROVAN_BUILD') or os.path.join(TOP, 'build'), 'mirovan-sign')
    return tool if os.access(tool, os.X_OK) else None
