#!/usr/bin/env python3
"""as_user.py COMMAND [ARG...]: runs COMMAND (an absolute path) as the
unprivileged user and group 65534, with no supplementary groups."""

import os
import sys

os.setgroups([])
os.setgid(65534)
os.setuid(65534)
os.execv(sys.argv[1], sys.argv[1:])
