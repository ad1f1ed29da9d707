"""Stage shapes as Python functions. Stages of one shape run the same member callables on the
same references, so `evaluate` writes one plain function per shape that many stages share,
`v1 = c1(v0, i0)` and so on, one line per member, and calls it like a kernel: the members then
cost what the same nodes cost unfused. A value is deleted after its last reader."""

from __future__ import annotations

from collections.abc import Callable
from types import TracebackType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import trellan_core

MIN_USES = 8      # fewer stages of a shape are not worth writing a function for
MAX_MEMBERS = 64  # longer stages run member by member

_FILE = "<trellan stage shape {}>"
_FIRST_LINE = 3  # of the first member in the text below


def functions(plan: trellan_core.ExecutionPlan,
              calls: list[Callable[..., Any]]) -> list[Callable[..., Any] | None]:
    """One function per shape worth one, else None."""
    out: list[Callable[..., Any] | None] = []
    # Read once: every read of a plan array makes a new view.
    arrays = (plan.member_offsets, plan.input_offsets, plan.ref_offsets, plan.refs,
              plan.member_last_use, plan.member_operator_index)
    offsets = arrays[0]
    for shape, (step, uses) in enumerate(zip(plan.shape_first, plan.shape_uses)):
        count = offsets[step + 1] - offsets[step]
        fits = uses >= MIN_USES and count <= MAX_MEMBERS
        out.append(_function(arrays, calls, shape, step) if fits else None)
    return out


def _function(arrays: tuple[memoryview, ...], calls: list[Callable[..., Any]], shape: int,
              step: int) -> Callable[..., Any]:
    offsets, input_offsets, ref_offsets, refs, last, member_ops = arrays
    first, end = offsets[step], offsets[step + 1]
    slots = input_offsets[step + 1] - input_offsets[step]
    names = [f"c{k}" for k in range(end - first)]
    text = [f"def make({', '.join(names)}):",
            f"    def stage({', '.join(f'i{j}' for j in range(slots))}):"]
    for k, m in enumerate(range(first, end)):
        read = refs[ref_offsets[m]:ref_offsets[m + 1]].tolist()
        args = ", ".join(f"i{~r}" if r < 0 else f"v{r}" for r in read)
        dead = sorted({r for r in read if r >= 0 and last[first + r] == k})
        if last[m] < 0 and m < end - 1:
            dead.append(k)
        drop = f"; del {', '.join(f'v{r}' for r in dead)}" if dead else ""
        text.append(f"        v{k} = c{k}({args}){drop}")
    text += [f"        return v{end - first - 1}", "    return stage"]
    scope: dict[str, Any] = {}
    exec(compile("\n".join(text), _FILE.format(shape), "exec"), scope)
    stage: Callable[..., Any] = scope["make"](*[calls[op] for op in member_ops[first:end]])
    return stage


def failed_member(traceback: TracebackType | None) -> int:
    """The member whose line raised inside a shape's function, or -1."""
    while traceback is not None:
        code = traceback.tb_frame.f_code
        if code.co_name == "stage" and code.co_filename.startswith("<trellan stage shape "):
            return traceback.tb_lineno - _FIRST_LINE
        traceback = traceback.tb_next
    return -1
