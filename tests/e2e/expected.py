"""The console lines the program prints, written out independently of its
source, for building the whole expected output of a run."""

import re

import harness

NOTHING_FOUND = "No Tovik Components found to uninstall"
PRODUCT = "Tovik Workspace Starter"


def uninstaller(roaming, component):
    """The uninstaller's path for a roaming folder given as a C: path."""
    return rf"{roaming}\Tovik\{component}\uninstall.exe"


def missing(roaming, component):
    return [f"UninstallFile:{uninstaller(roaming, component)} does not exist"]


def removed(roaming, component, exit_code):
    return [
        f"Un-installing {component}...",
        f" Launching {uninstaller(roaming, component)}  /S",
        f"launchAndWait() got a return code:{exit_code}",
        f"Uninstallation of {component} completed",
    ]


def not_started(roaming, component, error):
    path = uninstaller(roaming, component)
    return [
        f"Un-installing {component}...",
        f" Launching {path}  /S",
        f"CreateProcess({path}   /S ) failed {error}",
        f"Uninstallation of {component} did not complete",
    ]


def components(roaming, present):
    """The lines of the component phase; `present` maps a component to
    its lines when it is there, every other one is missing."""
    lines = []
    for component in harness.COMPONENTS:
        lines += present.get(component) or missing(roaming, component)
    return lines


def summary_text(completed=(), not_completed=()):
    lines = []
    if completed:
        lines.append("Uninstallation of " +
                     "".join(name + ", " for name in completed) + "completed")
    if not_completed:
        lines.append("Uninstallation of " +
                     "".join(name + ", " for name in not_completed) +
                     "did not complete")
    return "\n".join(lines)


def summary(completed=(), not_completed=()):
    """The closing lines: an empty line, then the summary."""
    return ["", *summary_text(completed, not_completed).split("\n")]


def installer_product(code, assignment_word, exit_code=0):
    """The lines of the installer-product phase for one product found."""
    return [
        f" Product {PRODUCT}:",
        f"\t{code}",
        f"\tInstalled {assignment_word} non-managed",
        f"Un-installing {PRODUCT}...",
        r" Launching c:\Windows\system32\msiexec.exe "
        f" /q /x {code} /norestart",
        f"launchAndWait() got a return code:{exit_code}",
        f"Uninstallation of {PRODUCT} completed",
    ]


def terminated(name, pid):
    """The sweep's lines for one process it terminates."""
    return [f"Terminating {name}({pid})", ANY_RESULT_LINE]


# Termination is asynchronous: the exit code read right after it is 0 or
# STILL_ACTIVE (259), depending on how far the process has gone down; the
# result of an accepted TerminateProcess is any non-zero value.
RESULT_LINE = re.compile(
    r"TerminateProcess result:-?[1-9][0-9]* and exitcode:0,(0|259) ")
ANY_RESULT_LINE = ("TerminateProcess result:<non-zero> and "
                   "exitcode:0,<0 or 259> ")
