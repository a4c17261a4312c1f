"""A component uninstaller that is not ours: a real one written by NSIS,
which parses its own command line, installed by a real NSIS installer
built at test time."""

import unittest

import expected
import harness

machine = None

COMPONENT = "Deploy Client"
# An NSIS uninstaller copies itself to the temporary folder, starts the
# copy and returns at once; the copy removes the files a moment later, after
# the program's wait has ended.
REMOVAL_TIMEOUT = 10  # seconds after the run


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


class NsisUninstallerTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()

    def test_nsis_uninstaller_runs_silently_and_removes_its_component(self):
        roaming = machine.roaming_windows
        folder = machine.component_folder(COMPONENT)
        installed = machine.install_nsis_component(COMPONENT)

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(roaming, {
                COMPONENT: expected.removed(roaming, COMPONENT, 0),
            }),
            *expected.summary([COMPONENT]),
        ])
        # The only window of the run is the program's own box.
        self.assert_box(result, f"Uninstallation of {COMPONENT}, completed")
        harness.wait_until(lambda: not folder.exists(), REMOVAL_TIMEOUT,
                           f"the NSIS uninstaller to remove {installed}")
        # NSIS took " /S" as its silent switch: started once, it ran
        # without its dialog (which would have waited for a click).
        records = machine.nsis_records()
        self.assertEqual([mode for mode, _ in records], ["silent"], records)


if __name__ == "__main__":
    unittest.main()
