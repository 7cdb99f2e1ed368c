# SPDX-License-Identifier: Apache-2.0
"""The binding's exceptions.

Every failure of a call into libvornmgr is a ``vornmgr.Error``, a subclass of
OSError whose ``errno`` is the library's. The classes below name the cases a
module tells apart; each also derives from the built-in OSError subclass that
Python itself picks for the errno, so that ``except TimeoutError``,
``except PermissionError`` or ``except ConnectionRefusedError`` keep working.
"""

from __future__ import annotations

import errno
import os

__all__ = ["Error", "ManagerUnreachable", "AlreadyRegistered", "Refused", "RefusedByManager", "NotTheManager",
           "CalledFromCallback", "LibraryNotFoundError", "BringUpRefused", "error_from_errno"]


class Error(OSError):
    """A call into libvornmgr failed; ``errno`` is the library's."""


class ManagerUnreachable(Error, TimeoutError):
    """The manager did not answer in time (ETIMEDOUT): it is down, stopped or busy.

    The request was not sent again; whether to try again is the caller's decision.
    """


class AlreadyRegistered(Error, BlockingIOError):
    """This process has already registered a module (EALREADY): one at a time."""


class Refused(Error):
    """The registration or request was refused; ``errno`` says by whom."""


class RefusedByManager(Refused, ConnectionRefusedError):
    """The manager itself refused it (ECONNREFUSED)."""


class NotTheManager(Refused, PermissionError):
    """A process that is not root's answered on the manager's port (EPERM).

    Anyone may bind that port while the manager is down: the answer was not
    believed. The next request goes out on a fresh socket.
    """


class CalledFromCallback(Error):
    """register(), unregister(), start() or stop() was called from one of the
    module's own callbacks, which the library waits for (EDEADLK).

    Leave the callback first: for instance, set a flag that the main thread
    acts upon.
    """


class LibraryNotFoundError(ImportError):
    """libvornmgr.so.0 could not be loaded; raised when it is first needed."""


_CLASSES = {
    errno.ETIMEDOUT: ManagerUnreachable,
    errno.EALREADY: AlreadyRegistered,
    errno.ECONNREFUSED: RefusedByManager,
    errno.EPERM: NotTheManager,
    errno.EDEADLK: CalledFromCallback,
}

# Error beside the subclass OSError itself picks for an errno, made once each.
_mixed: dict[type, type] = {}


def error_from_errno(code: int, what: str) -> Error:
    """The Error for a failed call: ``what``, then the errno's text."""
    cls = _CLASSES.get(code)
    if cls is None:
        builtin = type(OSError(code, ""))
        if builtin is OSError:
            cls = Error
        else:
            cls = _mixed.setdefault(builtin, type(builtin.__name__, (Error, builtin), {"__module__": __name__}))
    return cls(code, f"{what}: {os.strerror(code)}")


class BringUpRefused(RuntimeError):
    """The module's on_before_up raised: it did not report itself up.

    Not an Error: nothing failed between the module and the manager. The
    exception on_before_up raised is its ``__cause__``.
    """
