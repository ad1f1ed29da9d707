"""How `to_dask` spells its task keys. dask names a task by `key_split(key)`, which keeps the
words of a key made of letters only, and its dashboard's task stream, its progress bars and its
`Profiler` group tasks by that name. So a key is "trellan-", the words that say what the task
runs, and the task's 64 hex digits, which keep it unique:

| Task | Key | `key_split` |
|---|---|---|
| op `add` | `trellan-add-<hex>` | `trellan-add` |
| reduction `sum` | `trellan-sum-reduction-<hex>` | `trellan-sum-reduction` |
| stage whose last member is `log1p` | `trellan-logp-stage-<hex>` | `trellan-logp-stage` |
| source `part` | `trellan-part-source-<hex>` | `trellan-part-source` |
| exchange, join, external | `trellan-Exchange-<hex>`, `trellan-join-<hex>`, `trellan-External-<hex>` | the same without the hex |
| a cached node's load | `trellan-<its word>-load-<hex>` | `trellan-add-load`, `trellan-logp-stage-load`, ... |

A name keeps only its ASCII letters (`true_divide` is `truedivide`); one without any is named by
its kind. `key_split` takes a word of eight letters whose first is one of a to f for hex and
drops it, so such a word gets a capital first letter (`absolute` is `Absolute`)."""

from __future__ import annotations

from .execution import EXCHANGE, EXTERNAL, JOIN, OP, REDUCTION, SOURCE, STAGE

_KIND_WORDS = {SOURCE: "source", OP: "op", REDUCTION: "reduction", EXTERNAL: "external",
               STAGE: "stage", EXCHANGE: "exchange", JOIN: "join"}
# The word after the name, for the kinds that have a name; an op has none.
_SUFFIX = {SOURCE: "source", OP: "", REDUCTION: "reduction", STAGE: "stage"}
_HEX_LETTERS = "abcdef"


def word(text: str) -> str:
    """The ASCII letters of `text`, as one word `key_split` keeps."""
    letters = "".join(c for c in text if c.isascii() and c.isalpha())
    if len(letters) == 8 and letters[0] in _HEX_LETTERS:
        letters = letters[0].upper() + letters[1:]
    return letters


def what(kind: int, name: str) -> str:
    """The words that say what a node of `kind` named `name` runs (for a stage, `name` is its
    last member's)."""
    if kind not in _SUFFIX:
        return word(_KIND_WORDS[kind])
    named = word(name) or word(_KIND_WORDS[kind])
    suffix = _SUFFIX[kind]
    return f"{named}-{suffix}" if suffix and named != suffix else named


def prefix(kind: int, name: str) -> str:
    """The key of a task that runs such a node, up to its hex digits."""
    return f"trellan-{what(kind, name)}-"


def load_prefix(kind: int, name: str) -> str:
    """The key of a task that loads such a node's value from a cache, up to its hex digits."""
    return f"trellan-{what(kind, name)}-load-"
