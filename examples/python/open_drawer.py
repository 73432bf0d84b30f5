"""open_drawer.py - kick a drawer, confirm that it opened, and wait for the
cashier to push it shut: the cash drawer library from Python, with ctypes.

    py -3 open_drawer.py [DRAWER_ID]   (64-bit Python; Cash_Drawer_DLL.dll beside it)
"""
import ctypes
import os
import sys

dll = ctypes.WinDLL(os.path.join(os.path.dirname(os.path.abspath(__file__)), "Cash_Drawer_DLL.dll"))
for name, args in {
    "OpenCash": [ctypes.c_char_p],
    "GetCashStatus": [ctypes.c_char_p],
    "OpenCashConfirmed": [ctypes.c_char_p, ctypes.c_int],
    "WaitCashStatus": [ctypes.c_char_p, ctypes.c_int, ctypes.c_int],
    "GetCashDrawerError": [ctypes.c_char_p, ctypes.c_int],
}.items():
    getattr(dll, name).argtypes = args
    getattr(dll, name).restype = ctypes.c_int


def last_error():
    buffer = ctypes.create_string_buffer(512)
    length = dll.GetCashDrawerError(buffer, len(buffer))
    if length >= len(buffer):
        buffer = ctypes.create_string_buffer(length + 1)
        dll.GetCashDrawerError(buffer, len(buffer))
    return buffer.value.decode()


drawer = (sys.argv[1] if len(sys.argv) > 1 else "RN340_CashA").encode()
before = dll.GetCashStatus(drawer)
if before < 0:
    sys.exit(f"GetCashStatus = {before}: {last_error()}")
# Kicks, then watches the sensor for up to two seconds.
result = dll.OpenCashConfirmed(drawer, 2000)
if result < 0:
    sys.exit(f"OpenCashConfirmed = {result}: {last_error()}")
print("the drawer opened" if result == 1 else "kicked, but the sensor did not change")
# Waits up to a minute for the cashier to push it shut: it reads as before the kick.
result = dll.WaitCashStatus(drawer, before, 60000)
if result < 0:
    sys.exit(f"WaitCashStatus = {result}: {last_error()}")
print("the drawer is shut again" if result == 1 else "the drawer was left open")
