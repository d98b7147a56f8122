#!/usr/bin/env python3
"""Generates a synthetic PATH: DIRS directories of ENTRIES entries each, about
70% executable, about 30% of the names shared with other directories, names
of 3 to 20 bytes. Prints the PATH string. Seeded, so every run builds the
same tree."""

import os
import random
import string
import sys


def main():
    root, dirs, entries = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(20261210)
    alphabet = string.ascii_letters + string.digits + "_-+."
    used = set()

    def new_name():
        while True:
            length = rng.randint(3, 20)
            name = rng.choice(string.ascii_lowercase) + "".join(
                rng.choice(alphabet) for _ in range(length - 1))
            if name not in used:
                used.add(name)
                return name

    shared_pool = [new_name() for _ in range(entries)]
    components = []
    for d in range(dirs):
        directory = os.path.join(root, "dir%02d" % d)
        os.makedirs(directory)
        shared = rng.sample(shared_pool, int(entries * 0.3))
        names = shared + [new_name() for _ in range(entries - len(shared))]
        for name in names:
            mode = 0o755 if rng.random() < 0.7 else 0o644
            os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_WRONLY, mode))
        components.append(directory)
    print(":".join(components))


if __name__ == "__main__":
    main()
