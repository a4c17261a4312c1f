"""The installer-product phase under Wine: real MSI packages built with
wixl, installed per user and per machine, found by name and removed through
msiexec, with the console and the message box checked exactly."""

import unittest

import expected
import harness

machine = None

PRODUCT = expected.PRODUCT
# Distinct digits in every group, so that a wrongly packed registry key
# cannot pass by accident.
PER_USER_CODE = "{6F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}"
PER_MACHINE_CODE = "{0A1B2C3D-4E5F-4607-9819-2A3B4C5D6E7F}"
NEAR_MISS_CODE = "{9C8B7A6F-5E4D-4C3B-A291-807F6E5D4C3B}"
NEAR_MISS_NAME = "Tovik Workspace Starter 2"


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


class InstallerProductTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()
        machine.uninstall_all_products()

    def tearDown(self):
        machine.uninstall_all_products()

    def test_product_is_found_by_its_exact_name_and_removed(self):
        roaming = machine.roaming_windows
        for per_machine, word in [(False, "per-user"), (True, "per-machine")]:
            with self.subTest(per_machine=per_machine):
                machine.uninstall_all_products()
                code = PER_MACHINE_CODE if per_machine else PER_USER_CODE
                machine.install_msi(code, PRODUCT, per_machine)
                # A product whose name only begins with ours is not ours.
                machine.install_msi(NEAR_MISS_CODE, NEAR_MISS_NAME)
                self.assertEqual(machine.installed_products()[code],
                                 ("1" if per_machine else "0", PRODUCT))

                result = machine.run_program()

                self.assert_console(result, [
                    *expected.components(roaming, {}),
                    *expected.installer_product(code, word),
                    *expected.summary([PRODUCT]),
                ])
                self.assert_box(result,
                                "Uninstallation of Tovik Workspace Starter, "
                                "completed")
                self.assertEqual(machine.installed_products(),
                                 {NEAR_MISS_CODE: ("0", NEAR_MISS_NAME)})

    def test_components_first_then_the_product_in_the_summary(self):
        roaming = machine.roaming_windows
        for component in harness.COMPONENTS:
            machine.plant_stand_in(machine.component_folder(component),
                                   exit_code=0)
        machine.install_msi(PER_USER_CODE, PRODUCT)

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(roaming, {
                component: expected.removed(roaming, component, 0)
                for component in harness.COMPONENTS
            }),
            *expected.installer_product(PER_USER_CODE, "per-user"),
            *expected.summary([*harness.COMPONENTS, PRODUCT]),
        ])
        self.assert_box(
            result, "Uninstallation of Tovik Hosted Apps Client, "
            "Tovik Remote Desk Client, Device Inspector, Deploy Client, "
            "Tovik Workspace Starter, completed")
        self.assertEqual(machine.installed_products(), {})

    def test_product_is_removed_even_when_the_roaming_folder_is_unknown(self):
        machine.install_msi(PER_USER_CODE, PRODUCT)
        missing_folder = machine.drive_c / "e2e" / "no such folder"
        machine.set_roaming_folder(machine.windows_path(missing_folder))

        result = machine.run_program(remove_first=[missing_folder])

        self.assert_console(result, [
            "SHGetKnownFolderPath() failed for "
            "FOLDERID_RoamingAppData(%APPDATA%). Error:-2147024893.",
            *expected.installer_product(PER_USER_CODE, "per-user"),
            *expected.summary([PRODUCT]),
        ])
        self.assertEqual(machine.installed_products(), {})


if __name__ == "__main__":
    unittest.main()
