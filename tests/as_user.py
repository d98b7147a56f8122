#!/usr/bin/env python3
"""as_user.py COMMAND [ARG...]: runs COMMAND (an absolute path) as the
unprivileged user and group 65534, with no supplementary groups. Exits 77,
saying why, where that user cannot reach COMMAND."""

import os
import sys

os.setgroups([])
os.setgid(65534)
os.setuid(65534)
try:
    os.execv(sys.argv[1], sys.argv[1:])
except PermissionError:
    print("uid 65534 cannot reach the scratch tree %s: each directory above it"
          " must let others search it" % os.path.dirname(sys.argv[1]), file=sys.stderr)
    sys.exit(77)
