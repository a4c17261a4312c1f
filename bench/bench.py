"""Times UninstallTovikComponents.exe under Wine, with no display, against
two yardsticks, and prints the minimum and median wall times and their
ratios side by side:

  (a) the program on a machine where nothing is installed and nothing runs,
      against do_nothing.exe, which loads the same system DLLs and exits:
      the program's own work over the start-up every such program pays.
      Goal: median ratio at most 1.15.
  (b) the program with 40 running product-process stand-ins and nothing to
      uninstall, against Wine's own `taskkill /F /IM <name>` with the five
      product names over the same 40 processes, each run starting from the
      same state. Goal: ratio at most 1.0.

What is timed is the wall time of one `wine <exe>` invocation, from its
start until it exits. Both sides of a comparison run in the same throwaway
prefix, in alternating order, after warm-up runs that are not counted; the
prefix's wineserver is kept running throughout, so that neither side pays
for starting it. Every timed run is checked for having done its job (the
program's console output, taskkill's exit code, all 40 stand-ins gone);
a run that did not fails the benchmark.

Run it through scripts/bench.sh, which builds first.
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402
import expected  # noqa: E402
from run_names import PRODUCT_PROCESS_NAMES  # noqa: E402

GOAL_IDLE = 1.15  # program / do-nothing, medians
GOAL_SWEEP = 1.0  # program / taskkill
RUN_TIMEOUT = 120  # seconds for one timed run
STOP_TIMEOUT = 30  # seconds for the stand-ins to be gone after a run
SETTLE_SECONDS = 0.5  # after the stand-ins are listed, before a timed run


class BenchError(Exception):
    """A run did not do what it was timed for."""


class Side:
    """One side of a comparison: how it is called in the table, the command,
    and a check of what the command printed and left behind."""

    def __init__(self, label, short, command, check):
        self.label = label
        self.short = short
        self.command = command
        self.check = check
        self.seconds = []


def timed_run(machine, command):
    """Runs one Windows command in the prefix and returns its wall time and
    standard output; an exit code other than 0 fails the benchmark. Output
    goes to files: under Wine a pipe could stay open after the program
    itself has ended."""
    with tempfile.TemporaryFile(dir=machine.work_dir) as out, \
            tempfile.TemporaryFile(dir=machine.work_dir) as err:
        started = time.perf_counter()
        process = machine.start(command, stdout=out, stderr=err)
        # Popen.wait() with a timeout polls, at most every 50 ms, and would
        # round every time up to its next poll; without one it blocks in
        # waitpid and returns the moment the process ends. A watchdog
        # thread enforces the time limit instead.
        watchdog = threading.Timer(RUN_TIMEOUT, process.kill)
        watchdog.start()
        try:
            exit_code = process.wait()
        finally:
            watchdog.cancel()
        seconds = time.perf_counter() - started
        if seconds >= RUN_TIMEOUT:
            raise BenchError(f"{command} did not end in {RUN_TIMEOUT} s")
        out.seek(0)
        err.seek(0)
        if exit_code != 0:
            raise BenchError(f"{command} exited with {exit_code}:\n"
                             f"{out.read()!r}\n{err.read()!r}")
        return seconds, out.read()


def console_lines(output):
    return output.decode("cp1252", "replace").split("\r\n")


def check_idle_program(output, machine):
    """Nothing installed, nothing running: four components looked for and
    not found, no process terminated, no product removed."""
    due = [*expected.components(machine.roaming_windows, {}), ""]
    if console_lines(output) != due:
        raise BenchError(f"the program printed {output!r}; expected "
                         f"{due!r}")


def check_do_nothing(output, machine):
    if output:
        raise BenchError(f"do_nothing.exe printed {output!r}")


class StandIns:
    """The product-process stand-ins: stand_in.exe copied under the five
    product names in turn (each name in a folder of its own), sleeping for
    ever."""

    def __init__(self, machine, count):
        self.machine = machine
        self.paths = []
        for index in range(count):
            name = PRODUCT_PROCESS_NAMES[index % len(PRODUCT_PROCESS_NAMES)]
            self.paths.append(machine.plant_process_stand_in(name))
        self.names = [path.name for path in self.paths]
        self.processes = []

    def start(self):
        """Starts all of them and returns once every one is listed."""
        if any(process.poll() is None for process in self.processes):
            raise BenchError("stand-ins of the last run are still running")
        self.processes = [self.machine.start([path]) for path in self.paths]
        self.machine.wait_for_processes(self.names)
        time.sleep(SETTLE_SECONDS)

    def assert_all_ended(self, who):
        deadline = time.monotonic() + STOP_TIMEOUT
        for process in self.processes:
            try:
                process.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                running = sum(p.poll() is None for p in self.processes)
                raise BenchError(f"{running} of {len(self.processes)} "
                                 f"stand-ins survived {who}") from None

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()


def sweeping_program_check(stand_ins):
    def check(output, machine):
        terminated = sorted(line.split("(")[0].removeprefix("Terminating ")
                            for line in console_lines(output)
                            if line.startswith("Terminating "))
        launched = [line for line in console_lines(output)
                    if line.startswith(" Launching ")]
        if terminated != sorted(stand_ins.names) or launched:
            raise BenchError(f"the program terminated {terminated} and "
                             f"launched {launched}; expected "
                             f"{sorted(stand_ins.names)} and nothing:\n"
                             f"{output!r}")
        stand_ins.assert_all_ended("the program")
    return check


def taskkill_check(stand_ins):
    def check(output, machine):
        stand_ins.assert_all_ended("taskkill")
    return check


def compare(machine, sides, runs, warmups, before_each=None, progress=None):
    """Runs both sides `warmups` + `runs` times, alternating which goes
    first, and keeps the times of the last `runs` rounds."""
    for round_number in range(warmups + runs):
        order = sides if round_number % 2 == 0 else sides[::-1]
        for side in order:
            if before_each is not None:
                before_each()
            seconds, output = timed_run(machine, side.command)
            side.check(output, machine)
            if round_number >= warmups:
                side.seconds.append(seconds)
        if progress:
            progress(round_number + 1, warmups + runs)


def milliseconds(seconds):
    return f"{seconds * 1000:9.1f}"


def report(title, program, baseline, goal, verbose):
    """Prints one comparison: both sides' minimum and median, the ratios,
    and whether the median ratio meets the goal."""
    print(f"\n{title}")
    print(f"  {'':44} {'runs':>4} {'min ms':>9} {'median ms':>9}")
    for side in (program, baseline):
        print(f"  {side.label:44} {len(side.seconds):4} "
              f"{milliseconds(min(side.seconds))} "
              f"{milliseconds(statistics.median(side.seconds))}")
        if verbose:
            print("    " + " ".join(f"{s * 1000:.0f}" for s in side.seconds))
    min_ratio = min(program.seconds) / min(baseline.seconds)
    median_ratio = (statistics.median(program.seconds) /
                    statistics.median(baseline.seconds))
    verdict = "met" if median_ratio <= goal else "MISSED"
    print(f"  {program.short + ' / ' + baseline.short:44} {'':4} "
          f"{min_ratio:9.3f} {median_ratio:9.3f}   "
          f"goal <= {goal} (median): {verdict}")
    return median_ratio <= goal


def describe_machine(machine):
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    wine = subprocess.run([str(machine.wine_binary), "--version"],
                          capture_output=True, text=True).stdout.strip()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"{platform.node()}: {cpu}, {os.cpu_count()} cores, "
            f"{platform.system()} {platform.release()}, {wine}, "
            f"load average {load}")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--build-dir", default="build",
                        help="the native build folder (default: build)")
    parser.add_argument("--runs", type=int, default=15,
                        help="timed runs per side (default and minimum "
                        "for figures worth recording: 15)")
    parser.add_argument("--warmups", type=int, default=2,
                        help="uncounted rounds first (default: 2)")
    parser.add_argument("--processes", type=int, default=40,
                        help="product-process stand-ins in (b) "
                        "(default: 40)")
    parser.add_argument("--verbose", action="store_true",
                        help="also print every run's time")
    args = parser.parse_args()
    if args.runs < 1 or args.warmups < 0 or args.processes < 1:
        parser.error("--runs and --processes must be positive, --warmups "
                     "not negative")

    windows = (ROOT / args.build_dir).resolve() / "windows"
    do_nothing = windows / "bench" / "do_nothing.exe"
    if not do_nothing.is_file():
        raise harness.HarnessError(f"{do_nothing} does not exist; build "
                                   "first (scripts/bench.sh does)")
    harness.use_build(ROOT / args.build_dir)

    print("Making a throwaway Wine prefix with no display...", flush=True)
    machine = harness.WineMachine(headless=True)
    stand_ins = None
    try:
        print(describe_machine(machine))
        print(f"{args.runs} timed runs per side after {args.warmups} "
              "warm-up rounds; wall time of each `wine <exe>`.", flush=True)

        def progress(done, total):
            if sys.stdout.isatty():
                print(f"  round {done}/{total}", end="\r", flush=True)

        print("\n(a) running: nothing installed, nothing running", flush=True)
        idle_program = Side("UninstallTovikComponents.exe", "program",
                            [machine.exe], check_idle_program)
        idle_baseline = Side("do_nothing.exe (same DLLs, exits)",
                             "do-nothing", [do_nothing], check_do_nothing)
        compare(machine, [idle_program, idle_baseline], args.runs,
                args.warmups, progress=progress)

        print(f"\n(b) running: {args.processes} product processes, nothing "
              "to uninstall", flush=True)
        stand_ins = StandIns(machine, args.processes)
        names = [a for name in PRODUCT_PROCESS_NAMES for a in ("/IM", name)]
        sweep_program = Side("UninstallTovikComponents.exe", "program",
                             [machine.exe], sweeping_program_check(stand_ins))
        sweep_baseline = Side("taskkill /F /IM <5 product names>",
                              "taskkill", ["taskkill", "/F", *names],
                              taskkill_check(stand_ins))
        compare(machine, [sweep_program, sweep_baseline], args.runs,
                args.warmups, before_each=stand_ins.start, progress=progress)

        print()
        idle_met = report("(a) nothing installed, nothing running",
                          idle_program, idle_baseline, GOAL_IDLE,
                          args.verbose)
        sweep_met = report(f"(b) {args.processes} product processes, "
                           "nothing to uninstall", sweep_program,
                           sweep_baseline, GOAL_SWEEP, args.verbose)
        print(f"\nGoals: (a) {'met' if idle_met else 'MISSED'}, "
              f"(b) {'met' if sweep_met else 'MISSED'}.")
    finally:
        if stand_ins is not None:
            stand_ins.stop()
        machine.stop()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (BenchError, harness.HarnessError) as error:
        print(f"\nbench: {error}", file=sys.stderr)
        sys.exit(1)
