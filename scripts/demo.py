"""A demonstration of UninstallTovikComponents.exe on a throwaway Wine
prefix: two of the four per-user components installed (stand-in
uninstallers), a product process running, and the Windows Installer product
"Tovik Workspace Starter" installed. The program runs there once; its
console output, its message box and what is left afterwards are shown."""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

import harness  # noqa: E402
from run_names import STARTER  # noqa: E402

DEMO_PRODUCT_CODE = "{5D4C3B2A-1F0E-4D9C-8B7A-6F5E4D3C2B1A}"
# The Wine virtual desktop the program and the box reader open their
# windows on.
DESKTOP = "TovikDemo"
DESKTOP_SIZE = "640x480"
DESKTOP_WINDOW = f"{DESKTOP} - Wine desktop"  # its X window's name
# Wine's own fonts, as Debian's fonts-wine installs them. Marlett among them
# holds the glyphs of a window's caption buttons (its "r" is the close
# button's cross).
WINE_FONTS = Path("/usr/share/wine/fonts")
DOCS_PICTURE = ROOT / "docs" / "message-box.png"


def section(title):
    print(f"\n=== {title} ===", flush=True)


def wait_for_box(display, timeout=harness.RUN_TIMEOUT):
    """Waits until the program's message box is on Wine's virtual desktop
    and returns its X window id, or None. There the window Wine makes for
    the box holds the frame it draws, title bar and caption included."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = subprocess.run(["xwininfo", "-display", display, "-children",
                                "-name", DESKTOP_WINDOW],
                               stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
        for line in found.stdout.splitlines():
            fields = line.split()
            if len(fields) > 1 and fields[1] == '"Tovik":':
                time.sleep(1)  # let it paint
                return fields[0]
        time.sleep(0.2)
    return None


def screenshot(display, window, png):
    """Saves the X window `window` (the box alone, with the frame Wine
    draws on its virtual desktop) as a PNG."""
    png.parent.mkdir(parents=True, exist_ok=True)
    with open(png, "wb") as out:
        xwd = subprocess.Popen(["xwd", "-id", window, "-silent", "-display",
                                display], stdout=subprocess.PIPE)
        pnm = subprocess.Popen(["xwdtopnm"], stdin=xwd.stdout,
                               stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        png_proc = subprocess.Popen(["pnmtopng"], stdin=pnm.stdout,
                                    stdout=out, stderr=subprocess.DEVNULL)
        xwd.stdout.close()
        pnm.stdout.close()
        if png_proc.wait() != 0 or pnm.wait() != 0 or xwd.wait() != 0:
            raise harness.HarnessError("could not take the screenshot")


def install_marlett(machine):
    """Puts Wine's Marlett into the prefix's C:\\windows\\Fonts, where
    Wine loads every font it finds. Without it Wine draws the caption
    buttons with another font, and the close button shows as the letter
    "r". Debian's Wine never reads fonts-wine's folder itself: it asks for
    it as "<data folder>\\../fonts", a name its file system layer rejects
    as invalid (STATUS_OBJECT_NAME_INVALID), so the copy is the one it
    sees. Wine reads the folder when a program starts, so any time before
    the program's start will do."""
    font = WINE_FONTS / "marlett.ttf"
    if not font.is_file():
        raise harness.HarnessError(f"{font} is missing: install fonts-wine "
                                   "(scripts/setup.sh does)")
    fonts = machine.drive_c / "windows" / "Fonts"
    fonts.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(font, fonts / font.name)
    print("font for the caption buttons: "
          f"{machine.windows_path(fonts / font.name)}")


def use_virtual_desktop(machine):
    """Starts a Wine virtual desktop and has every program started from now
    on open its windows there. Without a window manager (as under Xvfb) a
    box has no title bar; on the virtual desktop Wine draws the frame
    itself, the caption included, as Windows would. The setting is the
    prefix-wide one: the per-program one (AppDefaults) is not read by a
    32-bit program in a 64-bit prefix."""
    desktop = machine.start(["explorer", f"/desktop={DESKTOP},{DESKTOP_SIZE}"])
    machine.wine("reg", "add", r"HKCU\Software\Wine\Explorer",
                 "/v", "Desktop", "/d", DESKTOP, "/f",
                 attempts=harness.SETUP_ATTEMPTS)

    def desktop_up():
        if desktop.poll() is not None:
            raise harness.HarnessError("Wine's virtual desktop did not start")
        shown = subprocess.run(["xwininfo", "-display", machine.display,
                                "-name", DESKTOP_WINDOW],
                               stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        # Every process listed with its name: none is still starting, so
        # the program's sweep sees a settled process list.
        return shown.returncode == 0 and all(machine.process_names())
    harness.wait_until(desktop_up, harness.PROCESS_TIMEOUT,
                       "Wine's virtual desktop")
    return desktop


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--update-docs-picture", action="store_true",
                        help="also save the screenshot as the README's "
                        "picture of the box, docs/message-box.png (the run "
                        "then uses the virtual display)")
    args = parser.parse_args()
    build = (ROOT / args.build_dir).resolve()
    harness.use_build(build)
    user_display = os.environ.get("DISPLAY")
    # The screenshot is taken on the virtual display only.
    if (os.environ.get("DEMO_VIRTUAL_DISPLAY") == "1" or
            args.update_docs_picture):
        user_display = None

    section("Making a throwaway Wine prefix")
    machine = harness.WineMachine(display=user_display)
    try:
        print(f"prefix: {machine.prefix}")
        print(f"display: {machine.display}"
              f"{'' if user_display else ' (virtual)'}")
        install_marlett(machine)

        section("Installing a demo Tovik")
        for component, code in [("Device Inspector", 0), ("Deploy Client", 0)]:
            target = machine.plant_stand_in(
                machine.component_folder(component), exit_code=code)
            print(f"component uninstaller: {machine.windows_path(target)}")
        process_folder = machine.drive_c / "Program Files" / "Tovik"
        process = machine.plant_stand_in(process_folder,
                                         name="tvRemoteDesk.exe",
                                         sleep_ms=-1)
        machine.start_process(process)
        listed = machine.wait_for_processes(["tvRemoteDesk.exe"])
        for pid, name in listed:
            if name == "tvRemoteDesk.exe":
                print(f"running product process: {name} (pid {pid})")
        machine.install_msi(DEMO_PRODUCT_CODE, STARTER)
        for code, (_, name) in machine.installed_products().items():
            print(f"Windows Installer product: {name} {code}")

        section("Running UninstallTovikComponents.exe")
        use_virtual_desktop(machine)
        out_path = machine.work_dir / "console.txt"
        with open(out_path, "wb") as out:
            program = machine.start([machine.exe], stdout=out)
            if user_display:
                print("The message box is on your display; press OK to end "
                      "the run.", flush=True)
            else:
                window = wait_for_box(machine.display)
                if window is None:
                    raise harness.HarnessError(
                        "no message box appeared on the virtual desktop")
                png = build / "demo" / "message-box.png"
                screenshot(machine.display, window, png)
                report = machine.wine(machine.box_reader, "10000").stdout
                if b'"found": true' not in report:
                    raise harness.HarnessError(
                        f"the box reader did not find the box: {report!r}")
                print(f"message box screenshot: {png}")
                if args.update_docs_picture:
                    DOCS_PICTURE.parent.mkdir(exist_ok=True)
                    shutil.copyfile(png, DOCS_PICTURE)
                    print(f"README's picture of the box: {DOCS_PICTURE}")
                print(f"message box read and closed: {report.decode().strip()}")
            exit_code = program.wait(harness.RUN_TIMEOUT)

        section("Console output (CR LF shown as line ends)")
        sys.stdout.write(out_path.read_bytes().decode("cp1252")
                         .replace("\r\n", "\n"))
        print(f"\nexit code: {exit_code}")

        section("Left behind")
        still = [name for _, name in machine.processes()
                 if name == "tvRemoteDesk.exe"]
        print(f"tvRemoteDesk.exe processes running: {len(still)}")
        print(f"Windows Installer products: {machine.installed_products()}")
    finally:
        machine.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
