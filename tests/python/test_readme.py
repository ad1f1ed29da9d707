"""The README's Python code blocks, as a reader meets them: run in order in one namespace, with HOME a fresh
folder, and type-checked by mypy. A block right after the line `<!-- needs a cluster -->` is type-checked only."""

import os, re, subprocess, sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CLUSTER = "<!-- needs a cluster -->"
BLOCK = re.compile(r"^(?P<mark>[^\n]*)\n```python\n(?P<code>.*?)^```$", re.M | re.S)


def blocks() -> list[tuple[int, str, bool]]:
    # (line, code, runs) for every ```python block, in order.
    text = (ROOT / "README.md").read_text()
    return [(text.count("\n", 0, m.start("code")) + 1, m["code"], m["mark"].strip() != CLUSTER)
            for m in BLOCK.finditer(text)]


def test_the_blocks_run_in_order(tmp_path: Path, monkeypatch) -> None:
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.chdir(tmp_path)
    namespace: dict = {"__name__": "readme"}
    for line, code, runs in blocks():
        if runs:
            exec(compile("\n" * (line - 1) + code, str(ROOT / "README.md"), "exec"), namespace)


def test_the_blocks_type_check(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    source = tmp_path / "readme.py"
    text = []
    for line, code, _ in blocks():
        text.append("\n" * (line - 1 - sum(t.count("\n") for t in text)) + code)
    source.write_text("".join(text))
    done = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--check-untyped-defs",
                           "--ignore-missing-imports", str(source)], capture_output=True, text=True,
                          env=dict(os.environ, MYPYPATH=str(ROOT / "python")), cwd=tmp_path)
    assert done.returncode == 0, done.stdout
