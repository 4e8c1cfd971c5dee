"""System V semaphores and shared memory through libc, for tests and tools.

Written against the kernel interface, independently of the daemon's code, so
that tests can look at and take part in what the daemon shares.
"""

import ctypes
import errno
import os

_libc = ctypes.CDLL(None, use_errno=True)
_libc.shmat.restype = ctypes.c_void_p
_libc.shmat.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
_libc.shmdt.argtypes = [ctypes.c_void_p]

IPC_CREAT = 0o1000
IPC_EXCL = 0o2000
IPC_NOWAIT = 0o4000
IPC_RMID = 0
GETVAL = 12
SEM_UNDO = 0x1000


class _Sembuf(ctypes.Structure):
    _fields_ = [("sem_num", ctypes.c_ushort), ("sem_op", ctypes.c_short), ("sem_flg", ctypes.c_short)]


def _check(result):
    if result == -1 or result is None:
        e = ctypes.get_errno()
        raise OSError(e, os.strerror(e))
    return result


def path_key(path, proj=104):
    """The IPC key of an executable's real path, as the daemon derives it:
    the project identifier in the top byte, then the path's 32-bit FNV-1a
    hash folded to 24 bits. It depends on the path alone, so a copy that
    replaces the file keeps it."""
    h = 2166136261
    for b in os.fsencode(path):
        h = ((h ^ b) * 16777619) & 0xFFFFFFFF
    return (proj & 0xFF) << 24 | ((h >> 24) ^ (h & 0xFFFFFF))


def claim(key):
    """Claims a key for one user, atomically: a message queue of the key,
    made exclusively (the daemon itself uses only the segment and the
    semaphores). False when another user has claimed it."""
    if _libc.msgget(key, IPC_CREAT | IPC_EXCL | 0o600) != -1:
        return True
    if ctypes.get_errno() == errno.EEXIST:
        return False
    e = ctypes.get_errno()
    raise OSError(e, os.strerror(e))


def unclaim(key):
    """Gives a claimed key back."""
    q = _libc.msgget(key, 0)
    if q != -1:
        _check(_libc.msgctl(q, IPC_RMID, None))


class SemSet:
    """An existing semaphore set."""

    def __init__(self, key, nsems=6):
        self.id = _check(_libc.semget(key, nsems, 0))

    def value(self, num):
        return _check(_libc.semctl(self.id, num, GETVAL))

    def values(self, nsems=6):
        return [self.value(i) for i in range(nsems)]

    def op(self, changes, undo=True, wait=True):
        """Applies [(semaphore, delta), ...] in one atomic call."""
        flags = (SEM_UNDO if undo else 0) | (0 if wait else IPC_NOWAIT)
        ops = (_Sembuf * len(changes))(*[_Sembuf(n, d, flags) for n, d in changes])
        _check(_libc.semop(self.id, ops, len(changes)))

    def remove(self):
        _check(_libc.semctl(self.id, 0, IPC_RMID))


class Segment:
    """An existing shared-memory segment, attached for reading and writing."""

    def __init__(self, key):
        self.id = _check(_libc.shmget(key, 0, 0))
        addr = _libc.shmat(self.id, None, 0)
        if addr is None or addr == ctypes.c_void_p(-1).value:
            e = ctypes.get_errno()
            raise OSError(e, os.strerror(e))
        self.addr = addr

    def read(self, offset, size):
        return ctypes.string_at(self.addr + offset, size)

    def write(self, offset, data):
        ctypes.memmove(self.addr + offset, data, len(data))

    def detach(self):
        if self.addr:
            _libc.shmdt(self.addr)
            self.addr = None

    def remove(self):
        _check(_libc.shmctl(self.id, IPC_RMID, None))


def exists(key):
    """Whether a segment or a semaphore set with this key exists."""
    for get in (lambda: _libc.shmget(key, 0, 0), lambda: _libc.semget(key, 0, 0)):
        if get() != -1 or ctypes.get_errno() != errno.ENOENT:
            return True
    return False


def remove_all(key):
    """Removes the segment and the semaphore set of a key, where they exist."""
    shm = _libc.shmget(key, 0, 0)
    if shm != -1:
        _check(_libc.shmctl(shm, IPC_RMID, None))
    sem = _libc.semget(key, 0, 0)
    if sem != -1:
        _check(_libc.semctl(sem, 0, IPC_RMID))
