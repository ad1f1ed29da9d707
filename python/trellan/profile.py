"""Where `evaluate`'s time goes, op by op: how many nodes ran, their total and mean seconds,
their share of the run, and the slowest of them with the recorded ids it came from."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .execution import OP, REDUCTION, STAGE, Prepared, Spot, recorded_ids, recorded_note

if TYPE_CHECKING:
    import trellan_core

_SHOWN = 3  # recorded ids a table row lists before "and N more", as the notes do
_COLUMNS = (f"{'op':<24}{'kind':<10}{'count':>9}{'seconds':>11}{'mean':>11}{'share':>7}{'slowest':>11}"
            "  slowest node")


class _Row:
    __slots__ = ("kinds", "count", "seconds", "slowest", "at")

    def __init__(self) -> None:
        self.kinds: set[str] = set()
        self.count = 0
        self.seconds = 0.0
        self.slowest = -1.0
        self.at: Spot = (0, None)


class Profile:
    """Pass one to `evaluate(..., profile=trellan.Profile())`. Once the run is over, `as_dict()`
    gives a row per op and `str(profile)` a table, largest total first. Ops and reductions are
    named by their name, stage members count under their own op, and other kinds by their kind
    (`"source x"`, `"exchange"`). With a cache, only what ran counts. A profile describes the
    last run it was given to."""

    def __init__(self) -> None:
        self.seconds = 0.0  # the whole evaluate call
        self._rows: dict[str, _Row] = {}
        self._store: trellan_core.GraphStore | None = None
        self._recorded: dict[Spot, list[int]] | None = None
        self._mapped = False  # whether the ids came from a node map

    def record(self, prepared: Prepared, timings: list[tuple[int, int, int, float, float, int, int]],
               seconds: float) -> None:
        """Takes a run's timings: `(kind, name index, calls, seconds, slowest call's seconds, its
        step, its member or -1)` per kind and name that ran."""
        plan = prepared.plan
        ids, kinds, names, kind_names = plan.ids, plan.kinds, plan.names, plan.kind_names
        self.seconds, self._rows, self._store, self._recorded = seconds, {}, prepared.store, None
        for kind, name_at, count, total, slowest, step, member in timings:
            name = names[name_at]
            label = name if kind in (OP, REDUCTION) else f"{kind_names[kind]} {name}".rstrip()
            row = self._rows.setdefault(label, _Row())
            row.kinds.add(kind_names[kind])
            row.count += count
            row.seconds += total
            if slowest > row.slowest:
                if member < 0 and kinds[step] == STAGE:
                    member = 0  # a stage of one member, run as one call
                row.slowest, row.at = slowest, (ids[step], None if member < 0 else member)

    def _recorded_ids(self) -> dict[Spot, list[int]]:
        # Read from the node map once, when first asked for: the run never reads it.
        if self._recorded is None:
            spots = [row.at for row in self._rows.values()]
            found = None if self._store is None else recorded_ids(self._store, spots)
            self._mapped = found is not None
            self._recorded = {spot: [spot[0]] for spot in spots} if found is None else found
            self._store = None
        return self._recorded

    def as_dict(self) -> dict[str, dict[str, Any]]:
        """`{op: {"kind", "count", "seconds", "mean", "share", "slowest": {"node", "member",
        "recorded", "seconds"}}}`, largest total first; `member` is None but for stage members,
        `recorded` lists the recorded ids that became the slowest node (its own id in a store
        that came out of no reduction)."""
        recorded = self._recorded_ids()
        out: dict[str, dict[str, Any]] = {}
        for label, row in sorted(self._rows.items(), key=lambda kv: (-kv[1].seconds, kv[0])):
            node, member = row.at
            out[label] = {
                "kind": "/".join(sorted(row.kinds)), "count": row.count, "seconds": row.seconds,
                "mean": row.seconds / row.count,
                "share": row.seconds / self.seconds if self.seconds > 0 else 0.0,
                "slowest": {"node": node, "member": member, "recorded": recorded[row.at],
                            "seconds": row.slowest},
            }
        return out

    def table(self) -> str:
        """The rows as a table, one op a line, seconds throughout, and the run's total."""
        lines = [_COLUMNS]
        for label, row in self.as_dict().items():
            slowest = row["slowest"]
            at = f"node {slowest['node']}"
            if slowest["member"] is not None:
                at += f", member {slowest['member']}"
            if self._mapped:
                at += recorded_note(len(slowest["recorded"]), slowest["recorded"][:_SHOWN])
            lines.append(f"{label:<24}{row['kind']:<10}{row['count']:>9}{row['seconds']:>11.6f}"
                         f"{row['mean']:>11.6f}{row['share']:>7.1%}{slowest['seconds']:>11.6f}  {at}")
        calls = sum(row.count for row in self._rows.values())
        lines.append(f"run: {self.seconds:.6f} s, {calls} calls")
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.table()

    def __repr__(self) -> str:
        return f"<trellan.Profile of {len(self._rows)} ops, {self.seconds:.6f} s>"
