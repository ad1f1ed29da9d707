"""The `trellan` command, driven as a user runs it: a subprocess on blobs written here."""

from __future__ import annotations

import json
import os
import re
import stat
import subprocess
import sys
from pathlib import Path

import pytest

import trellan_core as tc
from strategies import REPORT_KEYS


DESCRIPTOR = {
    "kind": "onnx",
    "content_hash": "sha256:00ff",
    "framework": "onnxruntime",
    "version": "1.17",
    "io_schema": "f32[n]",
}


def run(*args: str | Path, cwd: Path | None = None, path_env: str | None = None,
        stdin: bytes | None = None) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    if path_env is not None:
        env["PATH"] = path_env
    done = subprocess.run(
        [sys.executable, "-m", "trellan", *map(str, args)],
        capture_output=True, cwd=cwd, env=env, input=stdin,
    )
    return subprocess.CompletedProcess(
        done.args, done.returncode, done.stdout.decode(), done.stderr.decode()
    )


def pipeline() -> tuple[tc.GraphStore, list[int]]:
    """0 x, 1 y, 2 add(x,y), 3 add(y,x), 4 add(2,+0.0), 5 exp(4), 6 mul(5,5), 7 log(x) dead,
    8 sum(6), 9 external(6), 10 exchange(9), 11 join(10, y); outputs 11 and 8."""
    g = tc.GraphStore()
    x = g.add_source("x", {"rows": 100})
    y = g.add_source("y")
    s = g.add_op("add", [x, y])
    s2 = g.add_op("add", [y, x])
    z = g.add_op("add", [s], {"scalar": 0.0, "side": "r"})
    e = g.add_op("exp", [z])
    m = g.add_op("mul", [e, s2])
    g.add_op("log", [x])
    r = g.add_reduction("sum", [m], {"axis": 0})
    ext = g.add_external(DESCRIPTOR, [m])
    ex = g.add_exchange([ext], {"scheme": "hash"})
    j = g.add_join([ex, y], {"how": "inner"})
    return g, [j, r]


@pytest.fixture
def blob(tmp_path: Path) -> Path:
    g, outs = pipeline()
    path = tmp_path / "pipe.tir"
    path.write_bytes(g.serialize(outputs=outs))
    return path


@pytest.fixture
def reduced_blob(tmp_path: Path) -> Path:
    g, outs = pipeline()
    reduced, _ = g.reduce(outputs=outs, maximal_fusion=True)
    path = tmp_path / "reduced.tir"
    path.write_bytes(reduced.serialize())
    return path


@pytest.fixture
def fake_dot(tmp_path: Path) -> str:
    """A PATH holding a stand-in for Graphviz `dot` that answers -Tsvg with a tiny SVG
    recording how many bytes of DOT it was fed."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    script = bindir / "dot"
    script.write_text(
        f"#!{sys.executable}\n"
        "import sys\n"
        "assert sys.argv[1:] == ['-Tsvg'], sys.argv\n"
        "n = len(sys.stdin.buffer.read())\n"
        "sys.stdout.write(f'<svg data-dot-bytes=\"{n}\"/>')\n"
    )
    script.chmod(script.stat().st_mode | stat.S_IEXEC)
    return str(bindir)


def body(out: str) -> list[str]:
    """The rows after the header line."""
    return out.splitlines()[1:]


# --- show -------------------------------------------------------------------------------------

def test_show_lists_every_node_with_kind_label_inputs_and_output_flag(blob: Path) -> None:
    done = run("show", blob)
    assert done.returncode == 0, done.stderr
    header, *rows = done.stdout.splitlines()
    assert header.split() == ["id", "out", "kind", "node", "inputs"]
    assert len(rows) == 12
    fields = [row.split() for row in rows]
    assert fields[0][:3] == ["0", "source", "x"] and "{rows=100}" in rows[0]
    assert fields[3][:3] == ["3", "op", "add"] and rows[3].endswith("1, 0")
    assert 'add {scalar=0, side="r"}' in rows[4]
    # outputs carry the flag, nothing else does
    flagged = [f[0] for f in fields if f[1] == "*"]
    assert flagged == ["8", "11"]
    assert rows[9].split()[1:3] == ["external", "onnx:sha256:00ff"] and "[onnxruntime 1.17]" in rows[9]
    assert fields[10][1:4] == ["exchange", '{scheme="hash"}', "9"]
    assert fields[11][1:] == ["*", "join", '{how="inner"}', "10,", "1"]


def test_show_indents_stage_members_and_resolves_their_inputs(reduced_blob: Path) -> None:
    store = tc.GraphStore.deserialize(reduced_blob.read_bytes())
    nodes = store.nodes()
    done = run("show", reduced_blob)
    assert done.returncode == 0, done.stderr
    rows = body(done.stdout)
    stage_rows = [n for n in nodes if n["kind"] == "stage"]
    assert stage_rows, "the fixture reduces to at least one stage"
    member_lines = [r for r in rows if r.lstrip().startswith("[")]
    assert len(rows) == len(nodes) + len(member_lines)
    assert len(member_lines) == sum(n["n_members"] for n in stage_rows)
    stage = stage_rows[0]
    at = next(i for i, r in enumerate(rows) if r.split()[0] == str(stage["id"]))
    assert rows[at].split()[1:3] == ["stage", f"{stage['n_members']}"]
    for k, member in enumerate(stage["members"]):
        line = rows[at + 1 + k]
        assert line.startswith(" ") and line.split()[:3] == [f"[{k}]", member["kind"], member["name"]]
        refs = [
            f"[{v}]" if which == "member" else str(stage["inputs"][v])
            for which, v in member["inputs"]
        ]
        assert line.rstrip().endswith(", ".join(refs))


def test_show_reads_standard_input(blob: Path) -> None:
    assert run("show", "-", stdin=blob.read_bytes()).stdout == run("show", blob).stdout


def test_show_escapes_names_that_would_break_the_line(tmp_path: Path) -> None:
    g = tc.GraphStore()
    g.add_source("two\nlines")
    g.add_source("")
    path = tmp_path / "odd.tir"
    path.write_bytes(g.serialize())
    rows = body(run("show", path).stdout)
    assert len(rows) == 2
    assert '"two\\nlines"' in rows[0] and rows[1].split()[-1] == '""'


# --- stats ------------------------------------------------------------------------------------

def stats_of(path: Path) -> dict[str, str]:
    done = run("stats", path)
    assert done.returncode == 0, done.stderr
    out: dict[str, str] = {}
    section = ""
    for line in done.stdout.splitlines():
        if line.startswith("  "):
            name, value = line.split()
            out[f"{section}.{name}"] = value
        else:
            section = line if line in ("kinds", "top op names") else ""
            key, _, value = line.partition("  ")
            out[key.strip()] = value.strip()
    return out


def test_stats_counts_kinds_names_depth_and_widest_level(blob: Path) -> None:
    s = stats_of(blob)
    assert s["nodes"] == "12"
    assert s["outputs"] == "2 [11, 8]"
    # longest chain: x, add, add+0, exp, mul, external, exchange, join
    assert s["depth"] == "8 levels"
    # level 1 holds add(x,y), add(y,x) and log(x)
    assert s["widest level"] == "level 1: 3 nodes"
    assert {k: v for k, v in s.items() if k.startswith("kinds.")} == {
        "kinds.op": "6", "kinds.source": "2", "kinds.reduction": "1",
        "kinds.external": "1", "kinds.exchange": "1", "kinds.join": "1",
    }
    ops = [k for k in s if k.startswith("top op names.")]
    assert ops[0] == "top op names.add" and s["top op names.add"] == "3"
    assert set(ops) == {f"top op names.{n}" for n in ("add", "exp", "mul", "log")}


def test_stats_counts_op_names_inside_stages(reduced_blob: Path) -> None:
    s = stats_of(reduced_blob)
    assert s.get("kinds.op") is None and int(s["kinds.stage"]) >= 1
    assert s["top op names.add"] == "1" and s["top op names.mul"] == "1"


def test_stats_on_a_long_chain_has_no_recursion_limit(tmp_path: Path) -> None:
    g = tc.GraphStore()
    prev = g.add_source("x")
    for _ in range(20_000):
        prev = g.add_op("neg", [prev])
    path = tmp_path / "chain.tir"
    path.write_bytes(g.serialize(outputs=[prev]))
    s = stats_of(path)
    assert s["depth"] == "20001 levels"
    assert s["widest level"] == "level 0: 1 node"


def test_stats_on_an_empty_graph(tmp_path: Path) -> None:
    path = tmp_path / "empty.tir"
    path.write_bytes(tc.GraphStore().serialize())
    s = stats_of(path)
    assert (s["nodes"], s["outputs"], s["depth"], s["widest level"]) == ("0", "0 []", "0 levels", "-")


# --- dot --------------------------------------------------------------------------------------

def test_dot_prints_or_writes_the_store_rendering(blob: Path, tmp_path: Path) -> None:
    expected = tc.GraphStore.deserialize(blob.read_bytes()).to_dot()
    done = run("dot", blob)
    assert (done.returncode, done.stdout) == (0, expected)
    out = tmp_path / "g.dot"
    done = run("dot", blob, "-o", out)
    assert (done.returncode, done.stdout) == (0, "")
    assert out.read_text() == expected


def test_dot_svg_goes_through_graphviz(blob: Path, tmp_path: Path, fake_dot: str) -> None:
    dot_bytes = len(tc.GraphStore.deserialize(blob.read_bytes()).to_dot().encode())
    out = tmp_path / "g.svg"
    done = run("dot", blob, "--svg", "-o", out, path_env=fake_dot)
    assert done.returncode == 0, done.stderr
    assert out.read_text() == f'<svg data-dot-bytes="{dot_bytes}"/>'


def test_dot_svg_without_graphviz_is_one_line(blob: Path, tmp_path: Path) -> None:
    done = run("dot", blob, "--svg", path_env=str(tmp_path))
    assert done.returncode == 1
    assert len(done.stderr.splitlines()) == 1 and "Graphviz" in done.stderr


# --- reduce -----------------------------------------------------------------------------------

@pytest.mark.parametrize("maximal", [False, True])
def test_reduce_writes_the_reduced_blob_and_prints_the_report(blob: Path, maximal: bool) -> None:
    store = tc.GraphStore.deserialize(blob.read_bytes())
    reduced, report = store.reduce(maximal_fusion=maximal)
    done = run("reduce", blob, *(["--maximal-fusion"] if maximal else []))
    assert done.returncode == 0, done.stderr
    written = blob.with_name("pipe.reduced.tir")
    assert written.read_bytes() == reduced.serialize()
    printed = {}
    for line in done.stdout.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] in REPORT_KEYS:
            printed[parts[0]] = int(parts[1])
    assert printed == report
    assert str(written) in done.stdout


def test_reduce_json_is_parseable_and_matches_the_module(blob: Path, tmp_path: Path) -> None:
    out = tmp_path / "r.tir"
    done = run("reduce", blob, "--json", "-o", out, "--outputs", "8")
    assert done.returncode == 0, done.stderr
    doc = json.loads(done.stdout)
    store = tc.GraphStore.deserialize(blob.read_bytes())
    reduced, report = store.reduce(outputs=[8])
    assert doc["report"] == report and list(doc["report"])[0] == "input_nodes"
    assert doc["outputs"] == reduced.outputs()
    assert (doc["written"], doc["maximal_fusion"]) == (str(out), False)
    assert out.read_bytes() == reduced.serialize()


def test_reduce_maximal_fusion_fuses_the_fan_out(blob: Path) -> None:
    single = json.loads(run("reduce", blob, "--json").stdout)["report"]
    maximal = json.loads(run("reduce", blob, "--json", "--maximal-fusion").stdout)["report"]
    # mul(exp(s), s) reads s twice: alone under the single-use rule, fused under the maximal one
    assert (single["stages"], maximal["stages"]) == (2, 1)


@pytest.mark.parametrize(
    ("outputs", "expected"),
    [("8", [8]), ("11,8", [11, 8]), (" 8 , 11 ", [8, 11]), ("", [])],
)
def test_reduce_outputs_replace_the_marks(blob: Path, outputs: str, expected: list[int]) -> None:
    doc = json.loads(run("reduce", blob, "--json", "--outputs", outputs).stdout)
    store = tc.GraphStore.deserialize(blob.read_bytes())
    assert doc["report"] == store.reduce(outputs=expected)[1]


def test_reduce_blob_to_stdout_keeps_the_report_on_stderr(blob: Path) -> None:
    done = subprocess.run([sys.executable, "-m", "trellan", "reduce", str(blob), "-o", "-"],
                              capture_output=True)
    assert done.returncode == 0
    store = tc.GraphStore.deserialize(blob.read_bytes())
    assert done.stdout == store.reduce()[0].serialize()
    assert b"reduced_nodes" in done.stderr


def test_reduce_without_any_outputs_says_so(tmp_path: Path) -> None:
    g, _ = pipeline()
    path = tmp_path / "unmarked.tir"
    path.write_bytes(g.serialize())
    done = run("reduce", path, "--json")
    assert done.returncode == 0
    assert json.loads(done.stdout)["report"]["reduced_nodes"] == 0
    assert "no outputs" in done.stderr


@pytest.mark.parametrize(
    ("outputs", "message"),
    [("12", "no node with id 12"), ("3,x", "not a list of node ids"), ("-1", "not a list of node ids")],
)
def test_reduce_bad_outputs_exit_2(blob: Path, outputs: str, message: str) -> None:
    done = run("reduce", blob, "--outputs", outputs)
    assert done.returncode == 2
    assert message in done.stderr and "Traceback" not in done.stderr
    assert not blob.with_name("pipe.reduced.tir").exists()


# --- bad input --------------------------------------------------------------------------------

def _bad_files(tmp_path: Path) -> dict[str, tuple[Path, str]]:
    good, _ = pipeline()
    data = good.serialize()
    cases = {
        "missing": (tmp_path / "nope.tir", "No such file or directory"),
        "directory": (tmp_path, "Is a directory"),
        "empty": (b"", "truncated trellan IR blob"),
        "not a blob": (b"XXXX and more", "not a trellan IR blob (bad magic/version)"),
        "truncated": (data[:-3], "truncated trellan IR blob"),
        "bad node tag": (b"TIR1\x01\x00\x00\x00\x09", "invalid node tag 9"),
        "forward reference": (
            b"TIR1\x01\x00\x00\x00\x05\x00\x00\x00\x00\x01\x00\x00\x00" + (0).to_bytes(8, "little")
            + b"\x00\x00\x00\x00",
            "node reference 0 out of range",
        ),
        "bad utf-8": (b"TIR1\x01\x00\x00\x00\x00\x01\x00\x00\x00\xff", "invalid utf-8 in trellan IR blob"),
    }
    out: dict[str, tuple[Path, str]] = {}
    for name, (content, message) in cases.items():
        if isinstance(content, bytes):
            path = tmp_path / f"{name.replace(' ', '_')}.tir"
            path.write_bytes(content)
            content = path
        out[name] = (content, message)
    return out


BAD = ["missing", "directory", "empty", "not a blob", "truncated", "bad node tag",
       "forward reference", "bad utf-8"]


@pytest.mark.parametrize("command", [["show"], ["dot"], ["reduce"], ["stats"], ["dot", "--svg"]])
@pytest.mark.parametrize("case", BAD)
def test_bad_file_gives_one_line_and_status_2(tmp_path: Path, case: str, command: list[str]) -> None:
    path, message = _bad_files(tmp_path)[case]
    done = run(command[0], path, *command[1:])
    assert done.returncode == 2
    assert done.stdout == ""
    lines = done.stderr.splitlines()
    assert len(lines) == 1, done.stderr
    assert lines[0] == f"trellan: {path}: {message}"


def test_unparseable_stage_member_is_reported_not_raised(tmp_path: Path) -> None:
    # A stage whose one member token is not an op token: the reader accepts it, the view does not.
    token = b"src|x"
    data = (b"TIR1\x02\x00\x00\x00"
            + b"\x00\x01\x00\x00\x00x\x00\x00\x00\x00"                       # 0: source x
            + b"\x04\x01\x00\x00\x00" + (0).to_bytes(8, "little")           # 1: stage, inputs [0]
            + b"\x01\x00\x00\x00" + len(token).to_bytes(4, "little") + token
            + b"\x01\x00\x00\x00" + b"\x00\x00\x00\x00\x00"                 # one ref: input 0
            + b"\x00\x00\x00\x00")
    path = tmp_path / "stage.tir"
    path.write_bytes(data)
    for command in ("show", "stats"):
        done = run(command, path)
        assert done.returncode == 2
        assert done.stderr.splitlines() == [f'trellan: {path}: unparseable stage member token "src|x"']


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["show"], ["reduce", "a", "--bogus"]])
def test_usage_errors_exit_2(args: list[str]) -> None:
    done = run(*args)
    assert done.returncode == 2 and "usage: trellan" in done.stderr


# --- demo -------------------------------------------------------------------------------------

def test_demo_writes_its_files_and_explains_the_reduction(tmp_path: Path) -> None:
    out = tmp_path / "demo"
    done = run("demo", "--out", out, path_env=str(tmp_path))  # no Graphviz on this PATH
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in out.iterdir()) == [
        "pipeline.dot", "pipeline.tir", "reduced.dot", "reduced.tir"
    ]
    pipeline_store = tc.GraphStore.deserialize((out / "pipeline.tir").read_bytes())
    assert pipeline_store.outputs(), "the recorded pipeline is written with its outputs marked"
    assert (out / "pipeline.dot").read_text() == pipeline_store.to_dot()
    single, single_report = pipeline_store.reduce()
    _, maximal_report = pipeline_store.reduce(maximal_fusion=True)
    assert (out / "reduced.tir").read_bytes() == single.serialize()
    assert (out / "reduced.dot").read_text() == single.to_dot()

    kinds = {n["kind"] for n in pipeline_store.nodes()}
    assert kinds == {"source", "op", "reduction", "external", "exchange", "join"}
    # the example exercises every kind of change
    assert single_report["reachable_nodes"] < single_report["input_nodes"]
    assert single_report["canonical_nodes"] < single_report["reachable_nodes"]
    assert maximal_report["stages"] < single_report["stages"]

    lines = done.stdout.splitlines()
    table = {ln.split()[0]: ln.split()[1:] for ln in lines if ln and ln.split()[0] in REPORT_KEYS}
    assert table == {k: [str(single_report[k]), str(maximal_report[k])] for k in REPORT_KEYS}
    assert "commutative twin" in done.stdout and "identity op" in done.stdout
    assert "dropped" in done.stdout

    # it runs the pipeline with the NumPy kernels: one task per node that is run, same values
    runs = {m[1]: (int(m[2]), m[3]) for m in re.finditer(
        r"^  (recorded|reduced, single-use rule|reduced, maximal rule) +(\d+) *(.*)$",
        done.stdout, re.M)}
    assert runs == {
        "recorded": (single_report["reachable_nodes"], ""),
        "reduced, single-use rule": (single_report["reduced_nodes"], "equal to the recorded ones"),
        "reduced, maximal rule": (maximal_report["reduced_nodes"], "equal to the recorded ones"),
    }


def test_demo_without_numpy_does_the_rest_and_says_how_to_run(tmp_path: Path) -> None:
    out = tmp_path / "demo"
    hide_numpy = "import sys; sys.modules['numpy'] = None; from trellan.cli import main; sys.exit(main())"
    done = subprocess.run([sys.executable, "-c", hide_numpy, "demo", "--out", str(out)],
                          capture_output=True, text=True, env=dict(os.environ, PATH=str(tmp_path)))
    assert done.returncode == 0, done.stderr
    assert len(list(out.iterdir())) == 4
    assert "Reduction reports" in done.stdout and "Reduced pipeline" in done.stdout
    assert 'Execution skipped: running the graphs needs NumPy' in done.stdout
    assert 'pip install ".[run]"' in done.stdout and "tasks" not in done.stdout


def test_demo_renders_svg_when_graphviz_is_there(tmp_path: Path, fake_dot: str) -> None:
    out = tmp_path / "demo"
    done = run("demo", "--out", out, path_env=fake_dot)
    assert done.returncode == 0, done.stderr
    assert (out / "pipeline.svg").read_text().startswith("<svg")
    assert (out / "reduced.svg").read_text().startswith("<svg")


def test_demo_default_directory_is_relative_to_the_working_directory(tmp_path: Path) -> None:
    done = run("demo", cwd=tmp_path, path_env=str(tmp_path))
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "trellan-demo" / "reduced.tir").is_file()


def test_demo_into_an_unwritable_place_is_one_line(tmp_path: Path) -> None:
    blocker = tmp_path / "file"
    blocker.write_text("")
    done = run("demo", "--out", blocker / "sub")
    assert done.returncode == 2 and len(done.stderr.splitlines()) == 1
