"""The type stub `python/trellan_core.pyi` against the built module, and what it lets mypy check."""

import os, subprocess, sys, textwrap
from pathlib import Path

import pytest

import trellan_core

pytest.importorskip("mypy")

STUB_DIR = Path(__file__).resolve().parents[2] / "python"


def mypy(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, MYPYPATH=str(STUB_DIR))
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=cwd)


@pytest.mark.parametrize("args", [["mypy.stubtest", "trellan_core"], ["mypy", "--strict", str(STUB_DIR / "trellan")]],
                         ids=["stub matches the module", "package type checks"])
def test_mypy(args: list[str]) -> None:
    done = mypy(*args)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_installed_stub_is_this_one() -> None:
    installed = Path(trellan_core.__file__).with_name("trellan_core.pyi")
    assert installed.read_text() == (STUB_DIR / "trellan_core.pyi").read_text()


# Every line that must be rejected carries `# type: ignore[code]`; under --strict an ignore that
# silences nothing is itself an error, so each of them proves mypy reports that exact error.
USAGE = """
    import numpy as np
    import trellan
    import trellan_core as tc

    g = tc.GraphStore()
    d = tc.PayloadDescriptor(kind="k", content_hash="h", framework="f", version="v", io_schema="s")
    x = g.add_external(d, [g.add_source("x", {"shape": "8x8", "blocks": 4, "dense": True, "scale": 0.5})])
    reduced, report = g.reduce(maximal_fusion=True, outputs=(g.add_join([g.add_exchange([x])]),))
    stages: int = report["stages"]
    typed: trellan.ReductionReport = g.reduction_report(outputs=[x])
    release: str = trellan.__version__
    mapped = [e[0] for e in reduced.node_map_of([0, x]) if e is not None]
    which, slot = reduced.nodes()[0].get("members", [])[0]["inputs"][0]
    entry = reduced.node_map()[0]
    rid, member_index = entry if entry is not None else (0, None)
    inc = tc.IncrementalReducer()
    final, final_report = inc.finalize(tc.GraphStore.deserialize(reduced.serialize(outputs=[0])), outputs=None)
    name: str = tc.version() + (d.preprocessing_ref or "")
    layer: list[int] = g.add_ops("neg", [[x], (x,)], {"k": 1}) + g.add_reductions("sum", np.zeros((2, 1), np.int64))
    layer += g.add_sources("part", [{"i": 0}, None])

    g.add_op("add", "01")  # type: ignore[arg-type]
    g.add_ops("add", [0, 1])  # type: ignore[list-item]
    g.add_source("x", {"k": None})  # type: ignore[dict-item]
    g.reduce(True)  # type: ignore[call-arg]
    tc.PayloadDescriptor("k", "h", "f", "v", "s")  # type: ignore[call-arg]
    report["stagez"]  # type: ignore[typeddict-item]
    reduced.node_map_of([0])[0][0]  # type: ignore[index]
    d.kind = "other"  # type: ignore[misc]
    class Sub(tc.GraphStore): ...  # type: ignore[misc]
"""


def test_the_stub_accepts_real_calls_and_rejects_wrong_ones(tmp_path: Path) -> None:
    sample = tmp_path / "usage.py"
    sample.write_text(textwrap.dedent(USAGE))
    done = mypy("mypy", "--strict", "--no-incremental", str(sample), cwd=tmp_path)
    assert done.returncode == 0, done.stdout
