"""Runs UninstallTovikComponents.exe under Wine, in a throwaway prefix, and
shows the tests what it printed, what its message box said and what it
started.

One WineMachine per test module: its own Wine prefix in a temporary folder,
its own virtual X display (so that parallel test runs never share one), and
the small fixture programs built beside the executable.

A machine is one of two kinds of Windows, named as Wine's WINEARCH names them:
"win32", a 32-bit Windows, or "win64", a 64-bit Windows where the 32-bit
program runs under WOW64 (there, `wine` starts 32-bit and 64-bit programs
alike). TOVIK_E2E_WINDOWS picks the kind for a whole test module; CTest runs
each module once per kind it applies to.

The fixtures, 32-bit in TOVIK_FIXTURES; the first eight are also built for
x86-64 (TOVIK_FIXTURES64), and a 64-bit Windows uses those as its tools:

  stand_in.exe        an uninstaller, product process or msiexec that
                      records how it was started (see stand_in.c); as a
                      product process it can harden its own DACL, as
                      endpoint agents do, so that others may only terminate
                      it, query its limited information and wait for it
  box_reader.exe      reads the "Tovik" message box and presses OK
  process_lister.exe  prints "<pid>\\t<image base name>" per process
  desktop_keeper.exe  keeps Wine's desktop process up between runs
  product_lister.exe  prints "<code> <AssignmentType> <name>" per installed
                      Windows Installer product
  unseen_session.exe  runs a program on a window station of its own, which
                      no user sees, and reports whether it ended in time
  short_path.exe      prints the short (8.3) form of a path, in UTF-8
  open_probe.exe      opens processes with a given access mask and prints
                      whether each opened or the error: the control that
                      shows a hardened stand-in refuses what it should
                      (the 32-bit one by default, as the program opens them)
  message_box.exe     shows a message box and nothing else: the control for
                      the unseen session (32-bit, like the program)
  planted_library.dll a DLL that leaves a marker if it is ever loaded (see
                      planted_library.c)

Everything it needs comes from the environment (set by CMake): TOVIK_EXE,
TOVIK_FIXTURES, WINE, WINESERVER, XVFB; WINE64 (Wine's 64-bit loader) and
TOVIK_FIXTURES64 for 64-bit machines; WIXL for tests that build MSI packages
and MAKENSIS for the ones that build an NSIS installer. Anything missing
raises HarnessError: a test layer that cannot run must fail, never skip.

Later tests can drive anything else through the same prefix: wine() runs any
Windows command in it (for example msiexec with a package built by wixl into
machine.work_dir), and windows_path() names a file below drive_c the way
Windows programs see it.
"""

import json
import os
import struct
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass
from pathlib import Path

from run_names import PRODUCT_PROCESS_NAMES

USER_SHELL_FOLDERS = (r"HKCU\Software\Microsoft\Windows\CurrentVersion"
                      r"\Explorer\User Shell Folders")

# Wine derives the ANSI code page from the locale. Every run names its
# locale, so the host's own settings never leak in.
WESTERN = "C.UTF-8"  # code page 1252
RUSSIAN = "ru_RU.UTF-8"  # code page 1251

# Seconds. Bounds, not expected times: the longest run waits 10 s per
# uninstaller, and a loaded 2-core machine (or one whose kernel has qemu run
# 32-bit code) can be many times slower than a quiet one.
RUN_TIMEOUT = 900
BOX_TIMEOUT_MS = RUN_TIMEOUT * 1000
WINE_TIMEOUT = 600
PROCESS_TIMEOUT = 300  # for a process to start or end
# How often the harness runs one of its own queries or settings before a
# failure counts (wine()).
SETUP_ATTEMPTS = 3

# How long a run on an unseen window station may take before it counts as
# waiting for ever (run_unseen()).
UNSEEN_RUN_WAIT_MS = 180 * 1000
# The 32-bit program's msiexec is Wine's built-in one unless a run says
# otherwise (plant_msiexec_stand_in()).
NATIVE_MSIEXEC = "msiexec.exe=n"

# Access masks for OpenProcess (open_processes()). What a hardened stand-in
# grants everyone: terminate and the limited query right, all the sweep
# needs. Query, VM read and terminate are more than it grants.
TERMINATE_AND_LIMITED_QUERY = 0x1001
QUERY_READ_AND_TERMINATE = 0x411
ERROR_ACCESS_DENIED = 5

WINDOWS_KINDS = ("win32", "win64")
# The machine type in a PE file's header.
PE_MACHINES = {"x86": 0x014C, "x64": 0x8664}


class HarnessError(Exception):
    """The test machine cannot be set up or used as the tests expect."""


def use_build(build_dir):
    """Points the harness at a native build folder and the tools on PATH,
    for scripts that run outside ctest (which sets the same variables)."""
    build = Path(build_dir).resolve()
    windows = build / "windows"
    os.environ.update(
        TOVIK_EXE=str(windows / "UninstallTovikComponents.exe"),
        TOVIK_FIXTURES=str(windows / "tests" / "e2e" / "fixtures"),
        TOVIK_FIXTURES64=str(build / "tests" / "e2e" / "fixtures64"),
        WINE64=shutil.which("wine64", path="/usr/lib/wine") or "",
        **{variable: shutil.which(tool) or ""
           for variable, tool in [("WINE", "wine"),
                                  ("WINESERVER", "wineserver"),
                                  ("XVFB", "Xvfb"), ("WIXL", "wixl"),
                                  ("MAKENSIS", "makensis")]})


def windows_kind():
    """The kind of Windows this test run asks for: TOVIK_E2E_WINDOWS, or a
    64-bit one, where most users run the program, when it is not set (as
    for the demo and the benchmark)."""
    kind = os.environ.get("TOVIK_E2E_WINDOWS", "win64")
    if kind not in WINDOWS_KINDS:
        raise HarnessError(f"TOVIK_E2E_WINDOWS={kind!r}; expected one of "
                           f"{WINDOWS_KINDS}")
    return kind


def pe_machine(path):
    """The machine type a PE file is built for: "x86", "x64" or a number."""
    data = Path(path).read_bytes()
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[header:header + 4] != b"PE\0\0":
        raise HarnessError(f"{path} is no PE file")
    machine = struct.unpack_from("<H", data, header + 4)[0]
    names = {number: name for name, number in PE_MACHINES.items()}
    return names.get(machine, machine)


@dataclass
class RunResult:
    stdout: bytes  # exactly as written: text mode, so CR LF line ends
    exit_code: int  # as wine passes it on: the low 8 bits
    box: dict  # box_reader.exe's report
    seconds: float  # from start to exit of the program
    stderr: bytes


@dataclass
class Record:
    """One line of a stand-in's record file."""

    event: str  # "start", or "done" once its sleep has ended
    pid: int
    path: str  # GetModuleFileNameW
    command_line: str  # GetCommandLineW


@dataclass
class UnseenRun:
    """A run on a window station that no user sees (unseen_session.c)."""

    ended: bool  # by itself, within the wait
    terminated: bool  # still running at the deadline, and terminated then
    exit_code: int  # None unless it ended
    stdout: bytes  # exactly as written, as for RunResult
    stderr: bytes
    seconds: float  # from its start to its end, or to the deadline


def _required_file(variable):
    value = os.environ.get(variable)
    if not value:
        raise HarnessError(f"{variable} is not set; run the tests through ctest")
    path = Path(value)
    if not path.is_file():
        raise HarnessError(f"{variable}={value} does not exist; build first")
    return path


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise HarnessError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.2)


class WineMachine:

    def __init__(self, display=None, headless=False, windows=None):
        """`windows` is "win32" or "win64" (see windows_kind(), the
        default).

        `display` names an X display to use, such as the user's own;
        without one the machine starts a virtual display of its own.

        `headless=True` gives a machine with no display at all, as on a
        server, for timing runs (bench/bench.py): no X server, no DISPLAY in
        Wine's environment, no desktop keeper (it needs a window). Wine then
        creates no windows: MessageBoxA returns at once, and run_program(),
        which reads the box, cannot be used. What the keeper does for the
        desktop, a persistent wineserver does for Wine's services there: it
        keeps them up between runs, until stop()."""
        if headless and display is not None:
            raise HarnessError("a headless machine takes no display")
        self.headless = headless
        self.exe = _required_file("TOVIK_EXE")
        fixtures = os.environ.get("TOVIK_FIXTURES", "")
        self.stand_in = _required_file_in(fixtures, "stand_in.exe")
        # The one fixture that must be 32-bit: it imports msi.dll the way
        # the program once did (test_planted_libraries.py).
        self.product_lister32 = _required_file_in(fixtures,
                                                  "product_lister.exe")
        # The control for the unseen session shows its box as the 32-bit
        # program does.
        self.message_box = _required_file_in(fixtures, "message_box.exe")
        self.planted_library = _required_file_in(fixtures,
                                                 "planted_library.dll")
        # Opens processes as the 32-bit program does; a 64-bit Windows has
        # a 64-bit one among its tools as well.
        self.open_probe32 = _required_file_in(fixtures, "open_probe.exe")
        self.wineserver = _required_file("WINESERVER")
        self.xvfb = _required_file("XVFB")
        self.wixl = os.environ.get("WIXL")  # only MSI tests need it
        self.makensis = os.environ.get("MAKENSIS")  # only NSIS tests do
        self.windows = windows or windows_kind()
        if self.windows not in WINDOWS_KINDS:
            raise HarnessError(f"unknown kind of Windows {self.windows!r}")
        self.wine_binary = _wine_loader(self.windows)
        if self.windows == "win64":
            # The test's own tools are 64-bit programs there, as they would
            # be on such a Windows: only what a test means to be 32-bit is.
            tools = os.environ.get("TOVIK_FIXTURES64", "")
            self.stand_in64 = _required_file_in(tools, "stand_in.exe")
            if pe_machine(self.stand_in64) != "x64":
                raise HarnessError(f"{self.stand_in64} is not built for x64")
            self.native_bits = 64
        else:
            self.stand_in64 = None
            tools = fixtures
            self.native_bits = 32
        self.box_reader = _required_file_in(tools, "box_reader.exe")
        self.lister = _required_file_in(tools, "process_lister.exe")
        self.keeper = _required_file_in(tools, "desktop_keeper.exe")
        self.product_lister = _required_file_in(tools, "product_lister.exe")
        self.unseen_launcher = _required_file_in(tools, "unseen_session.exe")
        self.short_path_tool = _required_file_in(tools, "short_path.exe")
        self.open_probe64 = (_required_file_in(tools, "open_probe.exe")
                             if self.windows == "win64" else None)
        # A prefix made once by make_template() and copied for each machine
        # (a fresh boot of each costs a minute or more).
        template = os.environ.get("TOVIK_PREFIX_TEMPLATE")
        self.template = Path(template) if template else None

        self.temp = Path(tempfile.mkdtemp(prefix="tovik-e2e-"))
        self.work_dir = self.temp / "work"  # outputs, packages, logs
        self.work_dir.mkdir()
        self.prefix = self.temp / "prefix"
        self.drive_c = self.prefix / "drive_c"
        self._xvfb_process = None
        self.display = display
        self._keeper = None
        self._started = {}  # start_process(): process -> program's path
        self._shell_folder_changed = False
        self._msiexec_original = None  # set while a stand-in replaces it
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    # --- life cycle -------------------------------------------------------

    def _start(self):
        if self.display is None and not self.headless:
            self.display = self._start_xvfb()
        if self.template is not None:
            if not (self.template / "system.reg").is_file():
                raise HarnessError(f"{self.template} is not a Wine prefix; "
                                   "its CTest setup test makes it")
            shutil.copytree(self.template, self.prefix, symlinks=True)
        else:
            self._boot(self.prefix)
        users = [p for p in (self.drive_c / "users").iterdir()
                 if p.name != "Public"]
        if len(users) != 1:
            raise HarnessError(f"expected one user folder, found {users}")
        self.user = users[0].name
        self.roaming = users[0] / "AppData" / "Roaming"
        self.roaming_windows = rf"C:\users\{self.user}\AppData\Roaming"
        self._default_shell_folder = self._query_shell_folder()

        # A machine that cannot run the fixtures must say why, not time out
        # later.
        self.wine(self.lister, attempts=SETUP_ATTEMPTS)

        if self.headless:
            self._start_persistent_wineserver()
            return

        self._keeper = self.start([self.keeper])

        def desktop_up():
            if self._keeper.poll() is not None:
                raise HarnessError("desktop_keeper.exe exited with "
                                   f"{self._keeper.returncode}: no display?")
            names = self.process_names()
            return "explorer.exe" in names and "desktop_keeper.exe" in names
        wait_until(desktop_up, PROCESS_TIMEOUT, "Wine's desktop and the desktop keeper")

    def _boot(self, prefix):
        _boot_prefix(prefix, self.windows, self._env(WESTERN),
                     self.wine_binary, self.wineserver)

    def _start_persistent_wineserver(self):
        # A wineserver started by Wine itself ends a few seconds after the
        # last program, taking Wine's services with it, and cannot be made
        # persistent afterwards: wait for it to end, then start one that
        # stays until stop() kills it. It outlives this call, so it gets no
        # output of ours to hold open.
        quiet = dict(env=self._env(WESTERN), stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, check=True)
        subprocess.run([self.wineserver, "-w"], timeout=120, **quiet)
        subprocess.run([self.wineserver, "-p"], timeout=60, **quiet)

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        try:
            with open(self.work_dir / "xvfb.log", "wb") as log:
                self._xvfb_process = subprocess.Popen(
                    [self.xvfb, "-displayfd", str(write_end), "-screen", "0",
                     "1024x768x24", "-nolisten", "tcp"],
                    pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                    stderr=log)
            os.close(write_end)
            write_end = None
            # Xvfb writes the display number it chose, then a line feed,
            # once it is ready; it dies if the pipe closes before both.
            answer = b""
            while not answer.endswith(b"\n"):
                ready, _, _ = select.select([read_end], [], [], 30)
                chunk = os.read(read_end, 64) if ready else b""
                if not chunk:
                    break
                answer += chunk
            number = answer.decode().strip()
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        if not number.isdigit():
            raise HarnessError("Xvfb did not report a display; see "
                               f"{self.work_dir / 'xvfb.log'}")
        return ":" + number

    def stop(self):
        """Ends every Wine process of the prefix, the display, and removes
        the temporary folder."""
        if self.prefix.exists():
            subprocess.run([self.wineserver, "-k"], env=self._env(WESTERN),
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        for process in [*self._started, self._keeper, self._xvfb_process]:
            if process is not None:
                _end(process)
        shutil.rmtree(self.temp, ignore_errors=True)

    def reset(self):
        """Puts the machine back to a fresh state between tests: no planted
        files, no leftover stand-ins, the roaming folder where Wine keeps
        it."""
        ours = {"uninstall.exe", *PRODUCT_PROCESS_NAMES,
                *(path.name for path in self._started.values())}
        leftovers = [pid for pid, name in self.processes() if name in ours]
        if leftovers:
            args = [a for pid in leftovers for a in ("/PID", str(pid))]
            self.wine("taskkill", "/F", *args, check=False)
            wait_until(lambda: not set(leftovers) & {
                pid for pid, _ in self.processes()}, PROCESS_TIMEOUT,
                "stand-ins to end")
        for process in self._started:
            _end(process)
        self._started.clear()
        self.restore_msiexec()
        if self._shell_folder_changed:
            self.set_roaming_folder(self._default_shell_folder)
            self._shell_folder_changed = False
        for folder in (self.roaming / "Tovik", self.drive_c / "Tovik",
                       self.drive_c / "e2e"):
            shutil.rmtree(folder, ignore_errors=True)
        self.roaming.mkdir(parents=True, exist_ok=True)

    # --- Wine -------------------------------------------------------------

    def _env(self, locale, dll_overrides=None):
        env = wine_environment(self.prefix, locale, dll_overrides,
                               keep_display=not self.headless)
        if self.display is not None:  # never so on a headless machine
            env["DISPLAY"] = self.display
        return env

    def start(self, command, locale=WESTERN, env=None, cwd=None,
              dll_overrides=None, **kwargs):
        """Starts a Windows program in the prefix and returns at once.
        `env` adds to Wine's environment, `cwd` is the program's current
        folder (below drive_c), `dll_overrides` an entry for
        WINEDLLOVERRIDES; other keyword arguments go to subprocess.Popen."""
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        # Programs start on C:, so a path that begins with a backslash means
        # the root of C:, as it would for a user who starts them from there.
        if cwd is None:
            cwd = self.drive_c if self.drive_c.is_dir() else self.temp
        return subprocess.Popen(
            [self.wine_binary, *map(str, command)],
            env={**self._env(locale, dll_overrides), **(env or {})}, cwd=cwd,
            **kwargs)

    def wine(self, *command, locale=WESTERN, check=True, timeout=WINE_TIMEOUT,
             cwd=None, dll_overrides=None, attempts=1, **env):
        """Runs a Windows command in the prefix and waits for it alone (not
        for the children it leaves running), then returns its output.
        Further keyword arguments are added to Wine's environment.

        `attempts` > 1 runs a command that fails again, up to that many
        times in all; only for commands that may be repeated, the harness's
        own queries and settings. On a loaded machine a Wine program has been
        seen, rarely and never twice in a row, to fail at its start with
        exit code 1 and no output; such a command also reports Wine's
        errors, so that a failure that stays says why. The program under
        test is never run again."""
        if attempts > 1:
            env.setdefault("WINEDEBUG", "-all,err+all")
        failures = []
        for attempt in range(1, attempts + 1):
            result = self._run_once(command, locale, timeout, cwd,
                                    dll_overrides, env)
            if result.returncode == 0 or not check:
                return result
            failures.append(
                f"wine {' '.join(map(str, command))} exited with "
                f"{result.returncode}:\n{result.stdout.decode(errors='replace')}"
                f"{result.stderr.decode(errors='replace')}"
                f"{_exec_format_hint(result.stderr)}")
            if attempt < attempts:
                print(f"harness: {failures[-1]}\nharness: trying again",
                      file=sys.stderr, flush=True)
        raise HarnessError("\n".join(failures))

    def _run_once(self, command, locale, timeout, cwd, dll_overrides, env):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = self.start(command, locale, env=env,
                                 cwd=cwd, dll_overrides=dll_overrides,
                                 stdout=out, stderr=err)
            try:
                returncode = process.wait(timeout)
            except subprocess.TimeoutExpired:
                _end(process)
                raise HarnessError(f"wine {command} did not end") from None
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(command, returncode,
                                               out.read(), err.read())

    def windows_path(self, path):
        """The C: path of a file or folder below drive_c."""
        relative = Path(path).relative_to(self.drive_c)
        return "\\".join(["C:", *relative.parts])

    def any_windows_path(self, path):
        """The Windows path of any file: its C: path below drive_c, or else
        the path on Wine's Z: drive, which is the Unix root."""
        path = Path(path).resolve()
        if path.is_relative_to(self.drive_c.resolve()):
            return self.windows_path(path)
        return "Z:" + str(path).replace("/", "\\")

    def short_path(self, path):
        """The short (8.3) form Wine gives a file or folder below drive_c,
        as GetShortPathNameW reads it."""
        output = self.wine(self.short_path_tool, self.windows_path(path),
                           attempts=SETUP_ATTEMPTS)
        return output.stdout.decode("utf-8").rstrip("\r\n")

    # --- the roaming folder ----------------------------------------------

    def _query_shell_folder(self):
        output = self.wine("reg", "query", USER_SHELL_FOLDERS, "/v",
                           "AppData", attempts=SETUP_ATTEMPTS).stdout.decode()
        for line in output.splitlines():
            fields = line.split(None, 2)
            if fields[:2] == ["AppData", "REG_EXPAND_SZ"]:
                return fields[2]
        raise HarnessError(f"no AppData shell folder in:\n{output}")

    def set_roaming_folder(self, windows_path):
        """Points the user's roaming folder somewhere else until reset()."""
        self.wine("reg", "add", USER_SHELL_FOLDERS, "/v", "AppData", "/t",
                  "REG_EXPAND_SZ", "/d", windows_path, "/f",
                  attempts=SETUP_ATTEMPTS)
        self._shell_folder_changed = True

    # --- planting uninstallers -------------------------------------------

    def component_folder(self, component, roaming=None):
        return (roaming or self.roaming) / "Tovik" / component

    def plant_stand_in(self, folder, name="uninstall.exe", exit_code=None,
                       sleep_ms=None, bits=None):
        """Copies the stand-in (the 32-bit one, or with `bits=64` its x64
        twin; by default the one native to this Windows) into `folder` under
        `name`; `exit_code` and `sleep_ms` go into the files that tell it
        what to do."""
        bits = bits or self.native_bits
        if bits == 64 and self.stand_in64 is None:
            raise HarnessError("a 64-bit stand-in needs a 64-bit Windows")
        folder.mkdir(parents=True, exist_ok=True)
        target = folder / name
        shutil.copyfile(self.stand_in64 if bits == 64 else self.stand_in,
                        target)
        if exit_code is not None:
            (folder / "exit_code.txt").write_text(f"{exit_code}\n")
        if sleep_ms is not None:
            (folder / "sleep_ms.txt").write_text(f"{sleep_ms}\n")
        return target

    def plant_process_stand_in(self, name, bits=None, hardened=False):
        """Copies the stand-in (32- or 64-bit, by default the one native to
        this Windows) under the file name `name`,
        sleeping for ever, into a folder of its own (the file system ignores
        case, so TVREMOTEDESK.EXE could not sit beside tvRemoteDesk.exe) and
        returns its path; start it with start_process().

        `hardened=True` plants one that first hardens its own process DACL
        (harden.txt beside it; see stand_in.c), in a folder apart from the
        plain ones; after start_process(), wait_until_hardened() waits for
        it."""
        bits = bits or self.native_bits
        kind = "hardened" if hardened else "processes"
        folder = self.drive_c / "e2e" / f"{kind}{bits}" / name
        if not (folder / name).exists():
            self.plant_stand_in(folder, name=name, sleep_ms=-1, bits=bits)
            if hardened:
                (folder / "harden.txt").write_text("harden\n")
        return folder / name

    def wait_until_hardened(self, paths):
        """Waits until every stand-in started from the hardened stand-ins
        at `paths` has its DACL in place; returns their process ids. One
        that exits first (it could not harden itself) fails at once, with
        what it recorded."""
        paths = [Path(p) for p in paths]

        def all_hardened():
            pids = []
            for path in dict.fromkeys(paths):
                started = [process for process, program in
                           self._started.items() if program == path]
                if not started:
                    raise HarnessError(f"nothing was started from {path}")
                records = self.records(path.parent)
                for process in started:
                    if process.poll() is not None:
                        raise HarnessError(
                            f"{path} exited with {process.returncode} "
                            "before it was hardened; it recorded "
                            f"{[r.event for r in records]}")
                hardened = [r.pid for r in records if r.event == "hardened"]
                if len(hardened) < len(started):
                    return None
                pids += hardened
            return pids
        if not paths:
            return []
        return wait_until(all_hardened, PROCESS_TIMEOUT,
                          f"{[p.name for p in paths]} to be hardened")

    def open_processes(self, pids, access, bits=32):
        """Opens each process in `pids` with the access mask `access`, from
        a 32-bit probe (as the program opens them) or with `bits=64` a
        64-bit one; returns pid -> 0 where it opened, else the error
        OpenProcess gave."""
        if bits == 64 and self.open_probe64 is None:
            raise HarnessError("a 64-bit probe needs a 64-bit Windows")
        probe = self.open_probe64 if bits == 64 else self.open_probe32
        output = self.wine(probe, hex(access), *pids,
                           attempts=SETUP_ATTEMPTS).stdout.decode("ascii")
        answers = {}
        for line in output.splitlines():
            pid, outcome = line.split(" ", 1)
            answers[int(pid)] = (0 if outcome == "opened"
                                 else int(outcome.removeprefix("error ")))
        if sorted(answers) != sorted(pids):
            raise HarnessError(f"open_probe.exe answered {output!r} for "
                               f"{pids}")
        return answers

    def plant_text_file(self, folder, name="uninstall.exe"):
        folder.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text("This is a text file, not a program.\n")

    def plant_folder(self, folder, name="uninstall.exe"):
        (folder / name).mkdir(parents=True)

    def records(self, folder):
        """What the stand-ins in `folder` recorded, in order; [] when none
        of them ever started."""
        path = folder / "stand_in_record.txt"
        if not path.exists():
            return []
        records = []
        # UTF-8 of the wide strings: whole, whatever the code page.
        for line in path.read_bytes().decode("utf-8").split("\n")[:-1]:
            event, pid, module, command_line = line.split("|", 3)
            records.append(Record(event, int(pid), module, command_line))
        return records

    def program_system_folder(self):
        """The folder that the 32-bit program's c:\\Windows\\system32 is:
        on a 64-bit Windows, a 32-bit caller is redirected to syswow64."""
        name = "syswow64" if self.windows == "win64" else "system32"
        return self.drive_c / "windows" / name

    def plant_msiexec_stand_in(self, exit_code):
        """Puts the 32-bit stand-in in place of the msiexec.exe that the
        program starts, ending with `exit_code`, until restore_msiexec() or
        reset(). Wine still prefers its built-in msiexec unless the run is
        given dll_overrides=NATIVE_MSIEXEC; the product list stays the real
        Windows Installer's, so install packages with the real msiexec
        first. Returns the folder to read the stand-in's records from."""
        folder = self.program_system_folder()
        if self._msiexec_original is None:
            self._msiexec_original = self.work_dir / "msiexec.exe.original"
            shutil.copyfile(folder / "msiexec.exe", self._msiexec_original)
        for name in ("stand_in_record.txt", "exit_code.txt"):
            (folder / name).unlink(missing_ok=True)
        self.plant_stand_in(folder, name="msiexec.exe", exit_code=exit_code,
                            bits=32)
        return folder

    def restore_msiexec(self):
        """Puts Wine's msiexec.exe back, if a stand-in replaced it."""
        if self._msiexec_original is None:
            return
        folder = self.program_system_folder()
        shutil.copyfile(self._msiexec_original, folder / "msiexec.exe")
        for name in ("stand_in_record.txt", "exit_code.txt"):
            (folder / name).unlink(missing_ok=True)
        self._msiexec_original.unlink()
        self._msiexec_original = None

    # --- running the program ---------------------------------------------

    def _wait_until_settled(self, also=()):
        # A process that is still starting has no image name yet under Wine,
        # and the program's sweep would report it ("Name was empty"): let
        # anything Wine is starting (such as its menu builder after an
        # install), and the processes named in `also`, come up fully before
        # the program takes its snapshot.
        def settled():
            names = self.process_names()
            return all(name in names for name in also) and all(names)
        wait_until(settled, PROCESS_TIMEOUT,
                   "the processes to settle" + (f" and {also} to start"
                                                if also else ""))

    def run_program(self, *args, locale=WESTERN, remove_first=(), exe=None,
                    cwd=None, dll_overrides=None):
        """Runs the program with `args` while box_reader.exe waits for its
        message box and presses OK. The folders in `remove_first` are
        removed right before the start, after anything in the prefix that
        might re-create them. `exe` runs a copy of the program from
        elsewhere below drive_c; `cwd` and `dll_overrides` are as for
        start().

        Standard output goes to a file, never a pipe: under Wine the
        program's children hold its output open, and a pipe would not end
        before the last of them."""
        if self.headless:
            raise HarnessError("run_program() reads the message box, and a "
                               "headless machine shows none")
        if (self._xvfb_process is not None and
                self._xvfb_process.poll() is not None):
            raise HarnessError("Xvfb has ended; see "
                               f"{self.work_dir / 'xvfb.log'}")
        out_path = self.work_dir / "program.out"
        err_path = self.work_dir / "program.err"
        box_path = self.work_dir / "box.json"
        with open(box_path, "wb") as box_file:
            reader = self.start([self.box_reader, BOX_TIMEOUT_MS], locale,
                                 stdout=box_file)
        self._wait_until_settled(also=["box_reader.exe"])
        for folder in remove_first:
            shutil.rmtree(folder, ignore_errors=True)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            started = time.monotonic()
            program = self.start([exe or self.exe, *args], locale, cwd=cwd,
                                 dll_overrides=dll_overrides, stdout=out,
                                 stderr=err)
            try:
                exit_code = program.wait(RUN_TIMEOUT)
            except subprocess.TimeoutExpired:
                _end(program)
                _end(reader)
                raise HarnessError(
                    "the program did not end; box reader said: "
                    f"{box_path.read_bytes()!r}") from None
            seconds = time.monotonic() - started
        try:
            reader.wait(60)
        except subprocess.TimeoutExpired:
            _end(reader)
        report = box_path.read_bytes()
        try:
            box = json.loads(report)
        except ValueError:
            raise HarnessError(f"box reader reported {report!r}") from None
        return RunResult(out_path.read_bytes(), exit_code, box, seconds,
                         err_path.read_bytes())

    def run_unseen(self, command=None, wait_ms=UNSEEN_RUN_WAIT_MS,
                   locale=WESTERN, dll_overrides=None):
        """Runs `command` (the program, by default; paths are named as
        Windows sees them) on a window station of its own, which no user
        sees, as under a service or a scheduled task that runs whether or
        not the user is logged on, with files as its standard output and
        error. A program still running after `wait_ms` is terminated.
        `locale` and `dll_overrides` are as for start()."""
        command = [self.exe] if command is None else command
        out_path = self.work_dir / "unseen.out"
        err_path = self.work_dir / "unseen.err"
        self._wait_until_settled()
        launched = self.wine(
            self.unseen_launcher, wait_ms, self.any_windows_path(out_path),
            self.any_windows_path(err_path),
            *[self.any_windows_path(part) if isinstance(part, Path) else part
              for part in command],
            locale=locale, dll_overrides=dll_overrides,
            timeout=wait_ms / 1000 + WINE_TIMEOUT)
        try:
            report = json.loads(launched.stdout)
        except ValueError:
            raise HarnessError("unseen_session.exe reported "
                               f"{launched.stdout!r}") from None
        return UnseenRun(report["ended"], report.get("terminated", False),
                         report.get("exit_code"), out_path.read_bytes(),
                         err_path.read_bytes(), report["milliseconds"] / 1000)

    # --- Windows Installer packages ----------------------------------------

    def install_msi(self, code, name, per_machine=False, x64=False):
        """Builds a one-file MSI package named `name` with product code
        `code` (a braced GUID) with wixl and installs it quietly, per user
        or per machine. `x64=True` builds an x64 package (64-bit component
        in the 64-bit program files folder), installed per machine by the
        64-bit msiexec, as only a 64-bit Windows can. Returns the name of
        the folder the package installs its file into."""
        if not self.wixl:
            raise HarnessError("WIXL is not set; run the tests through ctest")
        if x64 and (self.windows != "win64" or not per_machine):
            raise HarnessError("an x64 package installs per machine on a "
                               "64-bit Windows only")
        folder = self.drive_c / "packages" / packed_code(code)
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "readme.txt").write_text("fixture payload\n")
        # The other GUIDs derive from the product code, so that a package
        # built twice is the same package.
        digits = packed_code(code)
        (folder / "package.wxs").write_text(_WXS_TEMPLATE.format(
            code=code, name=name,
            upgrade="{%s-%s-%s-%s-%s}" % (digits[:8], digits[8:12],
                                          digits[12:16], digits[16:20],
                                          digits[20:]),
            component="{%s-0000-4000-8000-%s}" % (digits[:8], digits[20:]),
            scope="perMachine" if per_machine else "perUser",
            root=("ProgramFiles64Folder" if x64 else
                  "ProgramFilesFolder" if per_machine else
                  "LocalAppDataFolder"),
            win64="yes" if x64 else "no",
            folder=digits[:8]))
        # wixl warns that Package has no Platform property when building
        # for x64; the architecture comes from -a, so that is harmless.
        subprocess.run([self.wixl, *(["-a", "x64"] if x64 else []),
                        "-o", str(folder / "package.msi"),
                        str(folder / "package.wxs")], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        package = self.windows_path(folder / "package.msi")
        # The loader of the Windows' own bitness starts its own msiexec: the
        # 64-bit one on a 64-bit Windows, as an x64 package needs.
        self.wine("msiexec", "/i", package, "/q",
                  *(["ALLUSERS=1"] if per_machine else []))
        if per_machine:
            # Wine records every product with assignment 0, on a 64-bit
            # Windows too; Windows records 1 for a per-machine one, and that
            # is what the program reads.
            key = (r"HKLM\Software\Classes\Installer\Products" "\\" +
                   packed_code(code))
            # reg.exe of the Windows' own bitness edits the registry's
            # native view, where the installer keeps its product keys for
            # 32-bit and x64 packages alike.
            # fails if the key is not there
            self.wine("reg", "query", key, attempts=SETUP_ATTEMPTS)
            self.wine("reg", "add", key, "/v", "Assignment", "/t",
                      "REG_DWORD", "/d", "1", "/f", attempts=SETUP_ATTEMPTS)
        return digits[:8]  # the folder below program files it installs to

    def program_files(self, x64=False):
        """The program files folder that per-machine packages install into:
        the 64-bit one or the 32-bit one (on a 64-bit Windows, the one with
        " (x86)")."""
        if self.windows == "win64" and not x64:
            return self.drive_c / "Program Files (x86)"
        return self.drive_c / "Program Files"

    # --- an uninstaller made by NSIS ---------------------------------------

    def nsis_record_path(self):
        return self.drive_c / "e2e" / "nsis" / "uninstall_record.txt"

    def install_nsis_component(self, component):
        """Builds a real NSIS installer for `component` with makensis and
        installs it quietly: its folder below <roaming>\\Tovik gets a payload
        file and the uninstall.exe NSIS writes. The uninstaller, when it
        starts, appends "silent|<its command line>" (or "interactive|...")
        to nsis_record_path(). Returns the files the install made."""
        if not self.makensis:
            raise HarnessError("MAKENSIS is not set; run the tests through "
                               "ctest")
        build = self.work_dir / "nsis"
        build.mkdir(exist_ok=True)
        (build / "payload.txt").write_text("component payload\n")
        (build / "component.nsi").write_text(_NSIS_TEMPLATE)
        installer = build / "component_package.exe"
        record = self.nsis_record_path()
        record.parent.mkdir(parents=True, exist_ok=True)
        made = subprocess.run(
            [self.makensis, "-V2", "-WX", f"-DCOMPONENT={component}",
             f"-DOUTFILE={installer}", f"-DPAYLOAD={build / 'payload.txt'}",
             f"-DRECORD={self.windows_path(record)}",
             str(build / "component.nsi")],
            capture_output=True, timeout=120)
        if made.returncode != 0:
            raise HarnessError("makensis failed:\n" +
                               (made.stdout + made.stderr).decode(
                                   errors="replace"))
        self.wine(installer, "/S")
        folder = self.component_folder(component)
        files = [folder / "payload.txt", folder / "uninstall.exe"]
        missing = [f for f in files if not f.is_file()]
        if missing:
            raise HarnessError(f"the NSIS install did not make {missing}")
        if pe_machine(folder / "uninstall.exe") != "x86":
            raise HarnessError("NSIS wrote no x86 uninstaller")
        return files

    def nsis_records(self):
        """(mode, command line) per start of an NSIS uninstaller."""
        path = self.nsis_record_path()
        if not path.exists():
            return []
        # Unicode NSIS writes FileWrite's text in the ANSI code page.
        lines = path.read_bytes().decode("cp1252").splitlines()
        return [tuple(line.split("|", 1)) for line in lines]

    def installed_products(self):
        """code -> (AssignmentType, name) of every product the Windows
        Installer lists."""
        output = self.wine(self.product_lister,
                           attempts=SETUP_ATTEMPTS).stdout.decode("cp1252")
        products = {}
        for line in output.splitlines():
            code, assignment, name = line.split(" ", 2)
            products[code] = (assignment, name)
        return products

    def uninstall_all_products(self):
        for code in self.installed_products():
            self.wine("msiexec", "/x", code, "/q", check=False)
        remaining = self.installed_products()
        if remaining:
            raise HarnessError(f"products left installed: {remaining}")

    # --- processes --------------------------------------------------------

    def processes(self):
        """Every running process as (pid, image base name), in the order
        the system enumerates them."""
        output = self.wine(self.lister,
                           attempts=SETUP_ATTEMPTS).stdout.decode("cp1252")
        listed = []
        for line in output.splitlines():
            pid, name = line.split("\t", 1)
            listed.append((int(pid), name))
        return listed

    def process_names(self):
        return [name for _, name in self.processes()]

    def start_process(self, path):
        """Starts a program below drive_c and leaves it running until
        reset(). Wait for it with wait_for_processes()."""
        self._started[self.start([path])] = Path(path)

    def wait_for_processes(self, names):
        """Waits until every name in `names` runs as often as it is listed
        there; returns the process list."""
        def all_running():
            listed = self.processes()
            running = [name for _, name in listed]
            if all(running.count(n) >= names.count(n) for n in set(names)):
                return listed
            return None
        return wait_until(all_running, PROCESS_TIMEOUT, f"processes {names}")


_WXS_TEMPLATE = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{code}" Name="{name}" Language="1033" Version="1.0.0"
           Manufacturer="Test Fixture" UpgradeCode="{upgrade}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="{scope}"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="{root}">
        <Directory Id="INSTALLDIR" Name="{folder}">
          <Component Id="Payload" Guid="{component}" Win64="{win64}">
            <File Id="Readme" Source="readme.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
"""


# A component as NSIS installs one: a silent installer that puts a payload
# and the uninstaller NSIS writes into the component's folder, and an
# uninstaller that records how it was started before it removes them.
_NSIS_TEMPLATE = r"""Unicode true
RequestExecutionLevel user
SilentInstall silent
Name "${COMPONENT}"
OutFile "${OUTFILE}"
InstallDir "$APPDATA\Tovik\${COMPONENT}"

Section
  SetOutPath "$INSTDIR"
  File "/oname=payload.txt" "${PAYLOAD}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd

Function un.onInit
  FileOpen $0 "${RECORD}" a
  FileSeek $0 0 END
  IfSilent 0 interactive
    FileWrite $0 "silent|$CMDLINE$\n"
    Goto recorded
  interactive:
    FileWrite $0 "interactive|$CMDLINE$\n"
  recorded:
  FileClose $0
FunctionEnd

Section "Uninstall"
  Delete "$INSTDIR\payload.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
"""


def packed_code(code):
    """A product code in the form the installer's registry keys use: the
    first three groups reversed, then each byte's two digits swapped."""
    groups = code.strip("{}").split("-")
    tail = "".join(groups[3:])
    return (groups[0][::-1] + groups[1][::-1] + groups[2][::-1] +
            "".join(tail[i + 1] + tail[i] for i in range(0, len(tail), 2)))


def wine_environment(prefix, locale, dll_overrides=None, keep_display=True):
    """This process's environment for a Wine command in `prefix`: quiet,
    with the locale given and no other, and without Mono or Gecko (there is
    nothing to download them from, and their installers would wait for a
    click). Without `keep_display` no X or Wayland display is passed on."""
    dropped = ("LC_", "LANG") + (() if keep_display
                                 else ("DISPLAY", "WAYLAND_DISPLAY"))
    env = {k: v for k, v in os.environ.items() if not k.startswith(dropped)}
    env.update(
        WINEPREFIX=str(prefix),
        WINEDEBUG="-all",
        WINEDLLOVERRIDES=";".join(["mscoree,mshtml=",
                                   *([dll_overrides] if dll_overrides
                                     else [])]),
        LANG=WESTERN,
        LC_ALL=locale,
    )
    return env


def _wine_loader(windows):
    """The Wine loader that starts every Windows command in a prefix of the
    kind `windows`. A 64-bit prefix needs Wine's 64-bit loader: only it can
    make one, and it starts 64-bit programs (Wine's own msiexec and reg,
    which an x64 package and the registry's 64-bit view need) itself.
    Debian's `wine` would start the 32-bit loader first and hand 64-bit
    programs on, paying for a 32-bit start every time."""
    return _required_file("WINE64" if windows == "win64" else "WINE")


def _boot_prefix(prefix, windows, env, loader, wineserver):
    # Only a 64-bit loader can make a 64-bit prefix; WINEARCH is given to
    # the boot alone, since the prefix remembers its kind.
    env = {**env, "WINEPREFIX": str(prefix), "WINEARCH": windows}
    boot = subprocess.run([loader, "wineboot", "-i"], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          timeout=WINE_TIMEOUT)
    if boot.returncode != 0:
        raise HarnessError(f"wineboot -i failed:\n{boot.stderr.decode()}"
                           f"{_exec_format_hint(boot.stderr)}")
    # The boot leaves Wine's services finishing the prefix; it is whole once
    # its wineserver has ended.
    subprocess.run([wineserver, "-w"], env=env, timeout=WINE_TIMEOUT,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if windows == "win64" and not (prefix / "drive_c" / "windows" /
                                   "syswow64").is_dir():
        raise HarnessError(f"{prefix} has no syswow64: not a 64-bit Windows")


def make_template(folder):
    """Boots a fresh prefix of the kind TOVIK_E2E_WINDOWS names into
    `folder`, for every test module's machine to copy (TOVIK_PREFIX_TEMPLATE)
    instead of booting its own."""
    folder = Path(folder)
    shutil.rmtree(folder, ignore_errors=True)
    windows = windows_kind()
    env = wine_environment(folder, WESTERN, keep_display=False)
    _boot_prefix(folder, windows, env, _wine_loader(windows),
                 _required_file("WINESERVER"))


def _required_file_in(folder, name):
    if not folder:
        raise HarnessError("TOVIK_FIXTURES is not set; run the tests "
                           "through ctest")
    path = Path(folder) / name
    if not path.is_file():
        raise HarnessError(f"fixture {path} does not exist; build first")
    return path


def _exec_format_hint(stderr):
    if b"Exec format error" not in stderr:
        return ""
    return ("\nThis Linux kernel refuses to run 32-bit x86 programs (IA-32 "
            "emulation is off; see `dmesg`), so Wine cannot run any 32-bit "
            "Windows program, in a 32-bit or a 64-bit prefix. "
            "scripts/setup.sh has qemu run them on such a kernel.")


def _end(process):
    """Ends a process we started, politely first: Xvfb removes its lock
    files only when it is allowed to."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
    process.wait()


class WineTestCase(unittest.TestCase):
    """Assertions shared by the test modules."""

    maxDiff = None

    def assert_console(self, result, lines, code_page="cp1252"):
        """The whole standard output is `lines`, each ended by CR LF, in the
        given ANSI code page; and the program exited with 0."""
        expected = "".join(line + "\r\n" for line in lines).encode(code_page)
        # Line by line first, for a readable difference; then byte for byte.
        self.assertEqual(
            result.stdout.decode(code_page, "backslashreplace")
            .splitlines(keepends=True),
            expected.decode(code_page).splitlines(keepends=True),
            f"standard error: {result.stderr!r}")
        self.assertEqual(result.stdout, expected)
        self.assertEqual(result.exit_code, 0)

    def assert_console_with_results(self, result, lines):
        """Like assert_console, where expected.ANY_RESULT_LINE stands for
        any line that expected.RESULT_LINE matches."""
        import expected  # it imports this module
        actual = result.stdout.decode("cp1252", "backslashreplace")
        actual = actual.split("\r\n")
        resolved = [
            actual[i] if line == expected.ANY_RESULT_LINE and i < len(actual)
            and expected.RESULT_LINE.fullmatch(actual[i]) else line
            for i, line in enumerate(lines)
        ]
        self.assert_console(result, resolved)

    def run_and_assert_swept(self, machine, products, others):
        """Runs the program with only Device Inspector's uninstaller present
        (the caller planted it) and checks that it terminated `products`,
        (pid, name) in the system's order, which the sweep follows, before
        that uninstaller, and left `others` running."""
        import expected  # which imports this module
        roaming = machine.roaming_windows
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
        wait_until(lambda: not set(products) & set(machine.processes()),
                   PROCESS_TIMEOUT, "the terminated processes to go")
        running = machine.processes()
        for process in others:
            self.assertIn(process, running)

    def assert_hardened(self, machine, pids):
        """The control for hardened stand-ins, without which a test of them
        could pass with stand-ins that are not: each process in `pids`
        refuses query, VM read and terminate with ERROR_ACCESS_DENIED, and
        opens with terminate and the limited query right, what it grants
        everyone. Probed from a 32-bit program, as the program opens them,
        and on a 64-bit Windows from a 64-bit one too."""
        for bits in sorted({32, machine.native_bits}):
            self.assertEqual(
                machine.open_processes(pids, QUERY_READ_AND_TERMINATE,
                                       bits=bits),
                dict.fromkeys(pids, ERROR_ACCESS_DENIED),
                f"{bits}-bit probe, query, VM read and terminate")
            self.assertEqual(
                machine.open_processes(pids, TERMINATE_AND_LIMITED_QUERY,
                                       bits=bits),
                dict.fromkeys(pids, 0),
                f"{bits}-bit probe, terminate and limited query")

    def assert_box(self, result, text, ok_label="OK"):
        """The run ended with one message box: caption "Tovik", `text`, a
        single OK button, no icon, no owner; and OK closed it."""
        box = result.box
        self.assertTrue(box["found"], "no message box appeared")
        self.assertEqual(
            {key: box[key] for key in
             ("class", "caption", "text", "buttons", "icon", "owner",
              "closed")},
            {"class": "#32770", "caption": "Tovik", "text": text,
             "buttons": [{"id": 1, "text": ok_label, "visible": True}],
             "icon": False, "owner": 0, "closed": True})


if __name__ == "__main__":
    # python3 harness.py make-template FOLDER
    import sys
    if len(sys.argv) != 3 or sys.argv[1] != "make-template":
        sys.exit("usage: harness.py make-template FOLDER")
    make_template(sys.argv[2])
