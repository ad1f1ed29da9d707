"""What a reduction did to each recorded node, read off the reduced store's node map."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from .text import node_label

if TYPE_CHECKING:
    from trellan_core import _NodeMapEntry, _NodeView

COMMUTATIVE = frozenset({"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"})


@dataclass
class Changes:
    dropped: list[int] = field(default_factory=list)
    # (recorded id, the earlier recorded id that now stands for it, why)
    merged: list[tuple[int, int, str]] = field(default_factory=list)
    # reduced stage id -> recorded ids of its members, by member index
    stages: dict[int, list[int]] = field(default_factory=dict)


def is_identity(node: _NodeView) -> bool:
    """x + 0.0 or x * 1.0 with the scalar on either side: the ops the optimizer folds away."""
    params = node["params"]
    if node["kind"] != "op" or len(node["inputs"]) != 1 or set(params) != {"scalar", "side"}:
        return False
    scalar, side = params["scalar"], params["side"]
    if type(scalar) is not float or side not in ("l", "r"):
        return False
    if node["name"] == "add":
        return scalar == 0.0 and math.copysign(1.0, scalar) > 0
    return node["name"] == "mul" and scalar == 1.0


def _why(node: _NodeView, kept: _NodeView) -> str:
    if is_identity(node):
        return "identity op, folded into its input"
    if (
        node["kind"] == kept["kind"] == "op"
        and node["name"] == kept["name"]
        and node["name"] in COMMUTATIVE
        and not node["params"]
        and node["inputs"] == kept["inputs"][::-1]
    ):
        return "commutative twin, inputs swapped"
    return "same value"


def changes(recorded: Sequence[_NodeView], node_map: Sequence[_NodeMapEntry]) -> Changes:
    result = Changes()
    first_at: dict[tuple[int, int | None], int] = {}
    for node, entry in zip(recorded, node_map):
        i = node["id"]
        if entry is None:
            result.dropped.append(i)
            continue
        kept = first_at.setdefault(entry, i)
        if kept != i:
            result.merged.append((i, kept, _why(node, recorded[kept])))
            continue
        reduced_id, member = entry
        if member is not None:
            members = result.stages.setdefault(reduced_id, [])
            members.extend([-1] * (member + 1 - len(members)))
            members[member] = i
    return result


def short(node: _NodeView) -> str:
    return f"{node['id']} {node['kind']} {node_label(node)}".rstrip()


def describe(recorded: Sequence[_NodeView], found: Changes) -> list[str]:
    """The dropped and merged nodes, one per line."""
    lines: list[str] = []
    if found.dropped:
        lines.append("dropped (no output depends on them):")
        lines.extend(f"  {short(recorded[i])}" for i in found.dropped)
    if found.merged:
        lines.append("merged into an earlier node:")
        lines.extend(f"  {short(recorded[i])}  ->  {kept}  ({why})" for i, kept, why in found.merged)
    return lines


def describe_stages(recorded: Sequence[_NodeView], found: Changes) -> list[str]:
    """One line per stage: its reduced id and the recorded ops it holds, in member order."""
    lines = []
    for reduced_id, members in sorted(found.stages.items()):
        names = ", ".join(
            f"{i} {recorded[i]['name']}" if i >= 0 else "?" for i in members
        )
        lines.append(f"  stage {reduced_id}: {names}")
    return lines
