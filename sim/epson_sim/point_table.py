"""The virtual controller's point table, P0 to P999, and the files of SavePoints and LoadPoints.

A point is a TCP pose (with the Tool selected when it was set) and the joints it was set with,
whose posture a `Go` to it keeps. The files live in a folder of the controller's own: a name is
a plain file name, never a path. Their format is this module's own (JSON, see `save()`), not
the `.pts` format of a real controller's project.

Call everything with the robot lock held.
"""

from __future__ import annotations

import json
import math
import os
import re
import shutil
import tempfile
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from . import errors
from . import kinematics as kin
from .errors import SpelError

POINTS = 1000
FORMAT = "epson_sim points"
VERSION = 1
MAX_NAME = 255
_NAME = re.compile(r"[A-Za-z0-9_.-]+")

Entry = Tuple[List[float], List[float]]  # pose, joints


def check_number(n: int) -> None:
    if not 0 <= n < POINTS:
        raise SpelError(errors.OUT_OF_RANGE)


def check_name(name: str) -> None:
    """A file name the folder may hold: letters, digits, '_', '.', '-', and no '..'."""
    if (len(name) > MAX_NAME or not _NAME.fullmatch(name) or ".." in name
            or name == "."):
        raise SpelError(errors.BAD_FILE_NAME)


class PointTable:
    def __init__(self, predefined: Mapping[int, Sequence[float]],
                 folder: Optional[str] = None) -> None:
        """folder: where the files go once open() is called (made then if missing); None for a
        fresh temporary folder, which close() removes."""
        self._points: Dict[int, Entry] = {n: (kin.forward(q), list(q))
                                          for n, q in predefined.items()}
        self._want_folder = folder
        self.folder: Optional[str] = None
        self._own_folder = False

    # --- the folder -----------------------------------------------------------------------

    def open(self) -> None:
        if self._want_folder is None:
            self.folder = tempfile.mkdtemp(prefix="epson-sim-points-")
            self._own_folder = True
        else:
            os.makedirs(self._want_folder, exist_ok=True)
            self.folder = os.path.abspath(self._want_folder)

    def close(self) -> None:
        if self._own_folder and self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self._own_folder = False

    # --- points ---------------------------------------------------------------------------

    def get(self, n: int) -> Entry:
        check_number(n)
        if n not in self._points:
            raise SpelError(errors.UNDEFINED)
        pose, joints = self._points[n]
        return list(pose), list(joints)

    def set(self, n: int, pose: Sequence[float], joints: Sequence[float]) -> None:
        check_number(n)
        self._points[n] = (list(pose), list(joints))

    # --- files ----------------------------------------------------------------------------

    def _path(self, name: str) -> str:
        check_name(name)
        if self.folder is None:
            raise SpelError(errors.POINT_FILE)
        return os.path.join(self.folder, name)

    def save(self, name: str) -> None:
        """Writes every defined point as {"format", "version", "points": [{"number", "pose",
        "joints"}, ...]}; an earlier file of that name is replaced whole or not at all."""
        path = self._path(name)
        text = json.dumps({"format": FORMAT, "version": VERSION, "points": [
            {"number": n, "pose": pose, "joints": joints}
            for n, (pose, joints) in sorted(self._points.items())]})
        partial = path + ".partial"
        try:
            with open(partial, "w", encoding="utf-8") as f:
                f.write(text)
            os.replace(partial, path)
        except OSError:
            raise SpelError(errors.POINT_FILE) from None

    def load(self, name: str) -> None:
        """Replaces the whole table with the file's points; a missing file, or one that is not
        such a file (points out of range, twice, non-finite or outside the joint limits),
        changes nothing."""
        path = self._path(name)
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
            points = _read_points(data)
        except (OSError, ValueError, TypeError, KeyError):
            raise SpelError(errors.POINT_FILE) from None
        self._points = points


def _read_points(data: object) -> Dict[int, Entry]:
    if not isinstance(data, dict) or data.get("format") != FORMAT or \
            data.get("version") != VERSION or not isinstance(data.get("points"), list):
        raise ValueError("not a point file")
    points: Dict[int, Entry] = {}
    for entry in data["points"]:
        n = entry["number"]
        pose, joints = _six(entry["pose"]), _six(entry["joints"])
        if type(n) is not int or not 0 <= n < POINTS or n in points \
                or not kin.within_limits(joints):
            raise ValueError("bad point")
        points[n] = (pose, joints)
    return points


def _six(values: object) -> List[float]:
    if not isinstance(values, list) or len(values) != 6 or not all(
            type(v) in (int, float) and math.isfinite(v) for v in values):
        raise ValueError("not six finite numbers")
    return [float(v) for v in values]
