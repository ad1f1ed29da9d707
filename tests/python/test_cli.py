"""The `trellan` command, driven as a user runs it: a subprocess on blobs written here."""

import json, os, re, stat, subprocess, sys
from pathlib import Path

import pytest

import trellan_core as tc
from trellan import ResultCache
from strategies import DESCRIPTOR, REPORT_KEYS, blob, source_rec, stage_rec, u8


def run(*args, cwd=None, path_env=None, stdin=None) -> subprocess.CompletedProcess:
    env = dict(os.environ, **({"PATH": path_env} if path_env is not None else {}))
    done = subprocess.run([sys.executable, "-m", "trellan", *map(str, args)], capture_output=True, cwd=cwd, env=env,
                          input=stdin)
    return subprocess.CompletedProcess(done.args, done.returncode, done.stdout.decode(), done.stderr.decode())


def pipeline() -> tuple[tc.GraphStore, list[int]]:
    # 0 x, 1 y, 2 add(x,y), 3 add(y,x), 4 add(2,+0.0), 5 exp(4), 6 mul(5,3), 7 log(x) dead, 8 sum(6), 9 external(6),
    # 10 exchange(9), 11 join(10, y); outputs 11 and 8.
    g = tc.GraphStore()
    x, y = g.add_source("x", {"rows": 100}), g.add_source("y")
    s, s2 = g.add_op("add", [x, y]), g.add_op("add", [y, x])
    m = g.add_op("mul", [g.add_op("exp", [g.add_op("add", [s], {"scalar": 0.0, "side": "r"})]), s2])
    g.add_op("log", [x])
    r = g.add_reduction("sum", [m], {"axis": 0})
    ex = g.add_exchange([g.add_external(dict(DESCRIPTOR, framework="onnxruntime"), [m])], {"scheme": "hash"})
    return g, [g.add_join([ex, y], {"how": "inner"}), r]


def write(path: Path, store: tc.GraphStore, outputs=None) -> Path:
    path.write_bytes(store.serialize(outputs))
    return path


@pytest.fixture
def pipe(tmp_path: Path) -> Path:
    return write(tmp_path / "pipe.tir", *pipeline())


@pytest.fixture
def fake_dot(tmp_path: Path) -> str:
    # A PATH holding a stand-in for Graphviz `dot` that answers -Tsvg with a tiny SVG recording how many bytes of DOT
    # it was fed.
    (tmp_path / "bin").mkdir()
    script = tmp_path / "bin" / "dot"
    script.write_text(f"#!{sys.executable}\nimport sys\nassert sys.argv[1:] == ['-Tsvg'], sys.argv\n"
                      "sys.stdout.write(f'<svg data-dot-bytes=\"{len(sys.stdin.buffer.read())}\"/>')\n")
    script.chmod(script.stat().st_mode | stat.S_IEXEC)
    return str(tmp_path / "bin")


def test_show(pipe: Path) -> None:
    done = run("show", pipe)
    header, *rows = done.stdout.splitlines()
    assert done.returncode == 0 and header.split() == ["id", "out", "kind", "node", "inputs"] and len(rows) == 12
    fields = [row.split() for row in rows]
    assert fields[0] == ["0", "source", "x", "{rows=100}"] and fields[3] == ["3", "op", "add", "1,", "0"]
    assert fields[4] == ["4", "op", "add", "{scalar=0.0,", 'side="r"}', "2"] and [f[0] for f in fields if f[1] == "*"] == ["8", "11"]
    assert fields[9] == ["9", "external", "onnx:sha:1", "[onnxruntime", "1.17]", "6"]
    assert fields[11] == ["11", "*", "join", '{how="inner"}', "10,", "1"]
    # names that would break the line, and a stage's members with their inputs resolved, read from stdin
    members = [("op|f", [(0, 1)]), ("op|g|k=i1", [(1, 0), (0, 0)])]
    typed = [("a", 0), ("b", 0.0), ("c", -0.0), ("d", 1e20), ("e", float("nan")), ("f", True)]
    data = blob([source_rec("two\nlines"), source_rec("", typed), stage_rec([1, 0], members)], [2])
    rows = run("show", "-", stdin=data).stdout.splitlines()[1:]
    assert '"two\\nlines"' in rows[0] and rows[2].split()[:4] == ["2", "*", "stage", "2"]
    assert rows[1].split()[2:] == ['""', "{a=0,", "b=0.0,", "c=-0.0,", "d=1e+20,", "e=nan,", "f=true}"]
    assert rows[3].startswith(" ") and rows[3].split() == ["[0]", "op", "f", "0"]
    assert rows[4].split() == ["[1]", "op", "g", "{k=1}", "[0],", "1"]


def stats_of(path: Path) -> dict[str, str]:
    # The stats lines as {key: value}; a section's indented lines as {"section.name": count}.
    out, section = {}, ""
    for line in run("stats", path).stdout.splitlines():
        key, _, value = line.strip().partition("  ")
        section = section if line.startswith("  ") else line if line in ("kinds", "top op names") else ""
        out[f"{section}.{key}" if line.startswith("  ") else key] = value.strip()
    return out


def test_stats(pipe: Path, tmp_path: Path) -> None:
    s = stats_of(pipe)
    assert (s["nodes"], s["outputs"], s["depth"], s["widest level"]) == ("12", "2 [11, 8]", "8 levels", "level 1: 3 nodes")
    assert {k[6:]: v for k, v in s.items() if k.startswith("kinds.")} == dict(
        op="6", source="2", reduction="1", external="1", exchange="1", join="1")
    assert {k[13:]: v for k, v in s.items() if k.startswith("top op names.")} == dict(add="3", exp="1", log="1", mul="1")
    g, outs = pipeline()
    s = stats_of(write(tmp_path / "r.tir", g.reduce(outputs=outs, maximal_fusion=True)[0]))
    assert "kinds.op" not in s and int(s["kinds.stage"]) >= 1 and s["top op names.mul"] == "1"
    s = stats_of(write(tmp_path / "e.tir", tc.GraphStore()))
    assert (s["nodes"], s["outputs"], s["depth"], s["widest level"]) == ("0", "0 []", "0 levels", "-")
    g = tc.GraphStore()
    prev = g.add_source("x")
    for _ in range(20_000):  # the CLI's own walk must not recurse per node
        prev = g.add_op("neg", [prev])
    s = stats_of(write(tmp_path / "c.tir", g, [prev]))
    assert (s["depth"], s["widest level"]) == ("20001 levels", "level 0: 1 node")


@pytest.mark.parametrize("args, graphviz, status", [([], False, 0), (["--svg"], True, 0), (["--svg"], False, 1)])
def test_dot(pipe: Path, tmp_path: Path, fake_dot: str, args: list[str], graphviz: bool, status: int) -> None:
    done = run("dot", pipe, *args, "-o", tmp_path / "g", path_env=fake_dot if graphviz else str(tmp_path))
    dot = tc.GraphStore.deserialize(pipe.read_bytes()).to_dot()
    assert done.returncode == status and run("dot", pipe).stdout == dot
    if status:
        assert len(done.stderr.splitlines()) == 1 and "Graphviz" in done.stderr
    else:
        assert (tmp_path / "g").read_text() == (f'<svg data-dot-bytes="{len(dot.encode())}"/>' if args else dot)


@pytest.mark.parametrize("args, maximal, outputs", [([], False, None), (["--maximal-fusion"], True, None),
                                                    (["--outputs", " 8 , 11 "], False, [8, 11]), (["--outputs", ""], False, [])])
def test_reduce(pipe: Path, tmp_path: Path, args: list[str], maximal: bool, outputs: list[int] | None) -> None:
    reduced, report = tc.GraphStore.deserialize(pipe.read_bytes()).reduce(maximal_fusion=maximal, outputs=outputs)
    done, written = run("reduce", pipe, *args), pipe.with_name("pipe.reduced.tir")
    assert done.returncode == 0 and written.read_bytes() == reduced.serialize() and str(written) in done.stdout
    printed = dict(line.split() for line in done.stdout.splitlines() if line.split()[:1] in ([k] for k in REPORT_KEYS))
    assert {k: int(v) for k, v in printed.items()} == report
    doc = json.loads(run("reduce", pipe, *args, "--json", "-o", tmp_path / "r.tir").stdout)
    assert doc == {"file": str(pipe), "report": report, "outputs": reduced.outputs(), "written": str(tmp_path / "r.tir"),
                   "maximal_fusion": maximal}
    assert list(doc["report"]) == REPORT_KEYS and (tmp_path / "r.tir").read_bytes() == reduced.serialize()
    done = subprocess.run([sys.executable, "-m", "trellan", "reduce", str(pipe), *args, "-o", "-"], capture_output=True)
    assert done.stdout == reduced.serialize() and b"reduced_nodes" in done.stderr


def test_reduce_without_any_outputs_says_so(tmp_path: Path) -> None:
    done = run("reduce", write(tmp_path / "unmarked.tir", pipeline()[0]), "--json")
    assert done.returncode == 0 and json.loads(done.stdout)["report"]["reduced_nodes"] == 0
    assert "no outputs" in done.stderr


@pytest.mark.parametrize("args, message", [
    ([], "usage: trellan"), (["frobnicate"], "usage: trellan"), (["show"], "usage: trellan"),
    (["reduce", "{pipe}", "--bogus"], "usage: trellan"), (["reduce", "{pipe}", "--outputs", "12"], "no node with id 12"),
    (["reduce", "{pipe}", "--outputs", "0,18446744073709551616"], "no node with id 18446744073709551616"),
    (["reduce", "{pipe}", "--outputs", "3,x"], "not a list of node ids"), (["demo", "--out", "{pipe}/sub"], "pipe.tir"),
    (["cache", "{pipe}"], "usage: trellan"), (["cache", "info", "{pipe}.d"], "pipe.tir.d: No such file or directory"),
    (["cache", "clear", "{pipe}"], "pipe.tir: refused as a cache directory: it is not a directory"),
    (["cache", "clear", "{pipe.parent}"], "refused as a cache directory: it holds files that are not cache entries"),
])
def test_usage_errors_exit_2(pipe: Path, args: list[str], message: str) -> None:
    done = run(*[a.format(pipe=pipe) for a in args])
    assert done.returncode == 2 and message in done.stderr and "Traceback" not in done.stderr
    assert not pipe.with_name("pipe.reduced.tir").exists()


@pytest.mark.parametrize("case, message", [
    ("missing", "No such file or directory"), ("directory", "Is a directory"),
    ("bad tag", "invalid node tag 9"), ("bad member", 'unparseable stage member token "src|x"'),
])
def test_bad_file_gives_one_line_and_status_2(tmp_path: Path, case: str, message: str) -> None:
    path = {"missing": tmp_path / "nope.tir", "directory": tmp_path}.get(case, tmp_path / "bad.tir")
    if case == "bad tag":
        path.write_bytes(blob([u8(9)]))
    elif case == "bad member":
        path.write_bytes(blob([source_rec("x"), stage_rec([0], [("src|x", [(0, 0)])])]))
    done = run("show", path)
    assert (done.returncode, done.stdout, done.stderr) == (2, "", f"trellan: {path}: {message}\n")


def test_cache_info_and_clear(tmp_path: Path) -> None:
    cache = ResultCache(tmp_path / "c")
    for k in range(3):
        cache.save(bytes([k]) * 32, "x" * k, force=True)
    (tmp_path / "c" / "notes.txt").write_text("kept")
    size = cache.info()["bytes"]
    assert run("cache", "info", tmp_path / "c").stdout.split() == ["path", str(tmp_path / "c"), "entries", "3", "temporary",
                                                                  "0", "bytes", str(size)]
    assert run("cache", "clear", tmp_path / "c").stdout == (f"removed 3 entries and 0 temporary files ({size} bytes) "
                                                            f"from {tmp_path / 'c'}\n")
    assert sorted(p.name for p in (tmp_path / "c").iterdir()) == ["CACHEDIR.TAG", "notes.txt"]


def test_demo_writes_its_files_and_explains_the_reduction(tmp_path: Path, fake_dot: str) -> None:
    done = run("demo", cwd=tmp_path, path_env=fake_dot)  # into ./trellan-demo, with Graphviz
    out = tmp_path / "trellan-demo"
    assert done.returncode == 0, done.stderr
    assert sorted(p.name for p in out.iterdir()) == ["cache"] + [f"{name}.{ext}" for name in ("pipeline", "reduced")
                                                                 for ext in ("dot", "svg", "tir")]
    assert (out / "cache").stat().st_mode & 0o777 == 0o700 and "the second run had 2 hits" in done.stdout
    assert (out / "reduced.svg").read_text().startswith("<svg")
    recorded = tc.GraphStore.deserialize((out / "pipeline.tir").read_bytes())
    (single, single_report), maximal_report = recorded.reduce(), recorded.reduce(maximal_fusion=True)[1]
    assert recorded.outputs() and (out / "pipeline.dot").read_text() == recorded.to_dot()
    assert ((out / "reduced.tir").read_bytes(), (out / "reduced.dot").read_text()) == (single.serialize(), single.to_dot())
    assert {n["kind"] for n in recorded.nodes()} == {"source", "op", "reduction", "external", "exchange", "join"}
    # the example exercises every kind of change
    assert (single_report["input_nodes"] > single_report["reachable_nodes"] > single_report["canonical_nodes"]
            and maximal_report["stages"] < single_report["stages"])
    table = {ln.split()[0]: ln.split()[1:] for ln in done.stdout.splitlines() if ln.split()[:1] in ([k] for k in REPORT_KEYS)}
    assert table == {k: [str(single_report[k]), str(maximal_report[k])] for k in REPORT_KEYS}
    assert all(s in done.stdout for s in ("commutative twin", "identity op", "dropped"))
    # it runs the pipeline with the NumPy kernels: one task per node that is run, same values
    runs = {m[1]: (int(m[2]), m[3]) for m in re.finditer(
        r"^  (recorded|reduced, single-use rule|reduced, maximal rule) +(\d+) *(.*)$", done.stdout, re.M)}
    assert runs == {"recorded": (single_report["reachable_nodes"], ""),
                    "reduced, single-use rule": (single_report["reduced_nodes"], "equal to the recorded ones"),
                    "reduced, maximal rule": (maximal_report["reduced_nodes"], "equal to the recorded ones")}
    # and profiles the reduced run: a stage member under its own op, named by the recorded ids that became it (log1p
    # and the 1.0 * x after it)
    node, member = single.node_map()[6]
    assert re.search(rf"^  log1p +op +1 .*  node {node}, member {member}, recorded as nodes 6, 7$", done.stdout, re.M)


def test_demo_without_numpy_does_the_rest_and_says_how_to_run(tmp_path: Path) -> None:
    hide_numpy = "import sys; sys.modules['numpy'] = None; from trellan.cli import main; sys.exit(main())"
    done = subprocess.run([sys.executable, "-c", hide_numpy, "demo", "--out", str(tmp_path / "demo")],
                          capture_output=True, text=True, env=dict(os.environ, PATH=str(tmp_path)))
    assert done.returncode == 0 and len(list((tmp_path / "demo").iterdir())) == 4
    assert "Reduction reports" in done.stdout and "Reduced pipeline" in done.stdout
    assert "Execution skipped: running the graphs needs NumPy" in done.stdout
    assert 'pip install ".[run]"' in done.stdout and "tasks" not in done.stdout
