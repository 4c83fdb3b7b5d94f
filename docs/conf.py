"""Sphinx configuration of the API reference (`make docs`).

The API pages are generated from the built modules: their docstrings, with the signatures of the
type stubs in python/<module>-stubs (see _ext/stub_signatures.py). `make docs` puts the built
modules and the virtual controller on the import path, as the tests do.
"""

from __future__ import annotations

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "_ext"))

project = "Epson robot controller driver"
# The footer reads "©<copyright>.": the licence goes there too.
copyright = "2026, the epson-driver authors. Licensed under the Apache License 2.0 (Apache-2.0)"
release = version = (ROOT / "VERSION").read_text().strip()

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "stub_signatures"]

# The modules' docstrings use Google style ("Args:", "Returns:", "Raises:").
napoleon_google_docstring = True
napoleon_numpy_docstring = False
# Their "Attributes:" sections name members autodoc documents anyway: fields, not entries.
napoleon_use_ivar = True
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_typehints = "signature"
# Members in the order the bindings define them (constructor, connection, then the operations),
# not alphabetically with __enter__ first.
autodoc_member_order = "bysource"

html_theme = "alabaster"
html_title = f"{project} {release}"
html_static_path = ["_static"]  # custom.css
# An inline literal that may break anywhere, for one too long for the column (custom.css).
rst_prolog = """
.. role:: wrapping(literal)
   :class: wrapping
"""
exclude_patterns = ["_build"]
# The constructor as a member of its own, with its docstring (its arguments) and the stub's
# signature; a class Python cannot construct lists none.
autodoc_class_signature = "separated"
