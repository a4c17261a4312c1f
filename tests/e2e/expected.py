"""The console lines the program prints, written out independently of its
source, for building the whole expected output of a run."""

import re

from run_names import COMPONENTS, MSIEXEC, STARTER

NOTHING_FOUND = "No Tovik Components found to uninstall"
PRODUCT = STARTER

# The summary's lines for what could not even be looked for, and for a
# removal that needs a restart.
COMPONENTS_NOT_LOOKED_FOR = "Per-user Tovik Components could not be looked for"
PRODUCT_NOT_LOOKED_FOR = f"{PRODUCT} could not be looked for"
RESTART_NEEDED = "Restart Windows to finish the uninstallation"

# The last line of a run where no user could have seen a message box.
NO_DESKTOP = "No interactive desktop: message box not shown"

# The shell's answer (0x80070003, the path was not found) when the roaming
# folder is set to one that does not exist.
ROAMING_LOOKUP_FAILED = ("SHGetKnownFolderPath() failed for "
                         "FOLDERID_RoamingAppData(%APPDATA%). "
                         "Error:-2147024893.")


def msi_not_loaded(error):
    return f"Windows Installer (msi.dll) could not be loaded. Error:{error}"


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
    for component in COMPONENTS:
        lines += present.get(component) or missing(roaming, component)
    return lines


def summary_text(completed=(), not_completed=(),
                 components_not_looked_for=False,
                 product_not_looked_for=False, restart_needed=False):
    """The summary, its lines in this order, each only when it applies;
    empty when none does."""
    lines = []
    if completed:
        lines.append("Uninstallation of " +
                     "".join(name + ", " for name in completed) + "completed")
    if not_completed:
        lines.append("Uninstallation of " +
                     "".join(name + ", " for name in not_completed) +
                     "did not complete")
    if components_not_looked_for:
        lines.append(COMPONENTS_NOT_LOOKED_FOR)
    if product_not_looked_for:
        lines.append(PRODUCT_NOT_LOOKED_FOR)
    if restart_needed:
        lines.append(RESTART_NEEDED)
    return "\n".join(lines)


def summary(*args, **kwargs):
    """The closing lines: an empty line, then the summary (arguments as for
    summary_text)."""
    return ["", *summary_text(*args, **kwargs).split("\n")]


def box_text(*args, **kwargs):
    """What the message box says: the summary, or that nothing was found."""
    return summary_text(*args, **kwargs) or NOTHING_FOUND


def unseen_ending(*args, **kwargs):
    """The closing lines where no user sees the desktop: the box's text
    printed instead, after an empty line, even when nothing was found, then
    the line that says why no box was shown."""
    return ["", *box_text(*args, **kwargs).split("\n"), NO_DESKTOP]


def installer_product(code, assignment_word, exit_code=0, completed=True):
    """The lines of the installer-product phase for one product found, whose
    msiexec ended with `exit_code`."""
    return [
        f" Product {PRODUCT}:",
        f"\t{code}",
        f"\tInstalled {assignment_word} non-managed",
        f"Un-installing {PRODUCT}...",
        f" Launching {MSIEXEC}  /q /x {code} /norestart",
        f"launchAndWait() got a return code:{exit_code}",
        f"Uninstallation of {PRODUCT} "
        f"{'completed' if completed else 'did not complete'}",
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
