"""The `brantoveil` console command: starts the command line so that a Ctrl-C at any moment is one line.

Importing the command line loads NumPy and the engine, which takes a noticeable moment; a Ctrl-C then
(or after the command's own handling, while it returns) would otherwise print Python's traceback.
"""

from __future__ import annotations

import sys


def main() -> int:
    """Runs `brantoveil` with the process's arguments; returns the exit status (130 when interrupted)."""
    try:
        from .cli import main as run

        status = run()
    except KeyboardInterrupt as stop:
        written = type(stop).__name__ == "CommittedInterrupt"
        print(f"brantoveil: interrupted{' after every output was written' if written else ''}", file=sys.stderr)
        status = 130
    # The command is done: a Ctrl-C while the interpreter shuts down ends it quietly, as Unix tools end.
    import signal

    signal.signal(signal.SIGINT, signal.SIG_DFL)
    return status


if __name__ == "__main__":
    sys.exit(main())
