"""Tree files as streams of byte blocks: gzip, xz and bzip2 recognised by their magic bytes, a leading
byte-order mark skipped, standard input and pipes spooled to disk so that they can be read twice."""

from __future__ import annotations

import bz2
import contextlib
import lzma
import os
import shutil
import stat
import sys
import tempfile
import weakref
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Protocol

from .errors import BrantoveilError

BLOCK = 1 << 22  # 4 MiB: large enough that per-block Python work vanishes, small enough to stay bounded
GZIP_MAGIC = b"\x1f\x8b"
_XZ_MAGIC = b"\xfd7zXZ\x00"
_BZIP2_MAGIC = b"BZh"
_BOM = b"\xef\xbb\xbf"
# Formats that are not read, by their first bytes, so that the message can name them.
_UNSUPPORTED = (
    (b"PK\x03\x04", "a zip archive: unpack it first"),
    (b"PK\x05\x06", "an empty zip archive"),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed: decompress it first (zstd -d)"),
    (b"7z\xbc\xaf\x27\x1c", "a 7-Zip archive: unpack it first"),
    (b"\x04\x22\x4d\x18", "lz4-compressed: decompress it first (lz4 -d)"),
    (b"Rar!\x1a\x07", "a RAR archive: unpack it first"),
    (b"\x1f\x9d", "compressed with compress(1): decompress it first (uncompress)"),
    (b"LZIP", "lzip-compressed: decompress it first (lzip -d)"),
    (b"\x93NUMPY", "a NumPy array, not a tree file"),
    (b"\x89HDF\r\n\x1a\n", "an HDF5 file, not a tree file"),
    (b"\xff\xfe", "UTF-16 text: save it as UTF-8"),
    (b"\xfe\xff", "UTF-16 text: save it as UTF-8"),
)
_READ_AS_IS = "tree files are read as plain text or compressed with gzip, xz or bzip2"


class _Decompressor(Protocol):
    @property
    def eof(self) -> bool: ...
    @property
    def needs_input(self) -> bool: ...
    @property
    def unused_data(self) -> bytes: ...

    def decompress(self, data: bytes, max_length: int = -1) -> bytes: ...


def printable(text: str | bytes) -> str:
    """`text` with control characters written as escapes, for messages that quote what a file holds."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", "backslashreplace")
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


@dataclass
class ByteSource:
    """One input: a path on disk (standard input and pipes are spooled to a temporary file, so they
    can be read twice)."""

    label: str
    path: Path
    spooled: bool = False
    identity: tuple[int, int] | None = None  # device and inode of the file named, to spot it given twice
    truncated_stream: bool = field(default=False, init=False)

    def blocks(self) -> Iterator[bytes]:
        """The file's decompressed bytes, block by block, without a leading byte-order mark; sets
        `truncated_stream` if a compressed stream ends early."""
        self.truncated_stream = False
        try:
            handle = open(self.path, "rb")  # noqa: SIM115 - closed in the finally below, across yields
        except OSError as error:
            raise BrantoveilError(f"cannot read {self.label}: {error.strerror or error}") from None
        try:
            first = _read(handle, self.label)
            if first.startswith(GZIP_MAGIC):
                stream = self._gunzip(first, handle)
            elif first.startswith(_XZ_MAGIC):
                stream = self._decompress(first, handle, lzma.LZMADecompressor, "xz", lzma.LZMAError)
            elif first.startswith(_BZIP2_MAGIC):
                stream = self._decompress(first, handle, bz2.BZ2Decompressor, "bzip2", OSError)
            else:
                stream = _plain(first, handle, self.label)
            yield from self._text(stream)
        finally:
            handle.close()

    def compressed(self) -> bool:
        """Whether the file is compressed (so that its size says nothing of its text)."""
        try:
            with open(self.path, "rb") as handle:
                head = handle.read(6)
        except OSError:
            return False
        return head.startswith((GZIP_MAGIC, _XZ_MAGIC, _BZIP2_MAGIC))

    def _text(self, stream: Iterator[bytes]) -> Iterator[bytes]:
        # The first bytes decide: a byte-order mark is dropped, a binary file is refused by name.
        head = b""
        for block in stream:
            head += block
            if len(head) >= 8192:
                break
        for magic, what in _UNSUPPORTED:
            if head.startswith(magic):
                raise BrantoveilError(f"{self.label} is {what} ({_READ_AS_IS})")
        if b"\x00" in head[:8192]:
            raise BrantoveilError(f"{self.label} is not a text file (it holds NUL bytes); {_READ_AS_IS}")
        if head.startswith(_BOM):
            head = head[len(_BOM) :]
        if head:
            yield head
        yield from stream

    def _gunzip(self, pending: bytes, handle: IO[bytes]) -> Iterator[bytes]:
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
            self.truncated_stream = True

    def _decompress(self, pending: bytes, handle: IO[bytes], make: Callable[[], _Decompressor], name: str,
                    failure: type[Exception]) -> Iterator[bytes]:
        # As for gzip: concatenated streams are one, zero padding after the last is allowed.
        engine = make()
        in_stream = True
        while True:
            if in_stream and not engine.needs_input:
                data = b""  # output is still waiting inside the decompressor
            else:
                if not pending:
                    pending = _read(handle, self.label)
                    if not pending:
                        break
                data, pending = pending, b""
                if not in_stream:
                    if not data.strip(b"\x00"):
                        continue
                    engine = make()
                    in_stream = True
            try:
                out = engine.decompress(data, BLOCK)
            except failure as error:
                raise BrantoveilError(f"{self.label} is not a valid {name} file ({error})") from None
            if engine.eof:
                pending = engine.unused_data + pending
                in_stream = False
            if out:
                yield out
        if in_stream:
            self.truncated_stream = True


def _plain(first: bytes, handle: IO[bytes], label: str) -> Iterator[bytes]:
    while first:
        yield first
        first = _read(handle, label)


def _read(handle: IO[bytes], label: str) -> bytes:
    try:
        return handle.read(BLOCK)
    except OSError as error:
        raise BrantoveilError(f"cannot read {label}: {error.strerror or error}") from None


def open_source(name: str | os.PathLike[str]) -> ByteSource:
    """Checks that `name` is a readable file (or "-" for standard input) and returns its source.

    A path that is not a regular file (a pipe, as `<(...)` gives, or a device) is read once into a
    temporary file, as standard input is.
    """
    text = os.fspath(name)
    if text == "-":
        if sys.stdin is None:
            raise BrantoveilError("standard input is not available")
        return _spool(sys.stdin.buffer, "<stdin>")
    path = Path(text)
    try:
        info = path.stat()
    except FileNotFoundError:
        raise BrantoveilError(f"no such file: {printable(text)}") from None
    except OSError as error:
        raise BrantoveilError(f"cannot read {printable(text)}: {error.strerror or error}") from None
    if stat.S_ISDIR(info.st_mode):
        raise BrantoveilError(f"{printable(text)} is a directory, not a tree file")
    if not os.access(path, os.R_OK):
        raise BrantoveilError(f"cannot read {printable(text)}: permission denied")
    if not stat.S_ISREG(info.st_mode):
        try:
            with open(path, "rb") as stream:
                source = _spool(stream, text)
        except OSError as error:
            raise BrantoveilError(f"cannot read {printable(text)}: {error.strerror or error}") from None
        source.identity = (info.st_dev, info.st_ino)
        return source
    return ByteSource(label=text, path=path, identity=(info.st_dev, info.st_ino))


def _spool(stream: IO[bytes], label: str) -> ByteSource:
    # Trees are read twice (names first, then texts), so a stream goes to disk, never into memory.
    handle = tempfile.NamedTemporaryFile(prefix="brantoveil-stdin-", delete=False)  # noqa: SIM115
    try:
        with handle:
            shutil.copyfileobj(stream, handle, BLOCK)
    except BaseException:
        os.unlink(handle.name)
        raise
    source = ByteSource(label=label, path=Path(handle.name), spooled=True)
    weakref.finalize(source, _unlink_quietly, handle.name)
    return source


def _unlink_quietly(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)
