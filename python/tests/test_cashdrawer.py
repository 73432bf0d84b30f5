"""The Python package against the simulated library (libcashdrawer.so.0 in its sim folder):
results, exceptions and the library's words."""
import ctypes
import os
import tempfile
import unittest

import cashdrawer

SIMULATED = os.environ["CASHDRAWER_LIBRARY"]


class OnTheSimulatedTerminal(unittest.TestCase):
    def setUp(self):
        # Each test in a folder of its own: the Default calls write there.
        self.previous = os.getcwd()
        self.folder = tempfile.TemporaryDirectory()
        os.chdir(self.folder.name)
        self.drawers = cashdrawer.CashDrawer(SIMULATED)
        self.sim = ctypes.CDLL(SIMULATED)
        self.sim.CashDrawerSimClearTrace()

    def tearDown(self):
        os.chdir(self.previous)
        self.folder.cleanup()

    def set_port(self, port, value, width=1):
        self.sim.CashDrawerSimSetPort(port, value, width)

    def trace(self):
        buffer = ctypes.create_string_buffer(1 << 16)
        self.sim.CashDrawerSimTrace(buffer, len(buffer))
        return buffer.value.decode().splitlines()

    def test_kick_and_state(self):
        self.set_port(0x50E, 0xFF)
        self.drawers.open_drawer("RN340_CashA")
        self.assertIn("write 0x050E <- 0xF7 (byte)", self.trace())
        self.assertIn("pause 512 ms", self.trace())
        for value, state in ((0xFB, 1), (0x04, 0)):
            self.set_port(0x53A, value)
            self.assertEqual(self.drawers.drawer_status("RN340_CashA"), state)

    def test_each_failure_raises_its_exception_with_the_librarys_words(self):
        cases = [
            (lambda: self.drawers.open_drawer("rn340_casha"), cashdrawer.UnknownDrawerError, -1,
             "did you mean 'RN340_CashA'"),
            (lambda: self.drawers.drawer_status("KV7100_CashB"), cashdrawer.UnknownDrawerError, -1,
             "no drawer line of its own"),
            (lambda: self.drawers.wait_status("RN340_CashA", 2, 100), cashdrawer.BadArgumentError, -3,
             "state 0 or 1, not 2"),
            (lambda: self.drawers.open_confirmed("RN340_CashA", -1), cashdrawer.BadArgumentError, -3,
             "negative time"),
            (lambda: self.drawers.drawer_status("DL470_CashA"), cashdrawer.DrawerUnreachableError, -2,
             "no status report"),
        ]
        for call, error, code, words in cases:
            with self.assertRaises(error) as raised:
                call()
            self.assertIsInstance(raised.exception, cashdrawer.CashDrawerError)
            self.assertEqual(raised.exception.code, code)
            self.assertIn(words, raised.exception.text)
            self.assertIn(words, str(raised.exception))
        self.drawers.open_drawer("RN370_CashA")
        self.assertEqual(self.drawers.last_error(), "")

    def test_waits_and_confirmed_kicks(self):
        self.set_port(0x53A, 0xFB)  # RN340 drawer A reads 1
        self.assertTrue(self.drawers.wait_status("RN340_CashA", 1, 0))
        self.assertFalse(self.drawers.wait_status("RN340_CashA", 0, 200))
        self.assertEqual(self.trace().count("pause 50 ms"), 4)
        self.assertFalse(self.drawers.open_confirmed("RN340_CashA", 100))

    def test_times_in_seconds_or_in_milliseconds(self):
        self.set_port(0x53A, 0xFB)  # RN340 drawer A reads 1
        self.assertFalse(self.drawers.wait_status("RN340_CashA", 0, timeout=0.2))
        self.assertEqual(self.trace().count("pause 50 ms"), 4, "0.2 s is 200 ms, four pauses of 50")
        self.assertFalse(self.drawers.wait_status("RN340_CashA", 0, timeout_ms=100))
        self.assertTrue(self.drawers.wait_status("RN340_CashA", 1, timeout=0))
        self.assertFalse(self.drawers.open_confirmed("RN340_CashA", timeout=0.1))
        refused = [
            ({}, TypeError),  # neither
            ({"timeout": 1.0, "timeout_ms": 1000}, TypeError),  # both
            ({"timeout": -0.001}, ValueError),
            ({"timeout": 2147483.648}, ValueError),  # one millisecond past the library's int
        ]
        for arguments, error in refused:
            with self.subTest(arguments=arguments), self.assertRaises(error):
                self.drawers.wait_status("RN340_CashA", 1, **arguments)
        self.assertTrue(self.drawers.wait_status("RN340_CashA", 1, timeout=2147483.647))  # the longest; met at once

    def test_defaults_health_and_version(self):
        self.assertFalse(self.drawers.open_default())  # none chosen: the defaults are written
        self.assertTrue(os.path.exists("CashDrawerconfig.ini"))
        self.set_port(0x50E, 0xFF)
        self.assertTrue(self.drawers.open_default())
        well, report = self.drawers.health("RN340_CashA")
        self.assertTrue(well)
        self.assertTrue(report["portIo"]["starts"])
        self.assertEqual(report["configuration"]["chosenDrawer"], "RN340_CashA")
        self.assertEqual(report["version"], self.drawers.version())
        self.assertRegex(self.drawers.version(), r"^\d+\.\d+\.\d+$")
        with self.assertRaises(cashdrawer.UnknownDrawerError):
            self.drawers.health("RN340_Cash")
        self.assertEqual(cashdrawer.__version__, self.drawers.version())

    def test_health_of_a_terminal_with_a_part_missing(self):
        # The file sets up the serial drawer, whose device is not there:
        # the whole terminal is not well, and the report says where.
        with open("CashDrawerconfig.ini", "w") as ini:
            ini.write("[DL470_CashA]\nComNuM=3\n")
        well, report = self.drawers.health()
        self.assertFalse(well)
        self.assertEqual(report["drawerId"], "(the whole terminal)")
        self.assertTrue(report["serial"]["configured"])
        self.assertFalse(report["serial"]["reportsArrive"])
        self.assertIn("no status report", report["problems"])
        self.assertIn("no status report", self.drawers.last_error())

    def test_a_report_exactly_the_size_of_the_first_buffer_is_read_whole(self):
        # The package's first buffer holds 255 bytes and the terminator: a
        # text of 256 bytes must be asked for again, not cut.
        for length in (255, 256, 257):
            text = "x" * length
            copies = []

            def copy(buffer, size, text=text):
                copies.append(size)
                ctypes.memmove(buffer, text.encode()[: size - 1] + b"\0", min(len(text), size - 1) + 1)
                return len(text)

            self.assertEqual(self.drawers._text(copy), (text, length))
            self.assertEqual(copies, [256] if length < 256 else [256, length + 1])


class TheLoadAndItsArguments(unittest.TestCase):
    def test_a_missing_library_names_every_place_tried(self):
        with self.assertRaises(cashdrawer.LibraryNotFoundError) as raised:
            cashdrawer.CashDrawer("/nonexistent/libcashdrawer.so.0")
        self.assertIn("/nonexistent/libcashdrawer.so.0: ", str(raised.exception))
        self.assertEqual(raised.exception.tried[0][0], "/nonexistent/libcashdrawer.so.0")
        self.assertIsInstance(raised.exception, OSError)

    def test_the_hint_is_the_platforms_own(self):
        tried = [("libcashdrawer.so.0", "not found")]
        linux = str(cashdrawer.LibraryNotFoundError(tried, platform="linux", bits=64))
        self.assertIn("install libcashdrawer.so.0 where the loader looks", linux)
        self.assertNotIn("DLL", linux)
        for bits, build in ((64, "win64"), (32, "win32")):
            windows = str(cashdrawer.LibraryNotFoundError(tried, platform="win32", bits=bits))
            self.assertIn(f"this Python is {bits}-bit: it loads the {build} build of the DLL only", windows)

    def test_the_dll_of_the_interpreters_kind_is_looked_for(self):
        present = {"/pos/Cash_Drawer_DLL.dll", "/pos/win32/Cash_Drawer_DLL.dll", "/pos/win64/Cash_Drawer_DLL.dll"}
        cases = [
            ("win32", 32, {"/pos/win32/Cash_Drawer_DLL.dll"}, ["/pos/win32/Cash_Drawer_DLL.dll", "Cash_Drawer_DLL.dll"]),
            ("win32", 64, present, ["/pos/Cash_Drawer_DLL.dll", "/pos/win64/Cash_Drawer_DLL.dll", "Cash_Drawer_DLL.dll"]),
            ("win32", 64, set(), ["Cash_Drawer_DLL.dll"]),
            ("linux", 64, {"/pos/libcashdrawer.so.0"}, ["/pos/libcashdrawer.so.0", "libcashdrawer.so.0"]),
        ]
        saved = os.environ.pop("CASHDRAWER_LIBRARY", None)
        try:
            for platform, bits, files, expected in cases:
                found = cashdrawer._candidates(None, platform, bits, "/pos", files.__contains__)
                self.assertEqual(found, expected, (platform, bits))
            self.assertEqual(cashdrawer._candidates("/x.dll"), ["/x.dll"])
        finally:
            if saved is not None:
                os.environ["CASHDRAWER_LIBRARY"] = saved

    def test_an_identifier_of_the_wrong_type_is_a_type_error(self):
        drawers = cashdrawer.CashDrawer(SIMULATED)
        for wrong in (340, None, 3.4, ["RN340_CashA"]):
            with self.assertRaises(TypeError):
                drawers.drawer_status(wrong)
        with self.assertRaises(UnicodeEncodeError):
            drawers.drawer_status("RN340_Cash\u00c4")

    def test_the_context_manager_unloads_the_library(self):
        with cashdrawer.CashDrawer(SIMULATED) as drawers:
            self.assertRegex(drawers.version(), r"^\d+\.\d+\.\d+$")
        with self.assertRaises(cashdrawer.CashDrawerError) as raised:
            drawers.version()
        self.assertIn("closed", str(raised.exception))
        drawers.close()  # a second close does nothing


if __name__ == "__main__":
    unittest.main()
