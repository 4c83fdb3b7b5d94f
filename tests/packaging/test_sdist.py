"""The sdist holds the project's tracked files and nothing else, whatever lies around in the
working tree: virtual environments (at the top, or deeper in a folder of one's own), build
trees, dist/, caches, built documentation."""

from __future__ import annotations

import pathlib
import shutil
import subprocess
import sys
import tarfile
import venv

ROOT = pathlib.Path(__file__).resolve().parents[2]
# Tracked, but only for working on the project: CI, editor and formatter settings.
NOT_SHIPPED = (".ci/", ".clang-format", ".clang-tidy", ".gitignore")


def test_sdist_holds_only_the_tracked_project_files(tmp_path: pathlib.Path) -> None:
    tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, capture_output=True,
                             text=True).stdout.split()
    tree = tmp_path / "tree"
    for name in tracked:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, tree / name)
    for env in (".venv", "venv2", "tools/env"):
        venv.create(tree / env, with_pip=False, symlinks=True)
        (tree / env / "lib" / "module.py").write_text("")
    for junk in ("build/wheel/CMakeCache.txt", "dist/old.tar.gz", ".mypy_cache/x.json",
                 "tests/python/__pycache__/x.cpython-311.pyc", "docs/_build/html/index.html"):
        (tree / junk).parent.mkdir(parents=True, exist_ok=True)
        (tree / junk).write_text("")

    out = tmp_path / "out"
    built = subprocess.run(
        [sys.executable, "-c",
         f"from scikit_build_core.build import build_sdist; print(build_sdist({str(out)!r}))"],
        cwd=tree, check=True, capture_output=True, text=True).stdout.split()[-1]
    with tarfile.open(out / built) as sdist:
        members = {m.name.split("/", 1)[1] for m in sdist.getmembers() if m.isfile()}

    expected = {name for name in tracked if not name.startswith(NOT_SHIPPED)} | {"PKG-INFO"}
    assert members == expected, (
        f"not from the project: {sorted(members - expected)}, missing: {sorted(expected - members)}"
    )
