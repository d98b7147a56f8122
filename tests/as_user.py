#!/usr/bin/env python3
"""as_user.py [-g GID[,GID...]] COMMAND [ARG...]: runs COMMAND (an absolute
path) as the unprivileged user and group 65534, with the supplementary groups
given, or none. Exits 77, saying why, where that user cannot reach COMMAND."""

import os
import sys

args = sys.argv[1:]
groups = []
if args[:1] == ["-g"]:
    groups = [int(g) for g in args[1].split(",")]
    args = args[2:]
os.setgroups(groups)
os.setgid(65534)
os.setuid(65534)
try:
    os.execv(args[0], args)
except PermissionError:
    print("uid 65534 cannot reach the scratch tree %s: each directory above it"
          " must let others search it" % os.path.dirname(args[0]), file=sys.stderr)
    sys.exit(77)
