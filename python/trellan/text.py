"""Human-readable text for node views, parameter maps and reduction reports."""

from __future__ import annotations

from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from trellan_core import _MemberView, _NodeView

REPORT_KEYS = (
    "input_nodes",
    "reachable_nodes",
    "canonical_nodes",
    "stages",
    "reduced_nodes",
    "boundary_nodes",
)

# Past this width a long label pushes its own inputs right instead of widening every row.
_LABEL_COLUMN_CAP = 44

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def quote(text: str) -> str:
    """A double-quoted literal in which no character can break a line or hide."""
    out = []
    for ch in text:
        esc = _ESCAPES.get(ch)
        if esc is None and not ch.isprintable():
            esc = f"\\u{{{ord(ch):x}}}"
        out.append(ch if esc is None else esc)
    return '"' + "".join(out) + '"'


def bare(text: str) -> str:
    """`text` as it is when that is unambiguous on one line, else quoted."""
    if text and text.isprintable() and text.strip() == text:
        return text
    return quote(text)


def format_value(value: object) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return format_float(value)
    return quote(str(value))


def format_float(value: float) -> str:
    """Python's shortest text that reads back to `value`, so a float never reads as an int:
    `0.0`, `-0.0`, `1e+20`, `nan`. Whether a rule fires can depend on exactly that."""
    return repr(value)


def format_params(params: Mapping[str, object]) -> str:
    """`{key=value, ...}`, keys in the order given; "" for no params."""
    if not params:
        return ""
    return "{" + ", ".join(f"{bare(k)}={format_value(v)}" for k, v in params.items()) + "}"


def _join(*parts: str) -> str:
    return " ".join(p for p in parts if p)


def node_label(node: _NodeView) -> str:
    """What identifies a node besides its kind and inputs."""
    kind = node["kind"]
    params = format_params(node["params"])
    if kind == "external" and "descriptor" in node:
        d = node["descriptor"]
        payload = f"{bare(d['kind'])}:{bare(d['content_hash'])}"
        return _join(payload, f"[{bare(d['framework'])} {bare(d['version'])}]", params)
    if kind == "stage":
        n = node.get("n_members", 0)
        return f"{n} member" + ("" if n == 1 else "s")
    if kind in ("exchange", "join"):
        return params
    return _join(bare(node["name"]), params)


def member_label(member: _MemberView) -> str:
    return _join(member["kind"], bare(member["name"]), format_params(member["params"]))


def _member_inputs(member: _MemberView, stage_inputs: Sequence[int]) -> str:
    refs = []
    for which, value in member["inputs"]:
        if which == "member":
            refs.append(f"[{value}]")
        elif value < len(stage_inputs):
            refs.append(str(stage_inputs[value]))
        else:  # a blob may carry a slot the stage does not have
            refs.append(f"slot {value}?")
    return ", ".join(refs)


def show_lines(nodes: Sequence[_NodeView]) -> Iterator[str]:
    """One row per node (id, output flag, kind, label, inputs); stage members indented below
    their stage, their inputs given as node ids or as `[k]` for the stage's member k."""
    id_width = max(2, len(str(len(nodes) - 1)) if nodes else 2)
    rows: list[tuple[str, str, str]] = []
    for node in nodes:
        flag = "*" if node["output"] else ""
        prefix = f"{node['id']:>{id_width}}  {flag:^3}  {node['kind']:<9} "
        rows.append((prefix, node_label(node), ", ".join(map(str, node["inputs"]))))
        if node["kind"] == "stage":
            # A member's index sits in the kind column, its op in the label column.
            indent = " " * (id_width + 7)
            for k, member in enumerate(node.get("members", [])):
                prefix = f"{indent}{f'  [{k}]':<9} "
                rows.append((prefix, member_label(member), _member_inputs(member, node["inputs"])))
    width = min(max((len(label) for _, label, _ in rows), default=0), _LABEL_COLUMN_CAP)
    yield f"{'id':>{id_width}}  out  {'kind':<9} {'node':<{width}}  inputs".rstrip()
    for prefix, label, inputs in rows:
        yield f"{prefix}{label:<{width}}  {inputs}".rstrip()


def ordered_report(report: Mapping[str, object]) -> dict[str, object]:
    """The six counters in pipeline order (the module's dict has no fixed key order)."""
    return {key: report[key] for key in REPORT_KEYS}


def report_table(columns: Sequence[tuple[str, Mapping[str, object]]]) -> list[str]:
    """The six report counters as rows, one column per (title, report)."""
    key_width = max(len(k) for k in REPORT_KEYS)
    widths = [max(len(title), *(len(str(r[k])) for k in REPORT_KEYS)) for title, r in columns]
    lines = ["  ".join([" " * key_width] + [t.rjust(w) for (t, _), w in zip(columns, widths)])]
    for key in REPORT_KEYS:
        cells = [str(report[key]).rjust(w) for (_, report), w in zip(columns, widths)]
        lines.append("  ".join([key.ljust(key_width)] + cells))
    return [line.rstrip() for line in lines]
