"""The installer-product phase under Wine: real MSI packages built with
wixl, installed per user and per machine, found by name and removed through
msiexec, with the console and the message box checked exactly."""

import subprocess
import unittest

import expected
import harness

machine = None

PRODUCT = "Tovik Workspace Starter"
# Distinct digits in every group, so that a wrongly packed registry key
# cannot pass by accident.
PER_USER_CODE = "{6F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9}"
PER_MACHINE_CODE = "{0A1B2C3D-4E5F-4607-9819-2A3B4C5D6E7F}"
NEAR_MISS_CODE = "{9C8B7A6F-5E4D-4C3B-A291-807F6E5D4C3B}"
NEAR_MISS_NAME = "Tovik Workspace Starter 2"

WXS_TEMPLATE = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{code}" Name="{name}" Language="1033" Version="1.0.0"
           Manufacturer="Test Fixture" UpgradeCode="{upgrade}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="{scope}"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="{root}">
        <Directory Id="INSTALLDIR" Name="{folder}">
          <Component Id="Payload" Guid="{component}">
            <File Id="Readme" Source="readme.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="Payload"/></Feature>
  </Product>
</Wix>
"""


def packed(code):
    """The product code in the form the installer's registry keys use: the
    first three groups reversed, then each byte's two digits swapped."""
    groups = code.strip("{}").split("-")
    tail = "".join(groups[3:])
    return (groups[0][::-1] + groups[1][::-1] + groups[2][::-1] +
            "".join(tail[i + 1] + tail[i] for i in range(0, len(tail), 2)))


def setUpModule():
    global machine
    machine = harness.WineMachine()


def tearDownModule():
    machine.stop()


def product_lines(code, assignment_word, exit_code=0):
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


class InstallerProductTest(harness.WineTestCase):

    def setUp(self):
        machine.reset()
        self.uninstall_everything()

    def tearDown(self):
        self.uninstall_everything()

    # --- packages ---------------------------------------------------------

    def build_package(self, code, name, per_machine):
        if not machine.wixl:
            raise harness.HarnessError("WIXL is not set; run through ctest")
        folder = machine.drive_c / "packages" / packed(code)
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "readme.txt").write_text("fixture payload\n")
        # Other GUIDs derive from the product code so each package is stable.
        digits = packed(code)
        (folder / "package.wxs").write_text(WXS_TEMPLATE.format(
            code=code, name=name,
            upgrade="{%s-%s-%s-%s-%s}" % (digits[:8], digits[8:12],
                                          digits[12:16], digits[16:20],
                                          digits[20:]),
            component="{%s-0000-4000-8000-%s}" % (digits[:8], digits[20:]),
            scope="perMachine" if per_machine else "perUser",
            root="ProgramFilesFolder" if per_machine else "LocalAppDataFolder",
            folder=packed(code)[:8]))
        subprocess.run([machine.wixl, "-o", str(folder / "package.msi"),
                        str(folder / "package.wxs")], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL)
        return machine.windows_path(folder / "package.msi")

    def install(self, code, name, per_machine=False):
        package = self.build_package(code, name, per_machine)
        extra = ["ALLUSERS=1"] if per_machine else []
        machine.wine("msiexec", "/i", package, "/q", *extra)
        if per_machine:
            # Wine records every product with assignment 0; Windows records
            # 1 for a per-machine one, which is what the program reads.
            key = (r"HKLM\Software\Classes\Installer\Products" "\\" +
                   packed(code))
            machine.wine("reg", "query", key)  # fails if the key is not there
            machine.wine("reg", "add", key, "/v", "Assignment", "/t",
                         "REG_DWORD", "/d", "1", "/f")

    def installed(self):
        """code -> (AssignmentType, name), as the Windows Installer lists
        them."""
        output = machine.wine(machine.product_lister).stdout.decode("cp1252")
        products = {}
        for line in output.splitlines():
            code, assignment, name = line.split(" ", 2)
            products[code] = (assignment, name)
        return products

    def uninstall_everything(self):
        for code in self.installed():
            machine.wine("msiexec", "/x", code, "/q", check=False)
        self.assertEqual(self.installed(), {})

    # --- tests ------------------------------------------------------------

    def test_product_is_found_by_its_exact_name_and_removed(self):
        roaming = machine.roaming_windows
        for per_machine, word in [(False, "per-user"), (True, "per-machine")]:
            with self.subTest(per_machine=per_machine):
                self.uninstall_everything()
                code = PER_MACHINE_CODE if per_machine else PER_USER_CODE
                self.install(code, PRODUCT, per_machine)
                # A product whose name only begins with ours is not ours.
                self.install(NEAR_MISS_CODE, NEAR_MISS_NAME)
                self.assertEqual(self.installed()[code],
                                 ("1" if per_machine else "0", PRODUCT))

                result = machine.run_program()

                self.assert_console(result, [
                    *expected.components(roaming, {}),
                    *product_lines(code, word),
                    *expected.summary([PRODUCT]),
                ])
                self.assert_box(result,
                                "Uninstallation of Tovik Workspace Starter, "
                                "completed")
                self.assertEqual(self.installed(),
                                 {NEAR_MISS_CODE: ("0", NEAR_MISS_NAME)})

    def test_components_first_then_the_product_in_the_summary(self):
        roaming = machine.roaming_windows
        for component in harness.COMPONENTS:
            machine.plant_stand_in(machine.component_folder(component),
                                   exit_code=0)
        self.install(PER_USER_CODE, PRODUCT)

        result = machine.run_program()

        self.assert_console(result, [
            *expected.components(roaming, {
                component: expected.removed(roaming, component, 0)
                for component in harness.COMPONENTS
            }),
            *product_lines(PER_USER_CODE, "per-user"),
            *expected.summary([*harness.COMPONENTS, PRODUCT]),
        ])
        self.assert_box(
            result, "Uninstallation of Tovik Hosted Apps Client, "
            "Tovik Remote Desk Client, Device Inspector, Deploy Client, "
            "Tovik Workspace Starter, completed")
        self.assertEqual(self.installed(), {})

    def test_product_is_removed_even_when_the_roaming_folder_is_unknown(self):
        self.install(PER_USER_CODE, PRODUCT)
        missing_folder = machine.drive_c / "e2e" / "no such folder"
        machine.set_roaming_folder(machine.windows_path(missing_folder))

        result = machine.run_program(remove_first=[missing_folder])

        self.assert_console(result, [
            "SHGetKnownFolderPath() failed for "
            "FOLDERID_RoamingAppData(%APPDATA%). Error:-2147024893.",
            *product_lines(PER_USER_CODE, "per-user"),
            *expected.summary([PRODUCT]),
        ])
        self.assertEqual(self.installed(), {})


if __name__ == "__main__":
    unittest.main()
