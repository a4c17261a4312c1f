"""What only a 64-bit Windows has, where the 32-bit program runs under
WOW64: product processes that are 64-bit, beside 32-bit ones, and an x64
Windows Installer package installed per machine, removed through the msiexec
path that a 32-bit caller is redirected from."""

import unittest

import expected
import harness
from expected import PRODUCT
from run_names import PRODUCT_PROCESS_NAMES

machine = None

# Distinct digits in every group, so that a wrongly packed registry key
# cannot pass by accident.
X64_CODE = "{3E4D5C6B-7A89-4B0C-9D1E-F2A3B4C5D6E7}"


def setUpModule():
    global machine
    machine = harness.WineMachine()
    if machine.windows != "win64":
        machine.stop()
        raise harness.HarnessError("these tests need a 64-bit Windows; run "
                                   "them with TOVIK_E2E_WINDOWS=win64")


def tearDownModule():
    machine.stop()


class SixtyFourBitProcessTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()

    def test_64_bit_product_processes_are_terminated_like_32_bit_ones(self):
        # Many process calls fail across bitness (reading a 64-bit
        # process's modules from a 32-bit one, for a start): the sweep must
        # see 64-bit product processes as it sees 32-bit ones, and still
        # compare their names exactly, whole and case for case.
        inspector = machine.component_folder("Device Inspector")
        machine.plant_stand_in(inspector, exit_code=0)
        products64 = [*PRODUCT_PROCESS_NAMES, "tvRemoteDesk.exe"]
        products32 = ["tvRemoteDesk.exe", "TovikDeployClient.exe"]
        look_alikes64 = ["TVREMOTEDESK.EXE", "tvRemoteDesk.exe.old",
                         "mytvRemoteDesk.exe", "TovikDeployClient.exe.bak"]
        for bits, names in [(64, products64), (32, products32),
                            (64, look_alikes64)]:
            for name in names:
                machine.start_process(
                    machine.plant_process_stand_in(name, bits=bits))
        listed = machine.wait_for_processes(
            [*products64, *products32, *look_alikes64])
        products = [(pid, name) for pid, name in listed
                    if name in PRODUCT_PROCESS_NAMES]
        self.assertEqual(len(products), len(products64) + len(products32))
        others = [(pid, name) for pid, name in listed
                  if name in look_alikes64]

        self.run_and_assert_swept(machine, products, others)

    def test_hardened_64_bit_and_32_bit_product_processes_are_terminated(self):
        # A hardened process grants others only terminate, limited query
        # and synchronize, across bitness as well.
        inspector = machine.component_folder("Device Inspector")
        machine.plant_stand_in(inspector, exit_code=0)
        products64 = ["tvDeviceInspector.exe", "tvRemoteDesk.exe"]
        products32 = ["tvRemoteDesk.exe", "TovikDeployClient.exe"]
        paths = [machine.plant_process_stand_in(name, bits=bits,
                                                hardened=True)
                 for bits, names in [(64, products64), (32, products32)]
                 for name in names]
        for path in paths:
            machine.start_process(path)
        hardened = machine.wait_until_hardened(paths)
        listed = machine.wait_for_processes([*products64, *products32])
        products = [(pid, name) for pid, name in listed
                    if name in PRODUCT_PROCESS_NAMES]
        self.assertEqual(sorted(pid for pid, _ in products), sorted(hardened))
        self.assert_hardened(machine, hardened)

        self.run_and_assert_swept(machine, products, [])


class X64InstallerProductTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()
        machine.uninstall_all_products()

    def tearDown(self):
        machine.uninstall_all_products()

    def test_x64_per_machine_product_is_found_and_removed(self):
        folder = machine.install_msi(X64_CODE, PRODUCT, per_machine=True,
                                     x64=True)
        payload = machine.program_files(x64=True) / folder / "readme.txt"
        # Installed as an x64 package: into the 64-bit program files.
        self.assertTrue(payload.is_file(), payload)
        # Wine records it with assignment 0; the harness set the 1 that
        # Windows records for a per-machine product.
        self.assertEqual(machine.installed_products(),
                         {X64_CODE: ("1", PRODUCT)})

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(machine.roaming_windows, {}),
            *expected.installer_product(X64_CODE, "per-machine"),
            *expected.summary([PRODUCT]),
        ])
        self.assert_box(result,
                        "Uninstallation of Tovik Workspace Starter, completed")
        self.assertEqual(machine.installed_products(), {})
        self.assertFalse(payload.exists())


if __name__ == "__main__":
    unittest.main()
