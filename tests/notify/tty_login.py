#!/usr/bin/python3
"""Runs `zelmar --set-smtp-login ACCOUNT` on a pseudo-terminal in FOLDER,
types PASSWORD and a line end, and prints everything the terminal showed.
Usage: tty_login.py ZELMAR FOLDER ACCOUNT PASSWORD"""
import os
import pty
import sys
import time

zelmar, folder, account, password = sys.argv[1:5]
pid, fd = pty.fork()
if pid == 0:
    os.chdir(folder)
    os.execv(zelmar, [zelmar, "--config-dir", ".", "--set-smtp-login", account])
shown = b""
deadline = time.time() + 10
typed = False
while time.time() < deadline:
    try:
        chunk = os.read(fd, 4096)
    except OSError:
        break
    if not chunk:
        break
    shown += chunk
    if not typed and b"password" in shown.lower():
        time.sleep(0.2)  # let the program switch the echo off first
        os.write(fd, password.encode() + b"\n")
        typed = True
_, status = os.waitpid(pid, 0)
sys.stdout.write(shown.decode(errors="replace"))
sys.stdout.write("\nEXIT %d\n" % os.waitstatus_to_exitcode(status))
