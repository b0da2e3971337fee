"""Every Python example in README.md runs as written: each ```python block alone, in a
fresh interpreter, in an empty folder. A block that only shows some calls is marked by
`<!-- fragment: why -->` on the line above its fence, and is reported as skipped by name."""

import ast
import importlib.util
import inspect
import os
import re

import pytest
import torch

from subproc import run_python

README = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "README.md")
FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([\w+-]*)")
MARKER = re.compile(r"^\s*<!--\s*fragment:\s*(.*?)\s*-->\s*$")
TIMEOUT = 120  # seconds a block may take on a busy 2-core machine; the slowest takes a few


def blocks(text):
    """(name, first line, language, code, fragment reason or None) of every fenced block."""
    lines = text.splitlines()
    found, heading, i = [], "top", 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("#"):
            heading = line.lstrip("#").strip()
        fence = FENCE.match(line)
        if not fence:
            i += 1
            continue
        indent, mark, language = fence.groups()
        end = next((j for j in range(i + 1, len(lines))
                    if lines[j].strip().startswith(mark[0] * len(mark)) and not lines[j].strip().strip(mark[0])),
                   None)
        if end is None:
            raise AssertionError(f"README.md line {i + 1}: the code block is never closed")
        body = [row[len(indent):] if row.startswith(indent) else row.lstrip() for row in lines[i + 1:end]]
        marker = MARKER.match(lines[i - 1]) if i else None
        found.append((f"{heading} (line {i + 1})", i + 1, language, "\n".join(body) + "\n",
                      marker.group(1) if marker else None))
        i = end + 1
    return found


with open(README, encoding="utf-8") as stream:
    TEXT = stream.read()
PYTHON = [block for block in blocks(TEXT) if block[2] == "python"]


def test_the_readme_is_read_as_written():
    """Every fragment marker stands right above a python block (one anywhere else would
    leave its block running, or mark nothing), and every python block parses."""
    markers = [n + 1 for n, line in enumerate(TEXT.splitlines()) if MARKER.match(line)]
    assert sorted(markers) == sorted(first - 1 for _, first, _, _, reason in PYTHON if reason is not None), \
        "a fragment marker that is not directly above a ```python fence"
    assert len(PYTHON) >= 3
    for name, _, _, code, _ in PYTHON:
        compile(code, name, "exec")


def imported(code):
    names = set()
    for node in ast.walk(ast.parse(code)):
        if isinstance(node, ast.Import):
            names |= {alias.name.partition(".")[0] for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.module and not node.level:
            names.add(node.module.partition(".")[0])
    return names


def skip_unless_transformers_runs():
    transformers = pytest.importorskip("transformers", reason="transformers is an optional test dependency")
    if not transformers.is_torch_available():
        pytest.skip(f"transformers {transformers.__version__} does not work with torch {torch.__version__}")


def skip_unless_onnx_exports():
    pytest.importorskip("onnxscript", reason="the ONNX exporter needs onnxscript")
    pytest.importorskip("onnxruntime", reason="onnxruntime is an optional test dependency")
    if not {"dynamo", "dynamic_shapes"} <= set(inspect.signature(torch.onnx.export).parameters):
        pytest.skip(f"torch {torch.__version__}'s torch.onnx.export has no dynamo exporter with dynamic_shapes")


# Optional packages a block may use: it is skipped, with the reason, where they cannot
# run. Any other import a block makes must work.
OPTIONAL = {"transformers": skip_unless_transformers_runs, "onnxruntime": skip_unless_onnx_exports,
            "onnx": skip_unless_onnx_exports, "onnxscript": skip_unless_onnx_exports}


@pytest.mark.parametrize("name, first, language, code, fragment", PYTHON, ids=[block[0] for block in PYTHON])
def test_python_block_runs_as_written(name, first, language, code, fragment, tmp_path):
    if fragment is not None:
        pytest.skip(f"{name}: a fragment ({fragment})")
    for module in sorted(imported(code)):
        if module in OPTIONAL:
            try:
                OPTIONAL[module]()
            except pytest.skip.Exception as skipped:
                pytest.skip(f"{name}: {skipped.msg}")
        else:
            assert importlib.util.find_spec(module) is not None, f"{name} imports {module}, which is not installed"
    result = run_python(code, timeout=TIMEOUT, cwd=str(tmp_path))
    assert result.returncode == 0, f"README.md {name} fails:\n{result.stderr[-3000:]}"
