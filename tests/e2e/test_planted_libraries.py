"""DLLs planted where the program is run from: beside it (a Downloads
folder, where any web page can drop a file) and in its current folder, under
the names of system libraries that are not Windows' known DLLs. None of them
may ever run inside the program, and the run must still do its work through
the real system libraries.

Wine prefers its own built-in DLLs, so each run forces Windows' order for
those names (native first, from the usual search path) with
WINEDLLOVERRIDES. Without that the planted DLLs could never load and the
test could not fail; the control case below shows that it can.

version.dll is left out: Wine's own user32 imports it before the program's
first instruction, and Wine has no known DLLs, so a planted version.dll
loads under Wine whatever the program does. On Windows user32 is a known
DLL, loaded from the system folder with its imports, before the program's
folder is ever looked at."""

import shutil
import unittest

import expected
import harness
from expected import PRODUCT

machine = None

CODE = "{5D4C3B2A-1F0E-4D9C-8B7A-695847362514}"
# msi.dll: the program's Windows Installer calls. cabinet.dll: loaded by the
# Windows Installer by name. uxtheme.dll: loaded by name for the message
# box.
PLANTED = ("msi.dll", "cabinet.dll", "uxtheme.dll")
NATIVE_FIRST = ",".join(name[:-len(".dll")] for name in PLANTED) + "=n,b"


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


def plant(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for name in PLANTED:
        shutil.copyfile(machine.planted_library, folder / name)


def markers():
    """The paths the planted DLLs were loaded from, so far."""
    path = machine.drive_c / "planted-markers.txt"
    return path.read_text().splitlines() if path.exists() else []


class PlantedLibraryTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()
        machine.uninstall_all_products()
        (machine.drive_c / "planted-markers.txt").unlink(missing_ok=True)

    def tearDown(self):
        machine.uninstall_all_products()

    def test_no_planted_library_runs_and_the_product_is_still_removed(self):
        downloads = machine.drive_c / "e2e" / "Downloads"
        plant(downloads)

        # The control: a program that imports msi.dll statically, as this
        # one once did, loads the planted copy beside it.
        old_way = downloads / "product_lister.exe"
        shutil.copyfile(machine.product_lister32, old_way)
        machine.wine(old_way, cwd=downloads, dll_overrides=NATIVE_FIRST)
        self.assertEqual(markers(),
                         [machine.windows_path(downloads / "msi.dll")],
                         "the planted msi.dll did not load beside a program "
                         "that imports it: this test could not fail")
        (machine.drive_c / "planted-markers.txt").unlink()
        old_way.unlink()

        elsewhere = machine.drive_c / "e2e" / "Tools"
        elsewhere.mkdir(parents=True)
        runs = {
            # Started from the Downloads folder, the way users do.
            "from its own folder": (downloads, downloads),
            # Started from a clean folder while the current folder holds
            # the planted DLLs.
            "with a planted current folder": (elsewhere, downloads),
        }
        roaming = machine.roaming_windows
        for what, (exe_folder, current) in runs.items():
            with self.subTest(what):
                machine.install_msi(CODE, PRODUCT)
                exe = exe_folder / "UninstallTovikComponents.exe"
                shutil.copyfile(machine.exe, exe)

                result = machine.run_program(exe=exe, cwd=current,
                                             dll_overrides=NATIVE_FIRST)

                self.assertEqual(markers(), [])
                self.assert_console(result, [
                    *expected.components(roaming, {}),
                    *expected.installer_product(CODE, "per-user"),
                    *expected.summary([PRODUCT]),
                ])
                self.assert_box(result, f"Uninstallation of {PRODUCT}, "
                                "completed")
                self.assertEqual(machine.installed_products(), {})


if __name__ == "__main__":
    unittest.main()
