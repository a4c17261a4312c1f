"""The process sweep under Wine: running product executables terminated
before any uninstaller starts, hardened ones included, and nothing else
touched."""

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

    def test_hardened_product_executables_are_terminated(self):
        # Endpoint agents and anti-tamper code leave others only terminate,
        # limited query and synchronize on their own processes. Those the
        # user may end are ended like any other, and a hardened look-alike
        # is still another program.
        inspector = machine.component_folder("Device Inspector")
        machine.plant_stand_in(inspector, exit_code=0)
        remote_desk = "tvRemoteDesk.exe"
        survivors = [remote_desk.upper(), remote_desk + ".old"]
        names = [*PRODUCT_PROCESS_NAMES, remote_desk, *survivors]
        paths = [machine.plant_process_stand_in(name, hardened=True)
                 for name in names]
        for path in paths:
            machine.start_process(path)
        hardened = machine.wait_until_hardened(paths)
        listed = machine.wait_for_processes(names)
        products = [(pid, name) for pid, name in listed
                    if name in PRODUCT_PROCESS_NAMES]
        self.assertEqual(sorted(name for _, name in products),
                         sorted([*PRODUCT_PROCESS_NAMES, remote_desk]))
        others = [(pid, name) for pid, name in listed if name in survivors]
        self.assertEqual(sorted(hardened),
                         sorted(pid for pid, _ in products + others))

        # The control: they refuse the wider rights, so the run below shows
        # the sweep ending processes it could not have opened with those.
        self.assert_hardened(machine, hardened)

        self.run_and_assert_swept(machine, products, others)


if __name__ == "__main__":
    unittest.main()
