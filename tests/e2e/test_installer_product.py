"""The installer-product phase under Wine: real MSI packages built with
wixl, installed per user and per machine, found by name and removed through
msiexec, with the console and the message box checked exactly."""

import unittest

import expected
import harness
from run_names import COMPONENTS

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
        for component in COMPONENTS:
            machine.plant_stand_in(machine.component_folder(component),
                                   exit_code=0)
        machine.install_msi(PER_USER_CODE, PRODUCT)

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(roaming, {
                component: expected.removed(roaming, component, 0)
                for component in COMPONENTS
            }),
            *expected.installer_product(PER_USER_CODE, "per-user"),
            *expected.summary([*COMPONENTS, PRODUCT]),
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
            expected.ROAMING_LOOKUP_FAILED,
            *expected.installer_product(PER_USER_CODE, "per-user"),
            *expected.summary([PRODUCT], components_not_looked_for=True),
        ])
        self.assert_box(result, expected.summary_text(
            [PRODUCT], components_not_looked_for=True))
        self.assertEqual(machine.installed_products(), {})

    def test_without_the_windows_installer_the_product_is_not_looked_for(self):
        # With Wine's msi.dll disabled the program's load of it fails with
        # ERROR_MOD_NOT_FOUND (126), as on a Windows whose installer is
        # broken. Then nobody knows whether the product is there: the
        # summary says so beside what else happened, and "nothing found" is
        # never said.
        roaming = machine.roaming_windows

        def nothing_else():
            return [], expected.components(roaming, {}), {}

        def one_component_removed_and_one_not_started():
            machine.plant_text_file(
                machine.component_folder("Device Inspector"))
            machine.plant_stand_in(machine.component_folder("Deploy Client"),
                                   exit_code=0)
            return [], expected.components(roaming, {
                "Device Inspector":
                    expected.not_started(roaming, "Device Inspector", 193),
                "Deploy Client":
                    expected.removed(roaming, "Deploy Client", 0),
            }), dict(completed=["Deploy Client"],
                     not_completed=["Device Inspector"])

        def no_roaming_folder_either():
            missing_folder = machine.drive_c / "e2e" / "no such folder"
            machine.set_roaming_folder(machine.windows_path(missing_folder))
            return ([missing_folder], [expected.ROAMING_LOOKUP_FAILED],
                    dict(components_not_looked_for=True))

        for arrange in [nothing_else,
                        one_component_removed_and_one_not_started,
                        no_roaming_folder_either]:
            with self.subTest(arrange.__name__):
                machine.reset()
                remove_first, component_lines, summary = arrange()

                result = machine.run_program(remove_first=remove_first,
                                             dll_overrides="msi=")

                self.assert_console(result, [
                    *component_lines,
                    expected.msi_not_loaded(126),
                    *expected.summary(**summary, product_not_looked_for=True),
                ])
                self.assert_box(result, expected.summary_text(
                    **summary, product_not_looked_for=True))


class MsiexecExitCodeTest(harness.WineTestCase):
    """msiexec's answer, from a stand-in put in place of Wine's msiexec.exe
    (Wine's own never asks for a restart); the product list stays the real
    Windows Installer's."""

    def setUp(self):
        machine.reset()
        machine.uninstall_all_products()

    def tearDown(self):
        # The real msiexec first: it is what removes the product.
        machine.restore_msiexec()
        machine.uninstall_all_products()

    def test_restart_is_asked_for_when_msiexec_says_one_is_needed(self):
        machine.install_msi(PER_USER_CODE, PRODUCT)
        roaming = machine.roaming_windows
        cases = [
            # ERROR_SUCCESS_REBOOT_REQUIRED: removed, once Windows restarts.
            (3010, dict(completed=[PRODUCT], restart_needed=True)),
            # ERROR_SUCCESS_REBOOT_INITIATED: the restart is on its way, so
            # there is nothing to ask for.
            (1641, dict(completed=[PRODUCT])),
            # ERROR_INSTALL_FAILURE.
            (1603, dict(not_completed=[PRODUCT])),
        ]
        for exit_code, summary in cases:
            with self.subTest(exit_code=exit_code):
                machine.reset()
                folder = machine.plant_msiexec_stand_in(exit_code)

                result = machine.run_program(
                    dll_overrides=harness.NATIVE_MSIEXEC)

                self.assert_console(result, [
                    *expected.components(roaming, {}),
                    *expected.installer_product(
                        PER_USER_CODE, "per-user", exit_code,
                        completed="completed" in summary),
                    *expected.summary(**summary),
                ])
                self.assert_box(result, expected.summary_text(**summary))
                self.assertEqual(
                    [(r.event, r.command_line)
                     for r in machine.records(folder)],
                    [("start", f" /q /x {PER_USER_CODE} /norestart")])
                # The stand-in answered, not Wine's msiexec: the product is
                # still there.
                self.assertIn(PER_USER_CODE, machine.installed_products())


if __name__ == "__main__":
    unittest.main()
