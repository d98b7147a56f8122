#!/usr/bin/env python3
"""after_change.py BINARY TRIALS: how long, after a PATH directory changes,
runs keep rebuilding before the cache replays again. Each trial rebuilds,
changes the directory at once, at a random moment within two seconds (the
cache's dates come in steps of two), then starts a run every 10 ms until one
replays (the cache file is then left as it was). Prints the mean and the
longest time from the change to that replay, the mean number of rebuilds in
between, and how many replays missed the change."""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import time


def main():
    binary, trials = sys.argv[1], int(sys.argv[2])
    rng = random.Random(20261210)
    base = tempfile.mkdtemp(prefix="zelto-after-change.")
    try:
        home = os.path.join(base, "home")
        directory = os.path.join(base, "bin")
        os.mkdir(home)
        os.mkdir(directory)
        os.symlink(shutil.which("cat"), os.path.join(directory, "cat"))
        env = {"HOME": home, "PATH": directory}
        cache = os.path.join(home, ".zelto_cache")

        def run():
            return subprocess.run([binary], env=env, stdout=subprocess.PIPE, check=True).stdout

        windows, rebuilds, missed = [], [], 0
        for trial in range(trials):
            time.sleep(1.2 + 2 * rng.random())
            if os.path.exists(cache):
                os.unlink(cache)
            run()
            changed = time.time()
            name = "tool%d" % trial
            os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_WRONLY, 0o755))
            count = 0
            while True:
                before = os.stat(cache)
                listing = run()
                after = os.stat(cache)
                if (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns):
                    break
                count += 1
                time.sleep(0.01)
            windows.append(time.time() - changed)
            rebuilds.append(count)
            missed += name.encode() not in listing.split(b"\n")
        print("%.2f %.2f %.1f %d" % (sum(windows) / trials, max(windows), sum(rebuilds) / trials,
                                     missed))
    finally:
        shutil.rmtree(base)


if __name__ == "__main__":
    main()
