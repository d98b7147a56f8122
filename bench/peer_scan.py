#!/usr/bin/env python3
"""The job done the way a user might script it: every executable entry of
every PATH directory, sorted and unique."""

import os
import sys


def main():
    names = set()
    for directory in filter(None, os.environ.get("PATH", "").split(":")):
        try:
            with os.scandir(directory) as entries:
                for entry in entries:
                    if not entry.name.startswith(".") and os.access(entry.path, os.X_OK):
                        names.add(entry.name)
        except OSError:
            pass
    out = sys.stdout.buffer
    for name in sorted(os.fsencode(n) for n in names):
        out.write(name + b"\n")


if __name__ == "__main__":
    main()
