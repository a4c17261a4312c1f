"""The program where no user can see it: on a window station of its own,
as under a service or a scheduled task that runs whether or not the user is
logged on. A message box there would wait for ever for a click nobody can
give; the program prints the box's text instead and ends by itself, having
done its whole job."""

import unittest

import expected
import harness
from expected import PRODUCT, removed

machine = None

# Distinct digits in every group, so that a wrongly packed registry key
# cannot pass by accident.
CODE = "{7B6A5948-3C2D-4E1F-8A0B-C9D8E7F6A5B4}"
# Long enough for the control's box to be up and waiting, however slowly
# the machine starts it.
CONTROL_WAIT_MS = 30 * 1000


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


class UnseenSessionTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()
        machine.uninstall_all_products()

    def tearDown(self):
        machine.uninstall_all_products()

    def assert_ended_by_itself(self, run):
        self.assertTrue(
            run.ended, f"still running after {run.seconds:.0f} s, so "
            f"terminated; it had printed: {run.stdout!r}")

    def test_a_message_box_there_waits_for_ever(self):
        # The control: without it, a program that never showed a box, or a
        # launcher that put it on the visible desktop, would pass the tests
        # below all the same.
        run = machine.run_unseen([machine.message_box],
                                 wait_ms=CONTROL_WAIT_MS)

        # Its station is not visible, and the box it then showed was still
        # up at the deadline.
        self.assertEqual(run.stdout, b"station flags:0\r\nMessageBoxA\r\n",
                         f"standard error: {run.stderr!r}")
        self.assertFalse(run.ended)
        self.assertTrue(run.terminated)

    def test_the_box_text_is_printed_and_the_run_ends_by_itself(self):
        roaming = machine.roaming_windows
        inspector = machine.component_folder("Device Inspector")
        for installed in [False, True]:
            with self.subTest(installed=installed):
                machine.reset()
                if installed:
                    machine.plant_stand_in(inspector, exit_code=0)
                    machine.install_msi(CODE, PRODUCT)
                    lines = [
                        *expected.components(roaming, {
                            "Device Inspector":
                                removed(roaming, "Device Inspector", 0),
                        }),
                        *expected.installer_product(CODE, "per-user"),
                        # Printed once, though the run both prints its
                        # summary and gives it in place of the box.
                        *expected.unseen_ending(["Device Inspector",
                                                 PRODUCT]),
                    ]
                else:
                    # Nothing found is said on the console too, here only:
                    # there is no box to say it.
                    lines = [*expected.components(roaming, {}),
                             *expected.unseen_ending()]

                run = machine.run_unseen()

                self.assert_ended_by_itself(run)
                self.assert_console(run, lines)
                if installed:
                    # Its children run there too, and do their work.
                    self.assertEqual(
                        [(r.event, r.path, r.command_line)
                         for r in machine.records(inspector)],
                        [("start", expected.uninstaller(roaming,
                                                        "Device Inspector"),
                          " /S")])
                    self.assertEqual(machine.installed_products(), {})


if __name__ == "__main__":
    unittest.main()
