"""The `brantoveil` console command: starts the command line so that a Ctrl-C at any moment is one line.

Importing the command line loads NumPy and the engine, which takes a noticeable moment; a Ctrl-C then
(or after the command's own handling, while it returns) would otherwise print Python's traceback.
"""

from __future__ import annotations

import sys


def main() -> int:
    """Runs `brantoveil` with the process's arguments; returns the exit status (130 when interrupted)."""
    received: list[int] = []
    try:
        import signal

        def interrupt(signum: int, frame: object) -> None:
            received.append(signum)
            raise KeyboardInterrupt

        signal.signal(signal.SIGINT, interrupt)
        try:
            from .cli import main as run
        except ImportError:
            # NumPy reports a Ctrl-C in the middle of its own import as a failed import.
            if not received:
                raise
            raise KeyboardInterrupt from None
        finally:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        status = run()
    except KeyboardInterrupt as stop:
        written = type(stop).__name__ == "CommittedInterrupt"
        print(f"brantoveil: interrupted{' after every output was written' if written else ''}", file=sys.stderr)
        status = 130
    # The command is done and has said so: a Ctrl-C while the interpreter shuts down changes nothing.
    import signal

    signal.signal(signal.SIGINT, signal.SIG_IGN)
    return status


if __name__ == "__main__":
    sys.exit(main())
