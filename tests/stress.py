#!/usr/bin/env python3
"""Stress tests of the built binary, each a subcommand:

  crash [TRIALS]        rebuilds killed with SIGKILL at random moments
  concurrent [RUNS]     runs started together while PATH changes under them
  model [TRIALS]        random trees, PATH strings, caches and mtimes against
                        a model of the expected result
  paths [RUNS]          runs with two PATHs at once in one HOME, each of which
                        must print its own PATH's listing
  records [PATHS]       the records of the caches made for many PATHs, of
                        which no more than one pair may be alike

ZELTO_BIN names the binary, and ZELTO_WRAP a command that each run goes
through (valgrind, say); ZELTO_SEED fixes the random seed (default
20261210), so that any failing case can be replayed by hand. Each subcommand
prints its figures, and exits non-zero with a description of the first case
that went wrong.
"""

import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

COMMAND = os.environ.get("ZELTO_WRAP", "").split() + [os.environ["ZELTO_BIN"]]
SEED = int(os.environ.get("ZELTO_SEED", "20261210"))
OLD = 1_000_000_000
CACHE = ".zelto_cache"


def fail(message):
    print("FAILED (seed %d): %s" % (SEED, message))
    sys.exit(1)


def run(home, path, timeout=120):
    return subprocess.run(COMMAND, env={"HOME": home, "PATH": path}, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=timeout, check=False)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def make_executables(directory, names):
    os.makedirs(directory, exist_ok=True)
    for name in names:
        os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_WRONLY, 0o755))


def cat_directory(base):
    """A PATH directory, dated long ago, with a link to the system's cat, so
    that a run that finds the cache fresh can replay it."""
    directory = os.path.join(base, "sys")
    os.mkdir(directory)
    os.symlink(shutil.which("cat"), os.path.join(directory, "cat"))
    os.utime(directory, (OLD, OLD))
    return directory


def executable_tree(base, prefix, directories, entries):
    """A home and PATH directories full of executables, the last of them the
    one with cat. Returns the home, the directories, PATH and every name."""
    home = os.path.join(base, "home")
    os.mkdir(home)
    dirs = [os.path.join(base, "d%d" % d) for d in range(directories)]
    names = {b"cat"}
    for d, directory in enumerate(dirs):
        batch = [b"%s%d_%05d" % (prefix, d, i) for i in range(entries)]
        make_executables(directory, [n.decode() for n in batch])
        names.update(batch)
    return home, dirs, ":".join(dirs + [cat_directory(base)]), names


def listing(names):
    return b"".join(name + b"\n" for name in sorted(names))


def temporaries(home):
    return [n for n in os.listdir(home) if n.startswith(CACHE) and n != CACHE]


def crash(base, trials):
    """Kills rebuilds at random moments. After each, the cache must be the
    previous one or the whole new listing, and the next run must print the
    whole listing of the tree as it is."""
    rng = random.Random(SEED)
    home, dirs, path, names = executable_tree(base, b"tool", 4, 10000)
    toggle = os.path.join(dirs[0], "toggled")
    expected = {False: listing(names), True: listing(names | {b"toggled"})}

    run(home, path)  # warms the caches of the directories
    os.unlink(os.path.join(home, CACHE))
    start = time.monotonic()
    result = run(home, path)
    duration = time.monotonic() - start
    if result.stdout != expected[False]:
        fail("an undisturbed run printed %d bytes, expected %d"
             % (len(result.stdout), len(expected[False])))

    cache = os.path.join(home, CACHE)
    outcomes = {"old cache kept": 0, "new cache written": 0, "run finished": 0}
    for trial in range(trials):
        state = trial % 2 == 0
        if state:
            make_executables(dirs[0], ["toggled"])
        else:
            os.unlink(toggle)
        before = read(cache)
        if before is not None:
            os.utime(cache, (OLD, OLD))
        process = subprocess.Popen(COMMAND, env={"HOME": home, "PATH": path},
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # Half the kills land anywhere, half near the end, where the cache is
        # written.
        low = 0 if trial % 4 < 2 else 0.8
        time.sleep(duration * rng.uniform(low, 1.1))
        process.kill()
        _, err = process.communicate()
        if process.returncode == 0:
            outcomes["run finished"] += 1
        elif process.returncode != -signal.SIGKILL:
            fail("trial %d: status %d, %r" % (trial, process.returncode, err))
        after = read(cache)
        if after == before:
            outcomes["old cache kept"] += 1
        elif after == expected[state]:
            outcomes["new cache written"] += 1
        else:
            fail("trial %d: the cache holds %s bytes, neither the old cache nor the listing"
                 % (trial, None if after is None else len(after)))
        result = run(home, path)
        if result.returncode != 0 or result.stdout != expected[state]:
            fail("trial %d: the next run printed %d bytes with status %d"
                 % (trial, len(result.stdout), result.returncode))
    left = temporaries(home)
    print("%d trials of a %.0f ms rebuild of %d entries; %s; %d temporary files left by"
          " SIGKILL, none taken for the cache"
          % (trials, duration * 1000, len(names),
             ", ".join("%s %d" % item for item in outcomes.items()), len(left)))


def concurrent(base, runs):
    """Starts many runs at once on a stale cache while another thread adds and
    removes executables in a PATH directory."""
    home, dirs, path, stable = executable_tree(base, b"stable", 3, 3000)
    cache = os.path.join(home, CACHE)
    with open(cache, "wb") as f:
        f.write(b"stale\n")
    os.utime(cache, (OLD, OLD))

    stop = threading.Event()
    churned = []

    def churn():
        i = 0
        while not stop.is_set():
            make_executables(dirs[1], ["churn%06d" % i])
            if i >= 5:
                os.unlink(os.path.join(dirs[1], "churn%06d" % (i - 5)))
            i += 1
        churned.append(i)

    mutator = threading.Thread(target=churn)
    mutator.start()
    try:
        processes = [subprocess.Popen(COMMAND, env={"HOME": home, "PATH": path},
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for _ in range(runs)]
        outputs = []
        for process in processes:
            out, err = process.communicate(timeout=120)
            if process.returncode != 0 or err:
                fail("a run ended with status %d: %r" % (process.returncode, err))
            outputs.append(out)
    finally:
        stop.set()
        mutator.join()

    for n, out in enumerate(outputs):
        if not out.endswith(b"\n"):
            fail("run %d: the output ends in a partial line" % n)
        lines = out[:-1].split(b"\n")
        if any(a >= b for a, b in zip(lines, lines[1:])):
            fail("run %d: the output is not sorted and unique" % n)
        if not stable <= set(lines):
            fail("run %d: %d stable names are missing" % (n, len(stable - set(lines))))
        strays = [x for x in lines if x not in stable and not x.startswith(b"churn")]
        if strays:
            fail("run %d: names that were never there: %r" % (n, strays[:3]))
    final = read(cache)
    if final not in outputs:
        fail("the cache (%s bytes) is the output of no run" % (final and len(final)))
    if temporaries(home):
        fail("temporary files left: %r" % temporaries(home))
    print("%d runs at once over %d entries while %d executables came and went; %d distinct"
          " outputs, all whole and sorted; the cache is one of them"
          % (runs, len(stable), churned[0], len(set(outputs))))


def paths(base, runs):
    """Two launchers with different PATHs share one HOME: runs for each start
    together, a few at a time, replaying or rebuilding one cache. Each must
    print its own PATH's listing, never the other's."""
    home = os.path.join(base, "home")
    os.mkdir(home)
    sysdir = cat_directory(base)
    listings = {}
    for side in ("left", "right"):
        directory = os.path.join(base, side)
        make_executables(directory, ["%s%03d" % (side, i) for i in range(200)])
        os.utime(directory, (OLD, OLD))
        listings[directory + ":" + sysdir] = listing(
            {b"cat"} | {b"%s%03d" % (side.encode(), i) for i in range(200)})
    # Every change lies before the second the first rebuild dates its cache in.
    time.sleep(2.1 - time.time() % 2)
    deadline = time.monotonic() + 10
    done = replays = 0
    while done < runs and time.monotonic() < deadline:
        batch = [(path, subprocess.Popen(COMMAND, env={"HOME": home, "PATH": path},
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE))
                 for _ in range(4) for path in listings]
        for path, process in batch:
            out, err = process.communicate(timeout=120)
            if process.returncode != 0 or err or out != listings[path]:
                fail("a run for PATH=%s: status %d, %r, %d bytes, %s" % (
                    path, process.returncode, err, len(out),
                    "the other PATH's listing" if out in listings.values() else "no listing"))
        done += len(batch)
    print("%d runs with two PATHs in one HOME, each printed its own listing" % done)


def records(base, count):
    """The record of the cache made for each of count distinct PATHs, made of
    components that do not exist, so that the PATH string and the user alone
    decide it. With 2^20 records a pair is alike among 3,000 PATHs; with
    2^29 or more hardly one among many more."""
    jobs = [[] for _ in range(2)]
    for i in range(count):
        jobs[i % 2].append("%s/missing/%d" % (base, i))
    found = {}

    def work(n, paths):
        home = os.path.join(base, "home%d" % n)
        os.mkdir(home)
        cache = os.path.join(home, CACHE)
        for path in paths:
            # Straight to the binary: thousands of runs through a wrapper
            # would take minutes.
            subprocess.run([os.environ["ZELTO_BIN"]], env={"HOME": home, "PATH": path},
                           stdout=subprocess.DEVNULL, check=True)
            found[path] = os.stat(cache).st_mtime_ns % 10**9
            os.unlink(cache)

    threads = [threading.Thread(target=work, args=(n, paths)) for n, paths in enumerate(jobs)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if len(found) != count:
        fail("%d of %d runs left a cache" % (len(found), count))
    if any(record % 10 == 0 for record in found.values()):
        fail("a cache carries no record")
    alike = count - len(set(found.values()))
    print("%d PATHs, %d records alike" % (count, alike))
    if alike > 1:
        fail("%d of %d records are alike" % (alike, count))


# The model: what a run must do, worked out from the tree the test built, not
# from the program's own logic.

NAME_POOL = [b"a", b"b", b"ab", b"A", b"B", b"_x", b"z9", b"tool", b"dup", b"x.y", b"-",
             b"\xc3\xa9", b"\xff\x80", b"two\nlines", b"sp ace", b".hidden", b"..x",
             b"n" * 255, b"prefix12", b"prefix123", b"prefix12Z"]


def model_executable(path):
    """Execute permission for the real user, following links, as root sees
    it when running as root."""
    try:
        st = os.stat(path)
    except OSError:
        return False
    if os.getuid() == 0:
        return stat.S_ISDIR(st.st_mode) or bool(st.st_mode & 0o111)
    if st.st_uid == os.getuid():
        return bool(st.st_mode & 0o100)
    if st.st_gid in (os.getgid(), *os.getgroups()):
        return bool(st.st_mode & 0o010)
    return bool(st.st_mode & 0o001)


def build_case(rng, base):
    """A random home, tree, PATH string, cache and set of mtimes."""
    home = os.path.join(base, "home")
    os.mkdir(home)
    sysdir = cat_directory(base)
    dirs = [os.path.join(base, "d%d" % i) for i in range(4)]
    dirs += [os.path.join(home, "r%d" % i) for i in range(2)]
    for directory in dirs:
        os.mkdir(directory)
        for name in rng.sample(NAME_POOL, rng.randint(0, 10)):
            entry = os.path.join(directory.encode(), name)
            kind = rng.choice(["exec", "exec", "plain", "dir", "link", "broken"])
            if kind in ("exec", "plain"):
                mode = rng.choice([0o755, 0o700, 0o711, 0o100, 0o001]) if kind == "exec" \
                    else rng.choice([0o644, 0o600, 0o000])
                os.close(os.open(entry, os.O_CREAT | os.O_WRONLY, 0o600))
                os.chmod(entry, mode)
            elif kind == "dir":
                os.mkdir(entry, rng.choice([0o755, 0o700, 0o644]))
            elif kind == "link":
                os.symlink(rng.choice([b"/bin/sh", b"/etc/hostname", b"/tmp"]), entry)
            else:
                os.symlink(b"nowhere", entry)
    regular = os.path.join(base, "file")
    with open(regular, "w"):
        pass

    choices = dirs + ["r0", "r1", ".", os.path.join(base, "missing"), regular, dirs[0] + "/",
                      "r0/"]
    components = [rng.choice(choices) for _ in range(rng.randint(0, 6))]
    if rng.random() < 0.85:
        components.insert(rng.randint(0, len(components)), sysdir)
    separators = [":" * rng.choice([0, 0, 1, 2])] + \
        [":" * rng.choice([1, 1, 1, 2]) for _ in components[1:]] + [":" * rng.choice([0, 0, 1])]
    path = "".join(s + c for s, c in zip(separators, components + [""]))

    cache = os.path.join(home, CACHE)
    # After every change time the case makes, which counts as the
    # modification times do.
    cache_time = int(time.time()) + 100_000
    if rng.random() < 0.75:
        with open(cache, "wb") as f:
            f.write(rng.choice([b"", b"cached\n", b"no newline", bytes(range(256))]))
        os.utime(cache, (cache_time + 0.5, cache_time + 0.5))
    for entry in dirs + [regular, home]:
        delta = rng.choice([-100, -1, 0, 0, 0.9, 1, 3])
        os.utime(entry, (cache_time + delta, cache_time + delta))
    return home, sysdir, path


def expected_result(home, path):
    """What the run must do ("replay" or "rebuild"), and the
    standard output, status, standard error and cache content it must leave."""
    cache_path = os.path.join(home, CACHE)
    cache = read(cache_path)
    components = [c if c.startswith("/") else os.path.join(home, c)
                  for c in path.split(":") if c]
    if cache is not None:
        cache_time = int(os.stat(cache_path).st_mtime)
        newer = False
        for component in components:
            try:
                status = os.stat(component)
            except OSError:
                continue
            newer = max(int(status.st_mtime), int(status.st_ctime)) > cache_time
            if newer:
                break
        # Through cat, or, where no absolute component holds one, by the run
        # itself: the same bytes either way.
        if not newer:
            return "replay", (cache, 0, b"", cache)
    names = set()
    for component in components:
        try:
            entries = os.listdir(component.encode())
        except OSError:
            continue
        for name in entries:
            if not name.startswith(b".") and b"\n" not in name and \
                    model_executable(os.path.join(component.encode(), name)):
                names.add(name)
    out = listing(names)
    return "rebuild", (out, 0, b"", out)


def model(base, trials):
    rng = random.Random(SEED)
    kinds = {"replay": 0, "rebuild": 0}
    for trial in range(trials):
        case = os.path.join(base, "case%d" % trial)
        os.mkdir(case)
        home, _, path = build_case(rng, case)
        kind, want = expected_result(home, path)
        result = run(home, path)
        got = (result.stdout, result.returncode, result.stderr, read(os.path.join(home, CACHE)))
        if got != want:
            labels = ("standard output", "status", "standard error", "cache")
            diffs = ["%s: got %r, expected %r" % (label, g, w)
                     for label, g, w in zip(labels, got, want) if g != w]
            fail("case %d (%s), PATH=%r:\n  %s" % (trial, kind, path, "\n  ".join(diffs)))
        kinds[kind] += 1
        shutil.rmtree(case)
    print("%d random cases agree with the model: %s"
          % (trials, ", ".join("%s %d" % item for item in kinds.items())))


def main():
    command = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else None
    base = tempfile.mkdtemp(prefix="zelto-stress.")
    try:
        if command == "crash":
            crash(base, count or 100)
        elif command == "concurrent":
            concurrent(base, count or 24)
        elif command == "model":
            model(base, count or 400)
        elif command == "paths":
            paths(base, count or 200)
        elif command == "records":
            records(base, count or 4000)
        else:
            sys.exit("unknown command " + command)
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
