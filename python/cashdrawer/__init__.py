"""The cash drawer library from Python.

Kicks point-of-sale cash drawers open and reads their state through
Cash_Drawer_DLL.dll (Windows) or libcashdrawer.so.0 (Linux), with ctypes.
Every failure raises an exception that carries the library's own words.
"""
import ctypes
import json
import os
import struct
import sys
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

__version__ = "0.2.0"

__all__ = [
    "CashDrawer",
    "CashDrawerError",
    "UnknownDrawerError",
    "DrawerUnreachableError",
    "BadArgumentError",
    "LibraryNotFoundError",
    "__version__",
]

UNKNOWN_ID = -1
UNREACHABLE = -2
BAD_ARGUMENT = -3

DrawerId = Union[str, bytes]


class CashDrawerError(Exception):
    """A call the library refused or could not complete."""

    def __init__(self, function: str, code: int, text: str) -> None:
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


class LibraryNotFoundError(OSError):
    """The library could not be loaded from any of the places tried."""

    def __init__(
        self, tried: List[Tuple[str, str]], platform: str = sys.platform, bits: int = struct.calcsize("P") * 8
    ) -> None:
        lines = "\n".join(f"  {place}: {why}" for place, why in tried)
        if platform == "win32":
            # A process loads DLLs of its own kind only.
            hint = (
                "put the DLL beside the application, or name it: CashDrawer(path) or CASHDRAWER_LIBRARY"
                f" (this Python is {bits}-bit: it loads the {'win64' if bits == 64 else 'win32'} build of the DLL only)"
            )
        else:
            hint = (
                "install libcashdrawer.so.0 where the loader looks (cmake --install, then ldconfig), or name it:"
                " CashDrawer(path) or CASHDRAWER_LIBRARY"
            )
        super().__init__("the cash drawer library could not be loaded; tried:\n" + lines + "\n" + hint)
        self.tried = tried


def _milliseconds(timeout: Optional[float], timeout_ms: Optional[int]) -> int:
    """The library's milliseconds from seconds (Python's habit) or milliseconds (its own), one of them."""
    if (timeout is None) == (timeout_ms is None):
        raise TypeError("give the time as timeout (seconds) or timeout_ms (milliseconds), one of them")
    if timeout_ms is not None:
        return int(timeout_ms)
    milliseconds = round(float(timeout) * 1000)  # type: ignore[arg-type]
    # The library takes an int; one past it would wrap around to a short wait.
    if not 0 <= milliseconds <= 2**31 - 1:
        raise ValueError(f"timeout runs from 0 to {(2**31 - 1) / 1000} seconds; got {timeout}")
    return milliseconds


_ERRORS = {UNKNOWN_ID: UnknownDrawerError, UNREACHABLE: DrawerUnreachableError, BAD_ARGUMENT: BadArgumentError}


def _candidates(
    path: Optional[str],
    platform: str = sys.platform,
    bits: int = struct.calcsize("P") * 8,
    folder: Optional[str] = None,
    exists: Callable[[str], bool] = os.path.exists,
) -> List[str]:
    """Where the library is looked for, in order.

    A process loads only DLLs of its own kind: a 32-bit Python needs the
    win32 build of the DLL, a 64-bit one the win64 build. Beside the
    application, the DLL itself comes first, then the one in the folder
    named after the interpreter's kind (win64 or win32, as the release
    archives are named); then the system's own search.
    """
    if path:
        return [path]
    named = os.environ.get("CASHDRAWER_LIBRARY")
    if named:
        return [named]
    if folder is None:
        folder = os.path.dirname(os.path.abspath(sys.argv[0] or "."))
    if platform == "win32":
        name = "Cash_Drawer_DLL.dll"
        kind = "win64" if bits == 64 else "win32"
        beside = [os.path.join(folder, name), os.path.join(folder, kind, name)]
    else:
        name = "libcashdrawer.so.0"
        beside = [os.path.join(folder, name)]
    return [candidate for candidate in beside if exists(candidate)] + [name]


def _load(path: Optional[str]) -> Tuple[ctypes.CDLL, str]:
    loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL  # type: ignore[attr-defined]
    tried: List[Tuple[str, str]] = []
    for candidate in _candidates(path):
        try:
            return loader(candidate), candidate
        except OSError as error:
            tried.append((candidate, str(error)))
    raise LibraryNotFoundError(tried)


class CashDrawer:
    """One loaded library. Its calls may come from any thread.

    As a context manager it unloads the library at the end of the block,
    which stops the serial drawer's monitor and gives everything back:

        with cashdrawer.CashDrawer() as drawers:
            drawers.open_drawer("RN340_CashA")
    """

    def __init__(self, path: Optional[str] = None) -> None:
        self._lib: Optional[ctypes.CDLL]
        self._lib, self.path = _load(path)
        self._declare("OpenCash", [ctypes.c_char_p])
        self._declare("GetCashStatus", [ctypes.c_char_p])
        self._declare("OpenCashDefault", [])
        self._declare("GetCashStatusDefault", [])
        self._declare("WaitCashStatus", [ctypes.c_char_p, ctypes.c_int, ctypes.c_int])
        self._declare("OpenCashConfirmed", [ctypes.c_char_p, ctypes.c_int])
        self._declare("GetCashDrawerError", [ctypes.c_char_p, ctypes.c_int])
        self._declare("CheckCashDrawerHealth", [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int])
        self._declare("GetCashDrawerVersion", [ctypes.c_char_p, ctypes.c_int])

    def __enter__(self) -> "CashDrawer":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def close(self) -> None:
        """Unloads the library; the object serves no more calls after it."""
        lib, self._lib = self._lib, None
        if lib is None:
            return
        handle = lib._handle
        del lib
        import _ctypes

        if sys.platform == "win32":
            _ctypes.FreeLibrary(handle)  # type: ignore[attr-defined]
        else:
            _ctypes.dlclose(handle)  # type: ignore[attr-defined]

    @property
    def _loaded(self) -> ctypes.CDLL:
        if self._lib is None:
            raise CashDrawerError("CashDrawer", 0, "the library was closed")
        return self._lib

    def _declare(self, name: str, argtypes: List[Any]) -> None:
        function = getattr(self._loaded, name)
        function.argtypes = argtypes
        function.restype = ctypes.c_int

    @staticmethod
    def _id(drawer_id: DrawerId) -> bytes:
        if isinstance(drawer_id, bytes):
            return drawer_id
        if isinstance(drawer_id, str):
            return drawer_id.encode("ascii", "strict")
        raise TypeError(f"a drawer identifier is a str or bytes, such as 'RN340_CashA', not {type(drawer_id).__name__}")

    def _text(self, copy: Callable[[Any, int], int]) -> Tuple[str, int]:
        buffer = ctypes.create_string_buffer(256)
        length = copy(buffer, len(buffer))
        if length >= len(buffer):
            buffer = ctypes.create_string_buffer(length + 1)
            length = copy(buffer, len(buffer))
        return buffer.value.decode("utf-8", "replace"), length

    def last_error(self) -> str:
        """The library's words for this thread's last failure; empty after a success."""
        return self._text(self._loaded.GetCashDrawerError)[0]

    def _checked(self, function: str, result: int) -> int:
        if result < 0:
            raise _ERRORS.get(result, CashDrawerError)(function, result, self.last_error())
        return result

    def open_drawer(self, drawer_id: DrawerId) -> None:
        """Kicks the drawer open (OpenCash)."""
        self._checked("OpenCash", self._loaded.OpenCash(self._id(drawer_id)))

    def drawer_status(self, drawer_id: DrawerId) -> int:
        """The drawer's state bit, 1 or 0 (GetCashStatus)."""
        return self._checked("GetCashStatus", self._loaded.GetCashStatus(self._id(drawer_id)))

    def open_default(self) -> bool:
        """Kicks the drawer chosen in CashDrawerconfig.ini; False when none is chosen."""
        return self._checked("OpenCashDefault", self._loaded.OpenCashDefault()) == 1

    def default_status(self) -> int:
        """The chosen drawer's state (0 also when none is chosen: the defaults are written)."""
        return self._checked("GetCashStatusDefault", self._loaded.GetCashStatusDefault())

    def wait_status(
        self, drawer_id: DrawerId, state: int, timeout_ms: Optional[int] = None, *, timeout: Optional[float] = None
    ) -> bool:
        """True when the drawer reached `state` within the time, False when the time ran out.

        The time is `timeout` in seconds (1.5) or `timeout_ms` in milliseconds, one of them.
        """
        result = self._loaded.WaitCashStatus(self._id(drawer_id), state, _milliseconds(timeout, timeout_ms))
        return self._checked("WaitCashStatus", result) == 1

    def open_confirmed(
        self, drawer_id: DrawerId, timeout_ms: Optional[int] = None, *, timeout: Optional[float] = None
    ) -> bool:
        """Kicks, then True when the sensor changed within the time, False when it did not.

        The time is `timeout` in seconds (1.5) or `timeout_ms` in milliseconds, one of them.
        """
        milliseconds = _milliseconds(timeout, timeout_ms)
        return self._checked("OpenCashConfirmed", self._loaded.OpenCashConfirmed(self._id(drawer_id), milliseconds)) == 1

    def health(self, drawer_id: Optional[DrawerId] = None) -> Tuple[bool, Dict[str, Any]]:
        """(all_well, report): the technician's check as a dict; kicks nothing."""
        drawer = self._id(drawer_id) if drawer_id is not None else None
        result = [0]

        def copy(buffer: Any, size: int) -> int:
            result[0] = self._loaded.CheckCashDrawerHealth(drawer, buffer, size)
            return result[0] if result[0] >= size else len(buffer.value)

        text, _ = self._text(copy)
        if result[0] == UNKNOWN_ID or result[0] == BAD_ARGUMENT:
            self._checked("CheckCashDrawerHealth", result[0])
        return result[0] == 1, json.loads(text)

    def version(self) -> str:
        """The library's version, "MAJOR.MINOR.PATCH"."""
        return self._text(self._loaded.GetCashDrawerVersion)[0]
