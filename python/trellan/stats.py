"""Shape statistics of a graph: kinds, op names, depth and level widths."""

from __future__ import annotations

from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from trellan_core import _NodeView


@dataclass
class GraphStats:
    nodes: int
    outputs: list[int]
    kinds: Counter[str]
    op_names: Counter[str]
    depth: int
    widest_level: int
    widest_level_size: int


def levels(nodes: Sequence[_NodeView]) -> list[int]:
    """Level of every node: 0 without inputs, else one more than its deepest input.

    One forward pass: every input id is smaller than its node's id, so inputs are always done
    first; no recursion, so a million-node chain costs no stack."""
    level: list[int] = []
    for node in nodes:
        inputs = node["inputs"]
        level.append(1 + max(level[i] for i in inputs) if inputs else 0)
    return level


def graph_stats(nodes: Sequence[_NodeView], outputs: list[int]) -> GraphStats:
    kinds: Counter[str] = Counter()
    op_names: Counter[str] = Counter()
    for node in nodes:
        kinds[node["kind"]] += 1
        if node["kind"] == "op":
            op_names[node["name"]] += 1
        for member in node.get("members", ()):
            if member["kind"] == "op":
                op_names[member["name"]] += 1
    level = levels(nodes)
    width = Counter(level)
    # The lowest of the widest levels, so the answer does not depend on counting order.
    widest, size = min(width.items(), key=lambda item: (-item[1], item[0]), default=(0, 0))
    return GraphStats(
        nodes=len(nodes),
        outputs=outputs,
        kinds=kinds,
        op_names=op_names,
        depth=max(level, default=-1) + 1,
        widest_level=widest,
        widest_level_size=size,
    )
