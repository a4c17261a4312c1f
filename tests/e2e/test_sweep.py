"""The process sweep under Wine: running product executables terminated
before any uninstaller starts, and nothing else touched."""

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


class ProcessSweepTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()

    def start_stand_ins(self, names):
        """Starts a stand-in under each file name, twice for a name given
        twice; returns the process list once they all run."""
        for name in names:
            machine.start_process(machine.plant_process_stand_in(name))
        return machine.wait_for_processes(names)

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
            sweep += expected.terminated(name, pid)
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
            lambda: not set(products) & set(machine.processes()),
            harness.PROCESS_TIMEOUT,
            "the terminated processes to go")
        running = machine.processes()
        for process in others:
            self.assertIn(process, running)


if __name__ == "__main__":
    unittest.main()
