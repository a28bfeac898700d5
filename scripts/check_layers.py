#!/usr/bin/env python3
"""Fails when an include under src/ points up the layers the README's layout
names: each folder may include itself and what its entry lists, nothing else."""
import pathlib
import re
import sys

# Each folder and the folders it may include, directly or through another.
BELOW = {
    "core/base": [],
    "core/model": ["core/base"],
    "core/codec": ["core/model"],
    "core/keys": ["core/codec"],
    "core/kinds": ["core/keys"],
    "core/store": ["core/keys"],
    "core/oversight": ["core/store"],
    "core/run": ["core/oversight"],
    "providers": ["core/run", "core/kinds"],
    "wrapper": ["core/run", "core/kinds"],
    "session": ["providers", "wrapper"],
    "ffi": ["session"],
    "cli": ["session"],
}


def reachable(folder):
    seen, todo = set(), [folder]
    while todo:
        for lower in BELOW[todo.pop()]:
            if lower not in seen:
                seen.add(lower)
                todo.append(lower)
    return seen | {folder}


def folder_of(path):
    parts = pathlib.PurePosixPath(path).parts
    two = "/".join(parts[:2])
    return two if two in BELOW else parts[0]


def main():
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
    wrong = []
    for path in sorted(src.rglob("*.[ch]pp")):
        here = folder_of(path.relative_to(src).as_posix())
        if here not in BELOW:
            wrong.append(f"{path.relative_to(src)}: folder {here} is not in the layering")
            continue
        allowed = reachable(here)
        for name in include.findall(path.read_text()):
            there = folder_of(name)
            if there == "core":
                wrong.append(f"{path.relative_to(src)}: includes {name}, which is in no folder of core")
            elif there in BELOW and there not in allowed:
                wrong.append(f"{path.relative_to(src)}: {here} includes {name} from {there}")
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
