"""The cash drawer library from Python.

Kicks point-of-sale cash drawers open and reads their state through
Cash_Drawer_DLL.dll (Windows) or libcashdrawer.so (Linux), with ctypes.
Every failure raises an exception that carries the library's own words.
"""
import ctypes
import json
import os
import sys

__all__ = [
    "CashDrawer",
    "CashDrawerError",
    "UnknownDrawerError",
    "DrawerUnreachableError",
    "BadArgumentError",
]

UNKNOWN_ID = -1
UNREACHABLE = -2
BAD_ARGUMENT = -3


class CashDrawerError(Exception):
    """A call the library refused or could not complete."""

    def __init__(self, function, code, text):
        super().__init__(f"{function}: {text or 'failed'} ({code})")
        self.function = function
        self.code = code
        self.text = text


class UnknownDrawerError(CashDrawerError):
    """-1: the identifier is not known to the function."""


class DrawerUnreachableError(CashDrawerError):
    """-2: the drawer's hardware could not be reached; no state is known."""


class BadArgumentError(CashDrawerError):
    """-3: an argument is out of its range."""


_ERRORS = {UNKNOWN_ID: UnknownDrawerError, UNREACHABLE: DrawerUnreachableError, BAD_ARGUMENT: BadArgumentError}


def _default_library():
    named = os.environ.get("CASHDRAWER_LIBRARY")
    if named:
        return named
    return "Cash_Drawer_DLL.dll" if sys.platform == "win32" else "libcashdrawer.so.0"


class CashDrawer:
    """One loaded library. Its calls may come from any thread."""

    def __init__(self, path=None):
        path = path or _default_library()
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
        self._lib = loader(path)
        self._declare("OpenCash", [ctypes.c_char_p])
        self._declare("GetCashStatus", [ctypes.c_char_p])
        self._declare("OpenCashDefault", [])
        self._declare("GetCashStatusDefault", [])
        self._declare("WaitCashStatus", [ctypes.c_char_p, ctypes.c_int, ctypes.c_int])
        self._declare("OpenCashConfirmed", [ctypes.c_char_p, ctypes.c_int])
        self._declare("GetCashDrawerError", [ctypes.c_char_p, ctypes.c_int])
        self._declare("CheckCashDrawerHealth", [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int])
        self._declare("GetCashDrawerVersion", [ctypes.c_char_p, ctypes.c_int])

    def _declare(self, name, argtypes):
        function = getattr(self._lib, name)
        function.argtypes = argtypes
        function.restype = ctypes.c_int

    @staticmethod
    def _id(drawer_id):
        return drawer_id.encode("ascii") if isinstance(drawer_id, str) else drawer_id

    def _text(self, copy):
        buffer = ctypes.create_string_buffer(256)
        length = copy(buffer, len(buffer))
        if length >= len(buffer):
            buffer = ctypes.create_string_buffer(length + 1)
            length = copy(buffer, len(buffer))
        return buffer.value.decode("utf-8", "replace"), length

    def last_error(self):
        """The library's words for this thread's last failure; empty after a success."""
        return self._text(self._lib.GetCashDrawerError)[0]

    def _checked(self, function, result):
        if result < 0:
            raise _ERRORS.get(result, CashDrawerError)(function, result, self.last_error())
        return result

    def open_drawer(self, drawer_id):
        """Kicks the drawer open (OpenCash)."""
        self._checked("OpenCash", self._lib.OpenCash(self._id(drawer_id)))

    def drawer_status(self, drawer_id):
        """The drawer's state bit, 1 or 0 (GetCashStatus)."""
        return self._checked("GetCashStatus", self._lib.GetCashStatus(self._id(drawer_id)))

    def open_default(self):
        """Kicks the drawer chosen in CashDrawerconfig.ini; False when none is chosen."""
        return self._checked("OpenCashDefault", self._lib.OpenCashDefault()) == 1

    def default_status(self):
        """The chosen drawer's state (0 also when none is chosen: the defaults are written)."""
        return self._checked("GetCashStatusDefault", self._lib.GetCashStatusDefault())

    def wait_status(self, drawer_id, state, timeout_ms):
        """True when the drawer reached `state` within the time, False when the time ran out."""
        return self._checked("WaitCashStatus", self._lib.WaitCashStatus(self._id(drawer_id), state, timeout_ms)) == 1

    def open_confirmed(self, drawer_id, timeout_ms):
        """Kicks, then True when the sensor changed within the time, False when it did not."""
        return self._checked("OpenCashConfirmed", self._lib.OpenCashConfirmed(self._id(drawer_id), timeout_ms)) == 1

    def health(self, drawer_id=None):
        """(all_well, report): the technician's check as a dict; kicks nothing."""
        drawer = self._id(drawer_id) if drawer_id is not None else None
        result = [0]

        def copy(buffer, size):
            result[0] = self._lib.CheckCashDrawerHealth(drawer, buffer, size)
            return result[0] if result[0] >= size else len(buffer.value)

        text, _ = self._text(copy)
        if result[0] == UNKNOWN_ID or result[0] == BAD_ARGUMENT:
            self._checked("CheckCashDrawerHealth", result[0])
        return result[0] == 1, json.loads(text)

    def version(self):
        """The library's version, "MAJOR.MINOR.PATCH"."""
        return self._text(self._lib.GetCashDrawerVersion)[0]
