"""The console lines the program prints, written out independently of its
source, for building the whole expected output of a run."""

import harness

NOTHING_FOUND = "No Tovik Components found to uninstall"


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
