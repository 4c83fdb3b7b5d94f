"""Both modules carry the version of the VERSION file, the one the wheel's metadata also has."""

from __future__ import annotations

import importlib.metadata
import pathlib
import types

import pytest

import _brevacon
import _tandrel

VERSION_FILE = pathlib.Path(__file__).resolve().parents[2] / "VERSION"


def installed_version(module: types.ModuleType) -> str | None:
    """The distribution's version if the module was imported from an installed wheel."""
    try:
        dist = importlib.metadata.distribution("epson-driver")
    except importlib.metadata.PackageNotFoundError:
        return None
    loaded = pathlib.Path(module.__file__ or "").resolve()
    if any(pathlib.Path(dist.locate_file(f)).resolve() == loaded for f in dist.files or []):
        return dist.version
    return None


@pytest.mark.parametrize("module", [_brevacon, _tandrel], ids=lambda m: m.__name__)
def test_version_matches_its_source(module: types.ModuleType) -> None:
    expected = installed_version(module) or VERSION_FILE.read_text().strip()
    assert module.__version__ == expected
