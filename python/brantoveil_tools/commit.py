"""Commits a set of output files all together or not at all, even across a kill -9; knows no file format.

Each file is written into a private folder beside its target and moved into place at the commit. Before
the first move the commit writes a rollback journal into every private folder of the set, listing each
target, a second name of its previous file and the new file; it removes the first folder's journal once
every move is done. A writer killed between the moves (kill -9, a power cut of the process) leaves the
journal behind, and the next writer of any of those targets puts every previous file back before it
starts. Commits into one folder take a lock on it, so two writers of one target commit one after the
other: each set is seen whole, the last one committed stays.
"""

from __future__ import annotations

import ctypes
import fcntl
import functools
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
from collections.abc import Callable, Iterator, Mapping
from contextlib import ExitStack, contextmanager, suppress
from contextvars import ContextVar
from dataclasses import dataclass
from pathlib import Path

from .errors import BrantoveilError


def check_target(target: str | os.PathLike[str]) -> None:
    """Fails early, before any work, when `target` cannot be written."""
    final = Path(target)
    if not final.parent.is_dir():
        raise BrantoveilError(f"cannot write {final}: the folder {final.parent} does not exist")
    if final.is_dir():
        raise BrantoveilError(f"cannot write {final}: it is a directory")
    if not os.access(final.parent, os.W_OK | os.X_OK):
        raise BrantoveilError(f"cannot write {final}: permission denied")


# A writer's temporary folder is named after its target, its process and its machine, so a later
# writer of the same target can tell the leftovers of a killed process from those of a live one.
_LEFTOVER = re.compile(r"(?P<pid>[0-9]+)-(?P<host>[0-9a-f]{8})\.[^.]+\.tmp")


def _host_tag() -> str:
    return hashlib.blake2b(socket.gethostname().encode(), digest_size=4).hexdigest()


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process, or a check this system refuses: assume alive
        return True
    return True


_JOURNAL = "journal"


def remove_leftovers(target: str | os.PathLike[str]) -> list[Path]:
    """Recovers what writers of `target` on this machine left behind when they were killed (their
    process no longer exists); returns the private folders removed.

    A writer killed in the middle of its commit left a journal: every target of its set gets its
    previous file back (or goes, if it had none) before the folders are removed. Folders of live
    processes, of other machines sharing the folder, and anything not named as this module names its
    folders are left alone.
    """
    final = Path(target)
    prefix, host = f".{final.name}.", _host_tag()
    removed: list[Path] = []
    try:
        entries = list(os.scandir(final.parent))
    except OSError:
        return removed
    for entry in entries:
        if not entry.name.startswith(prefix):
            continue
        match = _LEFTOVER.fullmatch(entry.name[len(prefix):])
        if match is None or match["host"] != host or _alive(int(match["pid"])):
            continue
        with suppress(OSError):
            if entry.is_dir(follow_symlinks=False):
                removed += _recover(Path(entry.path))
    return removed


def _recover(folder: Path) -> list[Path]:
    """Rolls back the commit a killed writer's `folder` took part in, if it was cut short, and removes
    the set's folders; only `folder` when it holds no journal."""
    try:
        journal = json.loads((folder / _JOURNAL).read_text(encoding="utf-8"))
        master = Path(journal["master"])
        journal = json.loads(master.read_text(encoding="utf-8"))  # gone: the commit was complete
    except (OSError, ValueError, KeyError, TypeError):
        shutil.rmtree(folder)
        return [folder]
    with _locked([Path(entry["final"]) for entry in journal["entries"]]):
        _roll_back([_Moved.from_dict(entry) for entry in journal["entries"]])
        # The master's folder, holding the journal, goes last of them: a recovery cut short is done again.
        folders = [Path(entry["folder"]) for entry in journal["entries"]]
        for other in sorted(set(folders), key=lambda f: f == master.parent):
            shutil.rmtree(other, ignore_errors=True)
        for created in reversed(journal.get("created", [])):  # folders the commit made, if still empty
            with suppress(OSError):
                os.rmdir(created)
    return folders


@dataclass(frozen=True)
class _Moved:
    """One target of a commit, as its journal records it."""

    final: Path
    folder: Path
    previous: Path | None  # a second name of the file `final` held before the commit, if any
    new: tuple[int, int] | None  # (device, inode) of the new file; None: `final` is removed

    def to_dict(self) -> dict[str, object]:
        return {"final": os.fspath(self.final), "folder": os.fspath(self.folder),
                "previous": None if self.previous is None else os.fspath(self.previous),
                "new": None if self.new is None else list(self.new)}

    @classmethod
    def from_dict(cls, entry: dict[str, object]) -> _Moved:
        previous, new = entry["previous"], entry["new"]
        return cls(Path(str(entry["final"])), Path(str(entry["folder"])),
                   None if previous is None else Path(str(previous)),
                   None if not isinstance(new, list) else (int(new[0]), int(new[1])))


def _roll_back(moved: list[_Moved]) -> None:
    """Puts back every previous file and removes the new files that had none; done again, it changes nothing."""
    for entry in reversed(moved):
        with suppress(OSError):
            if entry.previous is not None:
                if entry.previous.exists():
                    os.replace(entry.previous, entry.final)
            elif entry.new is not None:
                status = os.stat(entry.final, follow_symlinks=False)
                if (status.st_dev, status.st_ino) == entry.new:
                    entry.final.unlink()


@contextmanager
def _locked(targets: list[Path]) -> Iterator[None]:
    """Holds an exclusive lock on the folder of every target, taken in one order so writers never deadlock.

    A second writer committing into the same folder waits until the first is done; the lock goes
    with the process, so a killed writer never leaves one behind.
    """
    with ExitStack() as stack:
        folders: dict[tuple[int, int], int] = {}
        for folder in {target.parent for target in targets}:
            try:
                fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            except OSError:
                continue  # the move itself reports it
            stack.callback(os.close, fd)
            status = os.fstat(fd)
            folders.setdefault((status.st_dev, status.st_ino), fd)
        for _, fd in sorted(folders.items()):
            with suppress(OSError):  # a file system without locks: commit unlocked, as before
                fcntl.flock(fd, fcntl.LOCK_EX)
        yield


def _write_journal(path: Path, journal: Mapping[str, object]) -> None:
    staging = path.with_name(path.name + ".new")
    staging.write_text(json.dumps(journal), encoding="utf-8")
    os.replace(staging, path)


@dataclass
class _Staged:
    final: Path
    folder: Path  # private, beside `final`: holds the new file and, while committing, the old one
    temporary: Path | None  # None: `final` is to be removed


class OutputSet:
    """Files that appear together or not at all: each is written into a private folder beside its
    target, and `commit` moves them all into place in the order they were staged.

    A failure or an interrupt before or during the commit leaves every target as it was (those
    already moved are put back), so a reader never sees new files beside old ones; after a kill, the
    next writer of any of the targets puts them back.
    """

    def __init__(self) -> None:
        self._staged: list[_Staged] = []
        self._created: list[Path] = []

    def file(self, target: str | os.PathLike[str]) -> Path:
        """A path to write the new content of `target` to; created by its writer."""
        staged = self._stage(Path(target), remove=False)
        assert staged.temporary is not None
        return staged.temporary

    def remove(self, target: str | os.PathLike[str]) -> None:
        """Removes `target`, if it exists, with the rest of the commit."""
        if Path(target).exists():
            self._stage(Path(target), remove=True)

    def folder(self, directory: str | os.PathLike[str]) -> Path:
        """Creates `directory` if missing; a failed set removes it again if it stayed empty."""
        folder = Path(directory)
        if folder.exists() and not folder.is_dir():
            raise BrantoveilError(f"cannot write into {folder}: it is not a directory")
        missing = []
        for parent in (folder, *folder.parents):
            if parent.exists():
                break
            missing.append(parent)
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise BrantoveilError(f"cannot create {folder}: {error.strerror or error}") from None
        self._created.extend(missing)
        return folder

    def _stage(self, final: Path, remove: bool) -> _Staged:
        check_target(final)
        remove_leftovers(final)
        try:
            folder = Path(tempfile.mkdtemp(prefix=f".{final.name}.{os.getpid()}-{_host_tag()}.", suffix=".tmp",
                                           dir=final.parent))
        except OSError as error:
            raise BrantoveilError(f"cannot write {final}: {error.strerror or error}") from None
        # The file does not exist yet, so its writer creates it. Reopening an empty temporary file
        # would truncate it, and ext4 answers a truncated file's close with a flush of all that was
        # written: 0.2 s for a 400 MB matrix.
        staged = _Staged(final, folder, None if remove else folder / final.name)
        self._staged.append(staged)
        if not remove:
            _release_cache(final)
        return staged

    def commit(self) -> None:
        """Moves every staged file into place (removes those staged for removal), all or none."""
        if not self._staged:
            self._created.clear()
            return
        with _locked([staged.final for staged in self._staged]), _interrupts_deferred():
            moved: list[_Moved] = []
            current = self._staged[0].final
            try:
                # Step 1: a second name for every previous file, and the journal that lists them.
                for staged in self._staged:
                    current = staged.final
                    new = None
                    if staged.temporary is not None:
                        status = os.stat(staged.temporary)
                        new = status.st_dev, status.st_ino
                    previous = _keep_old(staged)
                    moved.append(_Moved(staged.final.absolute(), staged.folder.absolute(),
                                        None if previous is None else previous.absolute(), new))
                master = moved[0].folder / _JOURNAL
                journal = {"master": os.fspath(master), "entries": [entry.to_dict() for entry in moved],
                           "created": [os.fspath(folder.absolute()) for folder in self._created]}
                for folder in dict.fromkeys(entry.folder for entry in moved):
                    _write_journal(folder / _JOURNAL, journal)
                # Step 2: the moves.
                for staged, entry in zip(self._staged, moved, strict=True):
                    current = staged.final
                    if staged.temporary is None:
                        staged.final.unlink(missing_ok=True)
                    elif entry.previous is None or not _exchange(staged.temporary, staged.final):
                        os.replace(staged.temporary, staged.final)
                # Step 3: the commit point.
                master.unlink()
            except BaseException as error:
                _roll_back(moved)
                if isinstance(error, OSError):
                    raise BrantoveilError(f"cannot write {current}: {error.strerror or error}") from None
                raise
        self._created.clear()

    def discard(self) -> None:
        """Removes the private folders (and the folders `folder` created, if a commit never came)."""
        for staged in self._staged:
            _remove_folder(staged.folder)
        self._staged.clear()
        for folder in self._created:
            with suppress(OSError):
                folder.rmdir()
        self._created.clear()


_BACKGROUND_BYTES = 1 << 26


def _remove_folder(folder: Path) -> None:
    """Removes a private folder; one holding large files is left to a process of its own.

    Deleting a file of gigabytes takes the kernel a second or more (its pages are freed one by one), so
    a command would not end promptly on Ctrl-C, nor as soon as its outputs are in place.
    """
    size = 0
    with suppress(OSError):
        size = sum(entry.stat(follow_symlinks=False).st_size for entry in os.scandir(folder))
    if size >= _BACKGROUND_BYTES and sys.platform != "win32":
        try:
            subprocess.Popen(["rm", "-rf", "--", os.fspath(folder)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            return
        except OSError:
            pass
    shutil.rmtree(folder, ignore_errors=True)


class CommittedInterrupt(KeyboardInterrupt):
    """Ctrl-C came during a commit and was held back until every file was in place: the outputs are whole."""


_AT_FDCWD = -100
_RENAME_EXCHANGE = 2


@functools.cache
def _renameat2() -> Callable[..., int] | None:
    if sys.platform != "linux":
        return None
    try:
        function: Callable[..., int] = ctypes.CDLL(None, use_errno=True).renameat2
    except (OSError, AttributeError):  # a C library without it (glibc before 2.28, some others)
        return None
    return function


def _exchange(new: Path, final: Path) -> bool:
    """Swaps the names of `new` and an existing `final` atomically; False where that cannot be done.

    Renaming over an existing file makes ext4 start writing the new file out inside the rename
    (0.3 s for a 400 MB matrix); an exchange does not, and the old file then goes with the private folder.
    """
    function = _renameat2()
    if function is None:
        return False
    return function(_AT_FDCWD, os.fsencode(new), _AT_FDCWD, os.fsencode(final), _RENAME_EXCHANGE) == 0


class _CacheStat(ctypes.Structure):
    _fields_ = [(field, ctypes.c_uint64) for field in ("cache", "dirty", "writeback", "evicted", "recently_evicted")]


class _CacheRange(ctypes.Structure):
    _fields_ = [("offset", ctypes.c_uint64), ("length", ctypes.c_uint64)]


_SYS_CACHESTAT = 451  # the same number on every architecture Linux numbers generically (x86-64, aarch64)


@functools.cache
def _syscall() -> Callable[..., int] | None:
    if sys.platform != "linux" or not hasattr(os, "posix_fadvise"):
        return None
    try:
        function: Callable[..., int] = ctypes.CDLL(None, use_errno=True).syscall
    except (OSError, AttributeError):
        return None
    return function


def _release_cache(final: Path) -> None:
    """Lets the kernel reuse, for the new file, the memory caching the file it is about to replace.

    The old file stays whole on disk until the commit (and afterwards when the commit fails); only its
    copy in memory goes, and only when none of it is dirty: dropping dirty pages would first write
    them out, for a file deleted a moment later. Otherwise the new file's pages are taken from free
    memory while the old ones sit unused until the old file is deleted, and deleting it then also has
    to clear them. Measured on a virtual machine whose memory untouched for a while is slow to touch
    again: writing a 400 MB matrix over a 400 MB file took 0.4-1.3 s, and 0.1 s with this, as for a
    new file. Skipped where the kernel cannot tell (Linux before 6.5, other systems), for a file with
    other names, and for anything but a regular file.
    """
    syscall = _syscall()
    if syscall is None:
        return
    try:
        fd = os.open(final, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:  # missing, a symbolic link, unreadable: nothing to release
        return
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode) or status.st_nlink != 1:
            return
        pages = _CacheStat()
        if syscall(ctypes.c_long(_SYS_CACHESTAT), ctypes.c_long(fd), ctypes.byref(_CacheRange(0, 0)),
                   ctypes.byref(pages), ctypes.c_long(0)) != 0:
            return
        if pages.dirty == 0 and pages.writeback == 0 and pages.cache > 0:
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    except OSError:
        pass
    finally:
        os.close(fd)


def _keep_old(staged: _Staged) -> Path | None:
    # A second name for the target's present file, so a failed commit can put it back; the target
    # itself is never missing, because os.replace swaps names atomically.
    old = staged.folder / f"previous.{staged.final.name}"
    try:
        os.link(staged.final, old, follow_symlinks=False)
    except FileNotFoundError:
        return None
    except OSError:  # a file system without hard links: copy instead
        if not staged.final.exists():
            return None
        shutil.copy2(staged.final, old, follow_symlinks=False)
    return old


@contextmanager
def _interrupts_deferred() -> Iterator[None]:
    """Holds back Ctrl-C (SIGINT) for the few steps of a commit.

    A Ctrl-C held back is passed on when the block ends: to the handler that was there before, or, for
    Python's default one, as `CommittedInterrupt` once the block has completed (an error in the block
    goes first).
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    received: list[int] = []
    previous = signal.getsignal(signal.SIGINT)
    if previous is None:  # a handler installed outside Python: it could not be put back
        yield
        return
    signal.signal(signal.SIGINT, lambda signum, frame: received.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
    if received:
        if previous is signal.default_int_handler:
            raise CommittedInterrupt
        if callable(previous):
            previous(signal.SIGINT, None)


# The set every `output_set` and `atomic_path` inside a command's outer `output_set` joins, so that
# writers written one file at a time still commit with the command's other outputs.
_CURRENT: ContextVar[OutputSet | None] = ContextVar("brantoveil_output_set", default=None)


@contextmanager
def output_set() -> Iterator[OutputSet]:
    """An `OutputSet` committed when the block ends without error; its private folders go either way.

    Inside another `output_set` block it is that block's set: everything commits at the outer end.
    """
    outer = _CURRENT.get()
    if outer is not None:
        yield outer
        return
    outputs = OutputSet()
    token = _CURRENT.set(outputs)
    try:
        yield outputs
        _CURRENT.reset(token)
        with _interrupts_deferred():  # the outputs are whole: Ctrl-C now says so
            try:
                outputs.commit()
            finally:
                outputs.discard()
    finally:
        if _CURRENT.get() is outputs:
            _CURRENT.reset(token)
        outputs.discard()


@contextmanager
def atomic_path(target: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a path beside `target`, in a private folder of its own; on success the file written
    there replaces `target` (at the end of the enclosing `output_set` block, if any), on failure it
    is removed. Either way the folder goes."""
    final = Path(target)
    try:
        with output_set() as outputs:
            yield outputs.file(final)  # created by its writer, so with the mode the umask gives new files
    except OSError as error:
        raise BrantoveilError(f"cannot write {final}: {error.strerror or error}") from None


