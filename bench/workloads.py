"""Loads the exported pipeline graphs (dataflow-nodes/1, gzip JSON) into a GraphStore."""

from __future__ import annotations

import gzip
import json
import os
from pathlib import Path

import trellan_core

WORKLOAD_DIR = Path(os.environ.get("TRELLAN_WORKLOADS", Path(__file__).resolve().parents[1].parent / "shared" / "workloads"))


def available() -> list[Path]:
    return sorted(WORKLOAD_DIR.glob("*.json.gz")) if WORKLOAD_DIR.is_dir() else []


def load(path: Path) -> dict:
    with gzip.open(path, "rt") as f:
        return json.load(f)


def record(graph: dict, store: "trellan_core.GraphStore | None" = None):
    """Records every node with its builder; returns (store, ids, output ids).

    ids[i] is the store id of exported node i (equal nodes share one id)."""
    store = store if store is not None else trellan_core.GraphStore()
    ids: list[int] = []
    for node in graph["nodes"]:
        kind = node["kind"]
        params = node.get("params") or None
        inputs = [ids[i] for i in node.get("inputs", [])]
        if kind == "source":
            ids.append(store.add_source(node["name"], params))
        elif kind == "op":
            ids.append(store.add_op(node["name"], inputs, params))
        elif kind == "reduction":
            ids.append(store.add_reduction(node["name"], inputs, params))
        elif kind == "exchange":
            ids.append(store.add_exchange(inputs, params))
        elif kind == "join":
            ids.append(store.add_join(inputs, params))
        else:
            raise ValueError(f"unknown node kind {kind!r}")
    outputs = [ids[i] for i in graph["outputs"]]
    return store, ids, outputs
