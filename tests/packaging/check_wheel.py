"""Checks the repaired wheel: auditwheel finds nothing in it beyond what its manylinux policy
allows, its tag is that policy's, and it holds the project's files and nothing else.

    python tests/packaging/check_wheel.py WHEEL POLICY
"""

from __future__ import annotations

import importlib.machinery
import pathlib
import subprocess
import sys
import zipfile


def main(wheel: pathlib.Path, policy: str) -> None:
    auditwheel = pathlib.Path(sys.executable).parent / "auditwheel"
    shown = subprocess.run(
        [str(auditwheel), "show", str(wheel)], check=True, capture_output=True, text=True
    ).stdout
    shown = " ".join(shown.split())
    assert f'is consistent with the following platform tag: "{policy}"' in shown, shown

    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/WHEEL"))
        tags = {
            line.split(":", 1)[1].strip()
            for line in archive.read(f"{dist_info}/WHEEL").decode().splitlines()
            if line.startswith("Tag:")
        }
    assert tags == {f"cp311-cp311-{policy}"}, tags

    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    top = {name.split("/")[0] for name in names}
    # No grafted "<dist>.libs" folder: the modules need only libraries the policy lists.
    expected = {f"_brevacon{suffix}", f"_tandrel{suffix}", "_brevacon-stubs", "_tandrel-stubs",
                "epson_sim", "epson_plot", "epson_check", "epson_ros2", dist_info}
    assert top == expected, f"unexpected: {top - expected}, missing: {expected - top}"
    stubs = sorted(n for n in names if "-stubs/" in n)
    assert stubs == ["_brevacon-stubs/__init__.pyi", "_tandrel-stubs/__init__.pyi"], stubs
    junk = [n for n in names if "__pycache__" in n or n.endswith((".pyc", ".pyo"))]
    assert not junk, junk
    print(f"{wheel.name}: {policy}, {len(names)} files, no grafted libraries")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]), sys.argv[2])
