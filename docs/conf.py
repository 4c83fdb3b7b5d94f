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
release = version = (ROOT / "VERSION").read_text().strip()

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "stub_signatures"]

# The modules' docstrings use Google style ("Args:", "Returns:", "Raises:").
napoleon_google_docstring = True
napoleon_numpy_docstring = False
# Their "Attributes:" sections name members autodoc documents anyway: fields, not entries.
napoleon_use_ivar = True
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_typehints = "signature"

html_theme = "alabaster"
html_title = f"{project} {release}"
exclude_patterns = ["_build"]
# The constructor as a member of its own, with its docstring (its arguments) and the stub's
# signature; a class Python cannot construct lists none.
autodoc_class_signature = "separated"
