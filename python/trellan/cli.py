"""The `trellan` command: look at, render and reduce IR blobs, or run the built-in demo."""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TextIO

import trellan_core

from . import changes, demo, stats, text
from .cache import ResultCache

# Status for anything wrong with what the user gave us (bad blob, missing file, bad id),
# the same status argparse uses for a bad command line.
USAGE_ERROR = 2
# Status when a tool we rely on (Graphviz) is missing or fails.
TOOL_ERROR = 1


class CliError(Exception):
    """A failure reported as one line on stderr, never as a traceback."""

    def __init__(self, message: str, status: int = USAGE_ERROR) -> None:
        super().__init__(message)
        self.status = status


# ---------------------------------------------------------------------------------------------
# Reading and writing


def read_bytes(path: str) -> bytes:
    if path == "-":
        return sys.stdin.buffer.read()
    try:
        return Path(path).read_bytes()
    except OSError as err:
        raise CliError(f"{path}: {err.strerror or err}") from None


def load(path: str) -> trellan_core.GraphStore:
    data = read_bytes(path)
    try:
        return trellan_core.GraphStore.deserialize(data)
    except ValueError as err:
        raise CliError(f"{path}: {err}") from None


def node_views(store: trellan_core.GraphStore, path: str) -> list[trellan_core._NodeView]:
    try:
        return store.nodes()
    except ValueError as err:  # a stage member token a blob carried but that does not parse
        raise CliError(f"{path}: {err}") from None


def write(path: str, data: bytes | str) -> None:
    raw = data.encode() if isinstance(data, str) else data
    if path == "-":
        sys.stdout.buffer.write(raw)
        sys.stdout.buffer.flush()
        return
    try:
        Path(path).write_bytes(raw)
    except OSError as err:
        raise CliError(f"cannot write {path}: {err.strerror or err}") from None


def print_lines(lines: Iterable[str], file: TextIO | None = None) -> None:
    for line in lines:
        print(line, file=file)


def render_svg(dot_text: str) -> bytes:
    exe = shutil.which("dot")
    if exe is None:
        raise CliError("SVG needs Graphviz: no `dot` on the PATH", TOOL_ERROR)
    try:
        done = subprocess.run([exe, "-Tsvg"], input=dot_text.encode(), capture_output=True)
    except OSError as err:
        raise CliError(f"cannot run {exe}: {err.strerror or err}", TOOL_ERROR) from None
    if done.returncode != 0:
        detail = done.stderr.decode(errors="replace").strip().splitlines()
        raise CliError(f"dot failed: {detail[0] if detail else f'status {done.returncode}'}",
                       TOOL_ERROR)
    return done.stdout


def parse_ids(value: str) -> list[int]:
    """`3,5` -> [3, 5]; an empty string is an explicit empty list."""
    if not value.strip():
        return []
    ids = []
    for part in map(str.strip, value.split(",")):
        if not (part.isascii() and part.isdigit()):
            raise argparse.ArgumentTypeError(f"not a list of node ids: {value!r}")
        ids.append(int(part))
    return ids


# ---------------------------------------------------------------------------------------------
# Commands


def cmd_show(args: argparse.Namespace) -> int:
    nodes = node_views(load(args.file), args.file)
    print_lines(text.show_lines(nodes))
    return 0


def cmd_dot(args: argparse.Namespace) -> int:
    dot_text = load(args.file).to_dot()
    out = args.output or "-"
    write(out, render_svg(dot_text) if args.svg else dot_text)
    return 0


def _reduced_path(path: str) -> str:
    if path == "-":
        return "reduced.tir"
    p = Path(path)
    return str(p.with_name(p.stem + ".reduced" + (p.suffix or ".tir")))


def cmd_reduce(args: argparse.Namespace) -> int:
    store = load(args.file)
    if args.outputs is None and not store.outputs():
        print(f"trellan: note: {args.file} marks no outputs and --outputs was not given, "
              "so nothing survives", file=sys.stderr)
    try:
        reduced, report = store.reduce(maximal_fusion=args.maximal_fusion, outputs=args.outputs)
    except ValueError as err:  # an --outputs id the graph does not have
        raise CliError(f"{args.file}: {err}") from None
    except OverflowError:  # an id past any node id (2**64 or more): none of the graph's either
        too_big = next(o for o in args.outputs if o >> 64)
        raise CliError(f"{args.file}: no node with id {too_big}") from None
    out = args.output or _reduced_path(args.file)
    write(out, reduced.serialize())
    # With the blob on stdout, the report must not mix into it.
    to = sys.stderr if out == "-" else sys.stdout
    if args.json:
        doc = {
            "file": args.file,
            "written": out,
            "maximal_fusion": args.maximal_fusion,
            "outputs": reduced.outputs(),
            "report": text.ordered_report(report),
        }
        print(json.dumps(doc, indent=2), file=to)
        return 0
    rule = "maximal" if args.maximal_fusion else "single-use"
    print_lines(text.report_table([(f"{rule} rule", report)]), to)
    node_map = reduced.node_map()
    dropped = node_map.count(None)
    merged = len(node_map) - dropped - len(set(node_map) - {None})
    print(f"dropped {dropped}, merged {merged} into earlier nodes; wrote {out} "
          f"({_count(reduced.node_count(), 'node')}, outputs {_ids(reduced.outputs())})", file=to)
    return 0


def _ids(ids: Sequence[int], limit: int = 10) -> str:
    shown = ", ".join(map(str, ids[:limit]))
    more = f", ... ({len(ids)} in all)" if len(ids) > limit else ""
    return f"[{shown}{more}]"


def cmd_stats(args: argparse.Namespace) -> int:
    store = load(args.file)
    s = stats.graph_stats(node_views(store, args.file), store.outputs())
    rows = [
        ("nodes", str(s.nodes)),
        ("outputs", f"{len(s.outputs)} {_ids(s.outputs)}"),
        ("depth", _count(s.depth, "level")),
        ("widest level", f"level {s.widest_level}: {_count(s.widest_level_size, 'node')}"
                         if s.nodes else "-"),
    ]
    lines = [f"{key:<14}{value}" for key, value in rows]
    lines.append("kinds")
    lines.extend(f"  {kind:<12}{n}" for kind, n in sorted(s.kinds.items(), key=_by_count))
    top = sorted(s.op_names.items(), key=_by_count)[: args.top]
    lines.append("top op names" + ("" if top else "  -"))
    width = max((len(text.bare(name)) for name, _ in top), default=0)
    lines.extend(f"  {text.bare(name):<{max(width, 10)}}  {n}" for name, n in top)
    print_lines(lines)
    return 0


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" + ("" if n == 1 else "s")


def _by_count(item: tuple[str, int]) -> tuple[int, str]:
    return -item[1], item[0]


def cmd_demo(args: argparse.Namespace) -> int:
    out_dir = Path(args.out)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as err:
        raise CliError(f"cannot create {out_dir}: {err.strerror or err}") from None

    recorded, outputs = demo.record_pipeline()
    # Reading the blob back gives the same ids with the outputs marked, which the DOT
    # rendering then draws as double circles.
    blob = recorded.serialize(outputs=outputs)
    pipeline = trellan_core.GraphStore.deserialize(blob)
    single, single_report = pipeline.reduce()
    maximal, maximal_report = pipeline.reduce(maximal_fusion=True)
    nodes = pipeline.nodes()

    print(f"Recorded pipeline: {len(nodes)} nodes, outputs {pipeline.outputs()} (* below)")
    print_lines(text.show_lines(nodes))
    print()
    print("Reduction reports")
    print_lines(text.report_table([("single-use", single_report), ("maximal", maximal_report)]))
    print()
    found = changes.changes(nodes, single.node_map())
    print("What changed")
    print_lines(changes.describe(nodes, found))
    print("fused under the single-use rule (an op read more than once stays out):")
    print_lines(changes.describe_stages(nodes, found))
    print("fused under the maximal rule (fan-out joins when all its readers share a stage):")
    print_lines(changes.describe_stages(nodes, changes.changes(nodes, maximal.node_map())))
    print()
    print(f"Reduced pipeline (single-use rule): {single.node_count()} nodes")
    print_lines(text.show_lines(single.nodes()))
    print()
    lines, same_values = demo.execute(pipeline, [("reduced, single-use rule", single),
                                                 ("reduced, maximal rule", maximal)],
                                      out_dir / "cache")
    print_lines(lines)
    print()

    files: dict[str, bytes | str] = {
        "pipeline.tir": blob,
        "pipeline.dot": pipeline.to_dot(),
        "reduced.tir": single.serialize(),
        "reduced.dot": single.to_dot(),
    }
    if shutil.which("dot") is not None:
        files["pipeline.svg"] = render_svg(pipeline.to_dot())
        files["reduced.svg"] = render_svg(single.to_dot())
    for name, data in files.items():
        write(str(out_dir / name), data)
    print(f"Wrote {', '.join(files)} to {out_dir}")
    if "pipeline.svg" not in files:
        print("(install Graphviz to get SVG renderings as well)")
    print(f"Next: trellan show {out_dir / 'reduced.tir'}")
    if not same_values:  # a reduction that changed what the pipeline computes is a fault
        raise CliError("the reduced pipeline computed other values than the recorded one", 1)
    return 0


@contextmanager
def cache_at(path: str) -> Iterator[ResultCache]:
    """The cache in an existing directory (these commands never create one), closed after;
    whatever the system or the cache refuses is one line."""
    if not os.path.lexists(path):
        raise CliError(f"{path}: No such file or directory")
    try:
        with ResultCache(path) as cache:
            yield cache
    except OSError as err:
        raise CliError(f"{path}: {err.strerror}" if err.strerror else str(err)) from None


def cmd_cache_info(args: argparse.Namespace) -> int:
    with cache_at(args.path) as cache:
        found = cache.info()
    print_lines([f"{'path':<11}{cache.path}", f"{'entries':<11}{found['entries']}",
                 f"{'temporary':<11}{found['temporary']}", f"{'bytes':<11}{found['bytes']}"])
    return 0


def cmd_cache_clear(args: argparse.Namespace) -> int:
    with cache_at(args.path) as cache:
        removed = cache.clear()
    n, t = removed["entries"], removed["temporary"]
    print(f"removed {n} {'entry' if n == 1 else 'entries'} and {t} temporary "
          f"{'file' if t == 1 else 'files'} ({removed['bytes']} bytes) from {cache.path}")
    return 0


# ---------------------------------------------------------------------------------------------
# Command line


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="trellan",
        description="Inspect, render and reduce trellan IR blobs (.tir files); look at or clear "
                    "a result cache.",
        epilog="FILE may be '-' for standard input. Bad or missing files exit with status 2.",
    )
    parser.add_argument("--version", action="version",
                        version=f"trellan {trellan_core.version()}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace], int],
                help_text: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help_text, description=help_text)
        p.set_defaults(run=run)
        return p

    p = command("demo", cmd_demo,
                "record, reduce, run (with NumPy) and render a built-in example pipeline")
    p.add_argument("--out", default="trellan-demo", metavar="DIR",
                   help="directory for the .tir, .dot (and .svg) files (default: %(default)s)")

    p = command("show", cmd_show, "list the nodes of a blob, one per line")
    p.add_argument("file", metavar="FILE")

    p = command("dot", cmd_dot, "render a blob as Graphviz DOT (or SVG)")
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--output", metavar="OUT", help="write here instead of to stdout")
    p.add_argument("--svg", action="store_true", help="render SVG through Graphviz `dot`")

    p = command("reduce", cmd_reduce, "reduce a blob, write the reduced blob, print the report")
    p.add_argument("file", metavar="FILE")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="reduced blob path, '-' for stdout (default: FILE.reduced.tir)")
    p.add_argument("--maximal-fusion", action="store_true",
                   help="also fuse fan-out ops whose readers all land in one stage")
    p.add_argument("--outputs", type=parse_ids, metavar="IDS",
                   help="comma-separated output node ids, instead of the blob's marked outputs")
    p.add_argument("--json", action="store_true", help="print the report as JSON")

    p = command("stats", cmd_stats, "node count, kinds, top op names, depth, widest level")
    p.add_argument("file", metavar="FILE")
    p.add_argument("--top", type=int, default=10, metavar="N",
                   help="how many op names to list (default: %(default)s)")

    p = command("cache", cmd_cache_info, "look at or clear a result cache directory")
    actions = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    for action, run, help_text in [
        ("info", cmd_cache_info, "how many entries and temporary files the cache holds, and "
                                 "their bytes"),
        ("clear", cmd_cache_clear, "remove every entry and temporary file (other files in PATH "
                                   "stay)"),
    ]:
        a = actions.add_parser(action, help=help_text, description=help_text)
        a.set_defaults(run=run)
        a.add_argument("path", metavar="PATH", help="the cache directory")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
        return status
    except CliError as err:
        print(f"trellan: {err}", file=sys.stderr)
        return err.status
    except BrokenPipeError:
        # The reader went away (`trellan show big.tir | head`): stop quietly, and keep Python
        # from complaining again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
