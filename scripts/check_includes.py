#!/usr/bin/env python3
"""Fails when an include of the core runs up or across its layers.

Every folder under core/src/ has a rank; a file may include headers of its
own folder and of folders of a lower rank, never of another folder of its own
rank or above. The public headers in core/include/qel/ belong to the folder
that implements them and are held to the same rule; they may include public
headers only. The extension module sees the public headers only.
Usage: check_includes.py [repository root, default the working directory]
"""

import re
import sys
from pathlib import Path

# rank, folder, the public headers it implements. A new folder is one line.
LAYERS = [
    (0, "common", ["error", "log", "cancel"]),
    (0, "memory", ["array_memory", "cow_array"]),
    (1, "integrity", ["integrity"]),
    (2, "metablock", ["types", "meta"]),
    (3, "payload", []),
    (4, "container", ["stream", "compression", "stats"]),
    (5, "samples", ["data_channel", "manager"]),
    (6, "writer", ["writer", "stream_writer"]),
    (6, "index", ["file"]),
]

RANK = {folder: rank for rank, folder, _ in LAYERS}
OWNER = {f"qel/{name}.hpp": folder for _, folder, names in LAYERS for name in names}
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]+"([^"]+)"', re.MULTILINE)


def includes_of(path: Path):
    """(line number, header) of every quoted include of the file."""
    text = path.read_text(encoding="utf-8")
    for match in INCLUDE.finditer(text):
        yield text.count("\n", 0, match.start()) + 1, match.group(1)


def folder_of(include: str) -> str | None:
    """The folder a core include belongs to, or None for a header of no folder."""
    if include in OWNER:
        return OWNER[include]
    head, slash, _ = include.partition("/")
    return head if slash and head in RANK else None


def include_problem(include: str, folder: str, public: bool) -> str | None:
    if include.startswith("qel/") and include not in OWNER:
        return "no folder owns this public header (add it to LAYERS)"
    target = folder_of(include)
    if target is None:
        return 'include core headers as "folder/name.hpp" of a folder in LAYERS, or "qel/name.hpp"'
    if public and not include.startswith("qel/"):
        return "a public header may include public headers only"
    if target != folder and RANK[target] >= RANK[folder]:
        return f"{target} (rank {RANK[target]}) is not below {folder} (rank {RANK[folder]})"
    return None


def check_file(path: Path, folder: str, public: bool) -> list[str]:
    problems = []
    for line_no, include in includes_of(path):
        if problem := include_problem(include, folder, public):
            problems.append(f"{path}:{line_no}: {folder} includes {include!r}: {problem}")
    return problems


def check(root: Path) -> list[str]:
    problems = []
    src = root / "core" / "src"
    for path in sorted(src.rglob("*.[ch]pp")):
        parts = path.relative_to(src).parts
        if len(parts) != 2 or parts[0] not in RANK:
            problems.append(f"{path}: core sources live directly in a folder of LAYERS")
            continue
        problems += check_file(path, parts[0], public=False)
    for path in sorted((root / "core" / "include" / "qel").glob("*.hpp")):
        name = f"qel/{path.name}"
        if name not in OWNER:
            problems.append(f"{path}: no folder owns this public header (add it to LAYERS)")
            continue
        problems += check_file(path, OWNER[name], public=True)
    for path in sorted((root / "python" / "src").glob("*.[ch]pp")):
        for line_no, include in includes_of(path):
            if folder_of(include) is not None and not include.startswith("qel/"):
                problems.append(f"{path}:{line_no}: the extension includes {include!r}, not API")
    return problems


def main() -> int:
    problems = check(Path(sys.argv[1]) if len(sys.argv) > 1 else Path.cwd())
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
