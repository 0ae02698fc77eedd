"""Keeps the source layers apart: app on top, platform alone, rules free of the toolkit."""

import os
import pathlib
import re
import unittest

SRC = os.environ.get("MIROVAN_SRC") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)
TOOLKIT = re.compile(r"^(gtk|gdk|gsk|webkit\w*|jsc|adwaita)[/.]")


def faults(path):
    layer, rest = path.split("/", 1)
    stem = rest.split(".")[0]
    rule = "/" not in rest and (layer == "core" and stem != "Trace" or layer == "update" and stem != "Updater"
                                or layer == "web" and (stem.endswith("Rule") or stem == "MenuTable"))
    for quote, header in INCLUDE.findall(pathlib.Path(SRC, path).read_text(encoding="utf-8")):
        top = header.split("/")[0] if quote == '"' and "/" in header else None  # a project header's layer
        if (top == "app" and layer != "app" or layer == "platform" and top not in (None, "platform")
                or {layer, top} == {"web", "update"} or layer == "core" and top in ("app", "web", "update")
                or rule and TOOLKIT.match(header)):
            yield f"{path} includes {quote}{header}"


class LayersTest(unittest.TestCase):
    def test_no_include_crosses_a_layer(self):
        paths = [os.path.relpath(os.path.join(folder, name), SRC) for folder, _, names in os.walk(SRC)
                 for name in names if name.endswith((".h", ".cpp"))]
        self.assertEqual([fault for path in sorted(paths) for fault in faults(path)], [])


if __name__ == "__main__":
    unittest.main()
