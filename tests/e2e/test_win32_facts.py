"""The facts about Win32 that the unit tests' fake machine follows
(tests/facts), checked against Wine: each situation is set up for real (the
locale, the roaming folder, an installed MSI package built with wixl, a
window station nobody sees, a user who presses OK) and the runner checks
its rows there, Wine's own value where a row gives one. In a 64-bit Windows
the rows about processes run once more against 64-bit processes."""

import os
import shutil
import unittest
from pathlib import Path

import harness

machine = None


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


def runner(bits=32):
    variable = "TOVIK_FACTS" if bits == 32 else "TOVIK_FACTS64"
    path = os.environ.get(variable, "")
    if not Path(path).is_file():
        raise harness.HarnessError(f"{variable} names no facts runner: "
                                   f"{path!r}")
    return Path(path)


class Win32FactsTest(unittest.TestCase):

    maxDiff = None

    @classmethod
    def setUpClass(cls):
        machine.reset()
        machine.uninstall_all_products()
        described = machine.wine(runner(), "--product",
                                 attempts=harness.SETUP_ATTEMPTS)
        code, name = described.stdout.decode().strip().split("\t")
        machine.install_msi(code, name)
        cls.product = (code, name)

    @classmethod
    def tearDownClass(cls):
        machine.uninstall_all_products()
        machine.reset()

    def assert_held(self, run, output, exit_code):
        text = output.decode("utf-8", "replace").replace("\r\n", "\n")
        self.assertNotIn("not ok", text, f"in the {run} run:\n{text}")
        self.assertIn(" facts held", text, f"in the {run} run:\n{text}")
        self.assertEqual(exit_code, 0, f"in the {run} run:\n{text}")

    def run_facts(self, run, *extra, **kwargs):
        result = machine.wine(runner(), run, *extra, check=False, **kwargs)
        self.assert_held(run, result.stdout + result.stderr, result.returncode)

    def test_plain(self):
        self.assertEqual(machine.installed_products(),
                         {self.product[0]: ("0", self.product[1])})
        self.run_facts("plain")

    if harness.windows_kind() == "win64":
        def test_against_64_bit_processes(self):
            # The 32-bit runner's child processes are the x64 build's copies.
            self.run_facts("plain", "--children",
                           machine.any_windows_path(runner(64)))

    def test_code_page_1251(self):
        self.run_facts("code-page-1251", locale=harness.RUSSIAN)

    def test_library_search(self):
        self.run_facts("library-search")

    def test_roaming_folder_missing(self):
        missing = machine.drive_c / "e2e" / "missing" / "Roaming"
        machine.set_roaming_folder(machine.windows_path(missing))
        try:
            shutil.rmtree(missing.parent, ignore_errors=True)
            self.run_facts("roaming-folder-missing")
        finally:
            machine.reset()

    def test_hidden_station(self):
        run = machine.run_unseen([runner(), "hidden-station"])
        self.assertTrue(run.ended, "the runner did not end")
        self.assert_held("hidden-station", run.stdout + run.stderr,
                         run.exit_code)

    def test_message_box(self):
        result = machine.run_program("message-box", exe=runner())
        self.assertTrue(result.box.get("closed"), result.box)
        self.assert_held("message-box", result.stdout + result.stderr,
                         result.exit_code)


if __name__ == "__main__":
    unittest.main()
