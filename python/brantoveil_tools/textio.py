"""Tree files as streams of byte blocks: gzip recognised by its magic bytes, standard input spooled to disk."""

from __future__ import annotations

import contextlib
import os
import shutil
import sys
import tempfile
import weakref
import zlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

from .errors import BrantoveilError

BLOCK = 1 << 22  # 4 MiB: large enough that per-block Python work vanishes, small enough to stay bounded
GZIP_MAGIC = b"\x1f\x8b"


@dataclass
class ByteSource:
    """One input: a path on disk (standard input is spooled to a temporary file, so it can be read twice)."""

    label: str
    path: Path
    spooled: bool = False
    truncated_gzip: bool = field(default=False, init=False)

    def blocks(self) -> Iterator[bytes]:
        """The file's decompressed bytes, block by block; sets `truncated_gzip` if a gzip stream ends early."""
        self.truncated_gzip = False
        try:
            handle = open(self.path, "rb")  # noqa: SIM115 - closed in the finally below, across yields
        except OSError as error:
            raise BrantoveilError(f"cannot read {self.label}: {error.strerror or error}") from None
        try:
            first = _read(handle, self.label)
            if first.startswith(GZIP_MAGIC):
                yield from self._gunzip(first, handle)
                return
            while first:
                yield first
                first = _read(handle, self.label)
        finally:
            handle.close()

    def _gunzip(self, pending: bytes, handle: object) -> Iterator[bytes]:
        # Concatenated members are one stream, as gzip(1) treats them; output is bounded per step.
        inflate = zlib.decompressobj(wbits=31)
        in_member = True
        while True:
            if not pending:
                pending = _read(handle, self.label)
                if not pending:
                    break
            if not in_member:
                if not pending.strip(b"\x00"):  # zero padding after the last member
                    pending = b""
                    continue
                inflate = zlib.decompressobj(wbits=31)
                in_member = True
            try:
                out = inflate.decompress(pending, BLOCK)
            except zlib.error as error:
                raise BrantoveilError(f"{self.label} is not a valid gzip file ({error})") from None
            pending = inflate.unconsumed_tail
            if inflate.eof:
                pending = inflate.unused_data + pending
                in_member = False
            if out:
                yield out
        if in_member:
            tail = inflate.flush()
            if tail:
                yield tail
            self.truncated_gzip = True


def _read(handle: object, label: str) -> bytes:
    try:
        data: bytes = handle.read(BLOCK)  # type: ignore[attr-defined]
    except OSError as error:
        raise BrantoveilError(f"cannot read {label}: {error.strerror or error}") from None
    return data


def open_source(name: str | os.PathLike[str]) -> ByteSource:
    """Checks that `name` is a readable file (or "-" for standard input) and returns its source."""
    text = os.fspath(name)
    if text == "-":
        return _spool_stdin()
    path = Path(text)
    if not path.exists():
        raise BrantoveilError(f"no such file: {text}")
    if path.is_dir():
        raise BrantoveilError(f"{text} is a directory, not a tree file")
    if not os.access(path, os.R_OK):
        raise BrantoveilError(f"cannot read {text}: permission denied")
    return ByteSource(label=text, path=path)


def _spool_stdin() -> ByteSource:
    # Trees are read twice (names first, then texts), so standard input goes to disk, never into memory.
    if sys.stdin is None:
        raise BrantoveilError("standard input is not available")
    handle = tempfile.NamedTemporaryFile(prefix="brantoveil-stdin-", delete=False)  # noqa: SIM115
    try:
        with handle:
            shutil.copyfileobj(sys.stdin.buffer, handle, BLOCK)
    except BaseException:
        os.unlink(handle.name)
        raise
    source = ByteSource(label="<stdin>", path=Path(handle.name), spooled=True)
    weakref.finalize(source, _unlink_quietly, handle.name)
    return source


def _unlink_quietly(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)
