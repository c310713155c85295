#!/usr/bin/env python3
"""Runs a program on a pseudo-terminal and plays a person at its keyboard.

Usage: pty_session.py [--stdout FILE] [--screen FILE] STEP... -- PROGRAM ARG...

The program's standard input, output and error are the terminal, or with --stdout its
standard output goes to FILE as with `> FILE`. --screen saves what the terminal showed.
Steps, in order:
  send=TEXT    types TEXT (escapes as in Python: \\r is Enter, \\x04 Ctrl-D)
  wait=TEXT    waits until TEXT shows on the terminal after what the last wait matched
  still=SECS   waits SECS seconds; the program must still run
  absent=TEXT  TEXT must not have shown on the terminal so far
Exit status: the program's own, or 90 when a step fails (the reason on standard error).
"""
import os
import pty
import select
import sys
import time

TIMEOUT = 20.0  # seconds for a wait step and for the program's end


class Session:
    def __init__(self, argv, stdout_file):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            if stdout_file:
                out = os.open(stdout_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                os.dup2(out, 1)
                os.close(out)
            try:
                os.execvp(argv[0], argv)
            finally:
                os._exit(127)
        self.screen = b""
        self.matched = 0
        self.status = None

    def read(self, seconds):
        """Collects output for up to seconds; False once the terminal closed."""
        end = time.monotonic() + seconds
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return True
            ready, _, _ = select.select([self.fd], [], [], left)
            if not ready:
                return True
            try:
                data = os.read(self.fd, 4096)
            except OSError:  # EIO: every holder of the terminal's other side has closed it
                data = b""
            if not data:
                return False
            self.screen += data

    def running(self):
        if self.status is None:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.status = os.waitstatus_to_exitcode(status)
        return self.status is None

    def wait_for(self, text):
        end = time.monotonic() + TIMEOUT
        still_open = True
        while True:
            at = self.screen.find(text, self.matched)
            if at >= 0:
                self.matched = at + len(text)
                return True
            if not still_open or time.monotonic() > end:
                return False
            still_open = self.read(0.05)

    def finish(self):
        end = time.monotonic() + TIMEOUT
        while self.running() and time.monotonic() < end:
            self.read(0.05)
        self.read(0.1)
        if self.running():
            os.kill(self.pid, 9)
            os.waitpid(self.pid, 0)
            return None
        return self.status


def main(args):
    stdout_file = screen_file = None
    steps = []
    while args and args[0] != "--":
        arg = args.pop(0)
        if arg in ("--stdout", "--screen"):
            value = args.pop(0)
            if arg == "--stdout":
                stdout_file = value
            else:
                screen_file = value
        else:
            steps.append(arg.split("=", 1))
    argv = args[1:]
    session = Session(argv, stdout_file)
    failure = None
    for kind, value in steps:
        data = value.encode().decode("unicode_escape").encode("latin-1")
        if kind == "send":
            os.write(session.fd, data)
        elif kind == "wait":
            if not session.wait_for(data):
                failure = "never showed: %r" % value
        elif kind == "still":
            session.read(float(value))
            if not session.running():
                failure = "ended after %s s with status %s" % (value, session.status)
        elif kind == "absent":
            if data in session.screen:
                failure = "showed: %r" % value
        else:
            failure = "unknown step " + kind
        if failure:
            break
    status = session.finish()
    if screen_file:
        with open(screen_file, "wb") as f:
            f.write(session.screen)
    if failure is None and status is None:
        failure = "still running after %s s" % TIMEOUT
    if failure:
        print("pty_session: " + failure, file=sys.stderr)
        return 90
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
