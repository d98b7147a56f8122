#!/usr/bin/env python3
"""Counts, for a PATH, the entries, the distinct executable names, and the
fewest permission tests a scan can make: one per visible entry whose name has
not been accepted yet, each directory read once (by canonical path), in the
order the directories yield their entries."""

import os
import sys


def main():
    seen_dirs, accepted = set(), set()
    entries = tests = 0
    names = set()
    for directory in filter(None, os.environ["PATH"].split(":")):
        canonical = os.path.realpath(directory)
        if canonical in seen_dirs or not os.path.isdir(canonical):
            continue
        seen_dirs.add(canonical)
        for name in os.listdir(directory):
            entries += 1
            if name.startswith("."):
                continue
            names.add(name)
            if name in accepted:
                continue
            tests += 1
            if os.access(os.path.join(directory, name), os.X_OK):
                accepted.add(name)
    print(entries, len(names), len(accepted), tests)


if __name__ == "__main__":
    main()
