"""The clean-up run under Wine: per-user component uninstallers found,
started and reported, the roaming folder in its awkward cases, and the
closing message box."""

import unittest

import expected
import harness
from expected import NOTHING_FOUND, not_started, removed
from run_names import COMPONENTS

machine = None


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


class ComponentTestCase(harness.WineTestCase):

    def setUp(self):
        machine.reset()

    def assert_started_once(self, folder, path, events=("start",)):
        """The stand-in in `folder` ran once, from `path`, with the command
        line " /S" alone, and recorded `events` so far."""
        self.assertEqual(
            [(r.event, r.path, r.command_line)
             for r in machine.records(folder)],
            [(event, path, " /S") for event in events])


class ComponentRemovalTest(ComponentTestCase):

    def test_nothing_installed(self):
        result = machine.run_program()

        roaming = machine.roaming_windows
        self.assert_console(result, expected.components(roaming, {}))
        self.assert_box(result, NOTHING_FOUND)

    def test_present_components_are_run_in_order_whatever_the_arguments(self):
        roaming = machine.roaming_windows
        # The program takes no arguments; any that are given change nothing,
        # and none of them reaches an uninstaller.
        for args in [(), ("/S",), ("--help", "Device Inspector", "/?")]:
            with self.subTest(args=args):
                machine.reset()
                inspector = machine.component_folder("Device Inspector")
                deploy = machine.component_folder("Deploy Client")
                machine.plant_stand_in(inspector, exit_code=3)
                machine.plant_stand_in(deploy, exit_code=0)

                result = machine.run_program(*args)

                self.assert_console(result, [
                    *expected.components(roaming, {
                        "Device Inspector":
                            removed(roaming, "Device Inspector", 3),
                        "Deploy Client": removed(roaming, "Deploy Client", 0),
                    }),
                    *expected.summary(["Device Inspector", "Deploy Client"]),
                ])
                self.assert_box(
                    result,
                    "Uninstallation of Device Inspector, Deploy Client, "
                    "completed")
                self.assert_started_once(
                    inspector, expected.uninstaller(roaming,
                                                    "Device Inspector"))
                self.assert_started_once(
                    deploy, expected.uninstaller(roaming, "Deploy Client"))

    def test_uninstaller_that_outlives_the_wait_is_left_running(self):
        roaming = machine.roaming_windows
        folder = machine.component_folder("Tovik Remote Desk Client")
        path = expected.uninstaller(roaming, "Tovik Remote Desk Client")
        # Asleep for well beyond the program's ten-second wait.
        machine.plant_stand_in(folder, exit_code=4, sleep_ms=40000)

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(roaming, {
                "Tovik Remote Desk Client":
                    removed(roaming, "Tovik Remote Desk Client", 259),
            }),
            *expected.summary(["Tovik Remote Desk Client"]),
        ])
        self.assert_box(
            result, "Uninstallation of Tovik Remote Desk Client, completed")
        # It waited the ten seconds, and not for the uninstaller's end: the
        # uninstaller outlived the program and finishes by itself later.
        self.assertGreaterEqual(result.seconds, 10)
        self.assert_started_once(folder, path)
        pid = machine.records(folder)[0].pid
        self.assertIn((pid, "uninstall.exe"), machine.processes())
        harness.wait_until(lambda: len(machine.records(folder)) == 2,
                           harness.PROCESS_TIMEOUT,
                           "the uninstaller to finish its sleep")
        self.assert_started_once(folder, path, events=("start", "done"))

    def test_uninstall_exe_that_is_no_file_counts_as_absent(self):
        # A component folder without an uninstaller, and one whose
        # uninstall.exe is a folder: neither can be opened as a file. Each
        # component's folder has each in one of the two runs, named from the
        # same list as the expected lines, so that a renamed component
        # cannot leave a run with nothing planted where the program looks.
        for first_without in (True, False):
            with self.subTest(first_without_uninstaller=first_without):
                machine.reset()
                for i, component in enumerate(COMPONENTS):
                    folder = machine.component_folder(component)
                    if (i % 2 == 0) == first_without:
                        folder.mkdir(parents=True)
                    else:
                        machine.plant_folder(folder)

                result = machine.run_program()

                self.assert_console(
                    result, expected.components(machine.roaming_windows, {}))
                self.assert_box(result, NOTHING_FOUND)

    def test_uninstaller_that_cannot_start_did_not_complete(self):
        # A text file named uninstall.exe is there but is no program; the
        # start fails with ERROR_BAD_EXE_FORMAT (193). The working one next
        # to it makes both summary lines show.
        roaming = machine.roaming_windows
        machine.plant_text_file(machine.component_folder("Device Inspector"))
        deploy = machine.component_folder("Deploy Client")
        machine.plant_stand_in(deploy, exit_code=0)

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(roaming, {
                "Device Inspector":
                    not_started(roaming, "Device Inspector", 193),
                "Deploy Client": removed(roaming, "Deploy Client", 0),
            }),
            *expected.summary(["Deploy Client"], ["Device Inspector"]),
        ])
        self.assert_box(
            result, expected.summary_text(["Deploy Client"],
                                          ["Device Inspector"]))
        self.assert_started_once(
            deploy, expected.uninstaller(roaming, "Deploy Client"))

    def test_failed_roaming_folder_lookup_skips_the_components(self):
        # The shell fails the lookup when the roaming folder is set to one
        # that does not exist. Uninstallers in the usual place must then
        # stay untouched: the program has no folder to look in. Nor may it
        # say that nothing was found: it could not look.
        missing_folder = machine.drive_c / "e2e" / "missing roaming"
        machine.set_roaming_folder(machine.windows_path(missing_folder))
        usual = [machine.component_folder(c) for c in COMPONENTS]
        for folder in usual:
            machine.plant_stand_in(folder)

        result = machine.run_program(remove_first=[missing_folder])

        self.assert_console(result, [
            expected.ROAMING_LOOKUP_FAILED,
            *expected.summary(components_not_looked_for=True),
        ])
        self.assert_box(result, expected.COMPONENTS_NOT_LOOKED_FOR)
        for folder in usual:
            self.assertEqual(machine.records(folder), [])

    def test_roaming_folder_with_latin1_letters(self):
        roaming_folder = machine.drive_c / "e2e" / "Café Roaming"
        roaming_folder.mkdir(parents=True)
        roaming = machine.windows_path(roaming_folder)
        machine.set_roaming_folder(roaming)
        folder = machine.component_folder("Deploy Client", roaming_folder)
        machine.plant_stand_in(folder, exit_code=0)

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(
                roaming,
                {"Deploy Client": removed(roaming, "Deploy Client", 0)}),
            *expected.summary(["Deploy Client"]),
        ])
        self.assertIn("\\Caf\xe9 Roaming\\".encode("cp1252"), result.stdout)
        self.assert_box(result, "Uninstallation of Deploy Client, completed")
        self.assert_started_once(
            folder, expected.uninstaller(roaming, "Deploy Client"))


class RoamingFolderOutsideTheCodePageTest(ComponentTestCase):
    """A roaming folder whose path has no form in the ANSI code page, so the
    narrow calls cannot name it: under code page 1252 a folder named in
    Cyrillic, or one below a folder named in Cyrillic and Chinese. Wine,
    like most Windows system volumes, gives every long name a short (8.3)
    one in ASCII, and through it the program still reaches the folder."""

    def plant(self, roaming_folder):
        """Makes `roaming_folder` the roaming folder, with Device
        Inspector's uninstaller in it, and plants the traps; returns the
        uninstaller's folder."""
        roaming_folder.mkdir(parents=True)
        machine.set_roaming_folder(machine.windows_path(roaming_folder))
        folder = machine.component_folder("Device Inspector", roaming_folder)
        machine.plant_stand_in(folder, exit_code=0)
        # What a program that dropped the folder would run instead: the
        # same components below \Tovik on the current drive (C:, where the
        # harness starts it), a place other users may be able to write.
        for trap in self.traps():
            machine.plant_stand_in(trap)
        return folder

    def traps(self):
        return [machine.drive_c / "Tovik" / c for c in COMPONENTS]

    def assert_no_trap_started(self):
        for trap in self.traps():
            self.assertEqual(machine.records(trap), [], trap)

    def test_under_code_page_1252_they_are_found_by_the_short_name(self):
        e2e = machine.drive_c / "e2e"
        for roaming_folder in [e2e / "Роуминг",
                               e2e / "Тест漢字" / "Roaming"]:
            with self.subTest(roaming_folder=roaming_folder.name):
                machine.reset()
                folder = self.plant(roaming_folder)
                # Learnt from Wine, not derived here: the short name is
                # Wine's to make.
                short = machine.short_path(roaming_folder)
                self.assertTrue(short.isascii(), short)
                self.assertNotEqual(short,
                                    machine.windows_path(roaming_folder))

                result = machine.run_program(locale=harness.WESTERN)

                # Every line names the folder by the path the program used.
                self.assert_console(result, [
                    *expected.components(short, {
                        "Device Inspector":
                            removed(short, "Device Inspector", 0),
                    }),
                    *expected.summary(["Device Inspector"]),
                ])
                self.assert_box(result,
                                "Uninstallation of Device Inspector, "
                                "completed")
                # The uninstaller planted there ran. Started through the
                # short path, it is still named by its long one: Wine's
                # CreateProcess hands the child its image's long path.
                self.assert_started_once(
                    folder,
                    expected.uninstaller(machine.windows_path(roaming_folder),
                                         "Device Inspector"))
                self.assert_no_trap_started()

    def test_under_code_page_1251_the_components_are_found(self):
        # The same Cyrillic folder has a narrow form in the Cyrillic code
        # page: there the program keeps the long name.
        roaming_folder = machine.drive_c / "e2e" / "Роуминг"
        roaming = machine.windows_path(roaming_folder)
        folder = self.plant(roaming_folder)

        result = machine.run_program(locale=harness.RUSSIAN)

        self.assert_console(result, [
            *expected.components(roaming, {
                "Device Inspector": removed(roaming, "Device Inspector", 0),
            }),
            *expected.summary(["Device Inspector"]),
        ], code_page="cp1251")
        # Wine labels the button in the user's language.
        self.assert_box(result, "Uninstallation of Device Inspector, completed",
                        ok_label="ОК")
        self.assert_started_once(
            folder, expected.uninstaller(roaming, "Device Inspector"))
        self.assert_no_trap_started()


if __name__ == "__main__":
    unittest.main()
