#!/usr/bin/env python3
"""Runs a link with the linker's --trace and keeps what it prints (the inputs it took) in FILE.

usage: link_trace.py FILE LINK_COMMAND...

A link launcher (CMake's <LANG>_LINKER_LAUNCHER puts the link command after FILE): the link is
the same with or without --trace, which only lists the objects and archive members it takes.
FILE is replaced only when the link succeeds.
"""
import os
import subprocess
import sys

trace, command = sys.argv[1], sys.argv[2:]
partial = trace + ".partial"
with open(partial, "w") as out:
    done = subprocess.run(command + ["-Wl,--trace"], stdout=out)
if done.returncode == 0:
    os.replace(partial, trace)
else:
    os.unlink(partial)
sys.exit(done.returncode)
