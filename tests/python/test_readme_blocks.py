"""Every Python block of the README and of the quick start runs as written, in document order, in
one namespace (as a reader pastes them into one session), against a fresh virtual controller.

The documents connect to fixed ports: the README to the controller's own 5000 and 2000, the
quick start to the free ports of its sample "epson-sim listening" line. The one rewrite of a
block is those two numbers, replaced by the free loopback ports this test's controller got.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import epson_plot
from epson_sim import VirtualController

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The command and telemetry ports each document shows.
DOCUMENTS = {"README.md": (5000, 2000), "docs/quickstart.rst": (40123, 40125)}
DEADLINE_S = 60.0

# Runs the blocks it reads from standard input; names the block it starts on standard error, so
# a failure or a hang points at its block.
RUNNER = """
import json, sys, traceback
namespace = {"__name__": "__main__"}
for name, code in json.load(sys.stdin):
    print("running", name, file=sys.stderr, flush=True)
    try:
        exec(compile(code, name, "exec"), namespace)
    except BaseException:
        traceback.print_exc()
        print("failed:", name, file=sys.stderr, flush=True)
        sys.exit(1)
"""


def python_blocks(path: pathlib.Path) -> list[tuple[int, str]]:
    """The Python blocks of a Markdown or reStructuredText file: (line of the block's first code
    line, code), in document order."""
    lines = path.read_text(encoding="utf-8").splitlines()
    blocks = []
    index = 0
    while index < len(lines):
        line = lines[index]
        index += 1
        if path.suffix == ".md":
            if line.strip() != "```python":
                continue
            start = index
            while lines[index].strip() != "```":
                index += 1
            blocks.append((start + 1, "\n".join(lines[start:index])))
        else:
            directive = re.fullmatch(r"(\s*)\.\. (?:code-block|code|sourcecode):: python3?\s*", line)
            if not directive:
                continue
            indent = len(directive.group(1))
            while index < len(lines) and lines[index].strip().startswith(":"):  # options
                index += 1
            start = index
            while index < len(lines) and (not lines[index].strip() or
                                          len(lines[index]) - len(lines[index].lstrip()) > indent):
                index += 1
            body = textwrap.dedent("\n".join(lines[start:index])).strip("\n")
            start += next(n for n, text in enumerate(lines[start:]) if text.strip())
            blocks.append((start + 1, body))
    return blocks


@pytest.mark.parametrize("document", DOCUMENTS)
def test_python_blocks_run_as_written(document: str, tmp_path: pathlib.Path) -> None:
    with VirtualController(port=0, telemetry_port=0) as vc:
        shown = DOCUMENTS[document]
        blocks = []
        for line, code in python_blocks(ROOT / document):
            for shown_port, port in zip(shown, (vc.port, vc.telemetry_port)):
                code = re.sub(rf"\b{shown_port}\b", str(port), code)
            blocks.append((f"{document}:{line}", code))
        assert blocks, f"no Python block found in {document}"  # a renamed fence, say
        # The modules come from PYTHONPATH; the blocks run in a directory of their own.
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))
        try:
            result = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps(blocks),
                                    cwd=tmp_path, env=env, capture_output=True, text=True,
                                    timeout=DEADLINE_S)
        except subprocess.TimeoutExpired as hung:
            stderr = hung.stderr.decode() if isinstance(hung.stderr, bytes) else hung.stderr or ""
            started = re.findall(r"^running (\S+)$", stderr, re.M)
            pytest.fail(f"{started[-1] if started else document} still ran after "
                        f"{DEADLINE_S:.0f} s:\n{stderr}")
    if result.returncode != 0:
        failed = re.findall(r"^failed: (\S+)$", result.stderr, re.M)
        pytest.fail(f"the block at {failed[-1] if failed else document} raised:\n{result.stderr}")
    # A recording a block made must hold samples, or epson-plot has nothing to draw.
    for recording in tmp_path.glob("*.csv"):
        assert epson_plot.read_run(recording).time, recording.name
