"""The process sweep under Wine: running product executables terminated
before any uninstaller starts, and nothing else touched."""

import unittest

import harness
from run_names import PRODUCT_PROCESS_NAMES

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

        self.run_and_assert_swept(machine, products, others)


if __name__ == "__main__":
    unittest.main()
