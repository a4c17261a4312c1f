"""The process sweep under Wine: running product executables terminated
before any uninstaller starts, and nothing else touched."""

import re
import unittest

import expected
import harness
from harness import PRODUCT_PROCESS_NAMES

machine = None


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


# Termination is asynchronous: the exit code read right after it is 0 or
# STILL_ACTIVE (259), depending on how far the process has gone down; the
# result of an accepted TerminateProcess is any non-zero value.
RESULT_LINE = re.compile(
    r"TerminateProcess result:-?[1-9][0-9]* and exitcode:0,(0|259) ")
ANY_RESULT_LINE = ("TerminateProcess result:<non-zero> and "
                   "exitcode:0,<0 or 259> ")


class ProcessSweepTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()

    def start_stand_ins(self, names):
        """Starts a stand-in under each file name, twice for a name given
        twice; returns the process list once they all run."""
        for name in names:
            machine.start_process(machine.plant_process_stand_in(name))
        return machine.wait_for_processes(names)

    def assert_console_with_results(self, result, lines):
        """Like assert_console, where ANY_RESULT_LINE stands for any line
        that RESULT_LINE matches."""
        actual = result.stdout.decode("cp1252", "backslashreplace")
        actual = actual.split("\r\n")
        resolved = [
            actual[i] if line == ANY_RESULT_LINE and i < len(actual)
            and RESULT_LINE.fullmatch(actual[i]) else line
            for i, line in enumerate(lines)
        ]
        self.assert_console(result, resolved)

    def test_running_product_executables_are_terminated_before_removal(self):
        roaming = machine.roaming_windows
        inspector = machine.component_folder("Device Inspector")
        machine.plant_stand_in(inspector, exit_code=0)
        # Names are compared exactly and whole: another letter case, an
        # added extension or a longer name is another program.
        survivors = ["TVREMOTEDESK.EXE", "tvRemoteDesk.exe.old",
                     "mytvRemoteDesk.exe"]
        listed = self.start_stand_ins(
            [*PRODUCT_PROCESS_NAMES, "tvRemoteDesk.exe", *survivors])
        # The sweep meets them in the system's order, as the lister does.
        products = [(pid, name) for pid, name in listed
                    if name in PRODUCT_PROCESS_NAMES]
        self.assertEqual(sorted(name for _, name in products),
                         sorted([*PRODUCT_PROCESS_NAMES, "tvRemoteDesk.exe"]))
        others = [(pid, name) for pid, name in listed if name in survivors]

        result = machine.run_program()

        sweep = []
        for pid, name in products:
            sweep += [f"Terminating {name}({pid})", ANY_RESULT_LINE]
        self.assert_console_with_results(result, [
            *sweep,
            *expected.components(roaming, {
                "Device Inspector":
                    expected.removed(roaming, "Device Inspector", 0),
            }),
            *expected.summary(["Device Inspector"]),
        ])
        self.assert_box(result,
                        "Uninstallation of Device Inspector, completed")
        harness.wait_until(
            lambda: not set(products) & set(machine.processes()), 30,
            "the terminated processes to go")
        running = machine.processes()
        for process in others:
            self.assertIn(process, running)


if __name__ == "__main__":
    unittest.main()
