#!/usr/bin/env python3
"""Shows that check_executable.py notices when the executable is wrong.

Each case takes the built executable's bytes, breaks one thing the way a real
build mistake would (a dropped linker flag, a runtime DLL, an icon, an
elevated manifest, a wrong version string, a damaged structure) and expects
the checker to name that fault. The untouched file must pass.

Usage: test_check_executable.py PATH_TO_EXE [unittest options]
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

# Keep the source tree free of __pycache__ when importing the checker.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_executable  # noqa: E402

CHECKER = os.path.join(HERE, "check_executable.py")
EXE_PATH = None  # set from the command line


# --- Ways to break the file -------------------------------------------------


def parsed(data):
    return pefile.PE(data=bytes(data))


def field(structure, name):
    """The file offset of a named field of a structure pefile reads, such as
    field(lambda pe: pe.OPTIONAL_HEADER, "Subsystem")."""

    def offset_of(data):
        return structure(parsed(data)).get_field_absolute_offset(name)

    return offset_of


def optional_header(name):
    return field(lambda pe: pe.OPTIONAL_HEADER, name)


def data_directory(name):
    """Offset of a data directory's (address, size) pair in the header."""

    def offset_of(data):
        index = pefile.DIRECTORY_ENTRY[name]
        return parsed(data).OPTIONAL_HEADER.DATA_DIRECTORY[index].get_file_offset()

    return offset_of


def fixed_file_info(name):
    return field(lambda pe: pe.VS_FIXEDFILEINFO[0], name)


def put(fmt, offset_of, *values):
    """A patch writing values at an offset found in the file's bytes."""

    def patch(data):
        struct.pack_into(fmt, data, offset_of(data), *values)

    return patch


def find_once(data, needle):
    assert data.count(needle) == 1, f"{needle!r} is not unique in the file"
    return data.find(needle)


def replace_once(old, new):
    """A patch replacing a unique byte string with one no longer than it."""
    assert len(new) <= len(old)

    def patch(data):
        start = find_once(data, old)
        data[start : start + len(old)] = new.ljust(len(old), b"\0")

    return patch


def utf16(text):
    return text.encode("utf-16-le")


def version_string_type(key):
    """Offset of wType in the header of the version string with this key."""

    def offset_of(data):
        table = next(
            block for block in parsed(data).FileInfo[0] if block.Key == b"StringFileInfo"
        ).StringTable[0]
        return table.entries_offsets[key.encode()][0] - 2

    return offset_of


def replace_manifest(text):
    """A patch putting another manifest in the embedded one's bytes."""

    def patch(data):
        start = find_once(data, b"<?xml")
        end = find_once(data, b"</assembly>") + len(b"</assembly>")
        new = text.encode("utf-8")
        assert len(new) <= end - start, "replacement manifest is too long"
        # Whitespace after the root element keeps the XML well-formed.
        data[start:end] = new.ljust(end - start, b" ")

    return patch


def manifest_with(body, level="asInvoker", ui_access="false"):
    return (
        '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">'
        '<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security>'
        f'<requestedPrivileges><requestedExecutionLevel level="{level}" '
        f'uiAccess="{ui_access}"/></requestedPrivileges></security></trustInfo>'
        f"{body}</assembly>"
    )


def resource_entry(path):
    """Offset of the resource directory entry reached by the ids in path."""

    def offset_of(data):
        entries = parsed(data).DIRECTORY_ENTRY_RESOURCE.entries
        for wanted in path:
            entry = next(entry for entry in entries if entry.id == wanted)
            entries = getattr(getattr(entry, "directory", None), "entries", [])
        return entry.struct.get_file_offset()

    return offset_of


def import_by_ordinal(dll, function, ordinal):
    """A patch turning a by-name import into an import by ordinal."""

    def patch(data):
        pe = parsed(data)
        descriptor = next(
            entry
            for entry in pe.DIRECTORY_ENTRY_IMPORT
            if entry.dll.lower() == dll.lower().encode()
        )
        symbol = next(symbol for symbol in descriptor.imports if symbol.name == function.encode())
        # The lookup table and the address table both point at the name.
        address_table = pe.get_offset_from_rva(symbol.address - pe.OPTIONAL_HEADER.ImageBase)
        for offset in (symbol.struct_table.get_file_offset(), address_table):
            struct.pack_into("<I", data, offset, 0x80000000 | ordinal)

    return patch


def delay_load(dll, function):
    """A patch adding a delay-import table that loads dll for function.

    The table, its thunks and the names go into the zeros between the
    section table and the first section, which Windows maps at their own
    offsets as RVAs."""
    descriptor, name, module, iat, lookup, hint_name = 0x340, 0x380, 0x388, 0x390, 0x398, 0x3A0

    def patch(data):
        assert not any(data[descriptor:0x3C0]), "no room before the first section"
        # Attributes 1: the fields are RVAs, not addresses.
        struct.pack_into("<8I", data, descriptor, 1, name, module, iat, lookup, 0, 0, 0)
        data[name : name + len(dll) + 1] = dll.encode() + b"\0"
        for table in (iat, lookup):
            struct.pack_into("<I", data, table, hint_name)
        data[hint_name + 2 : hint_name + 3 + len(function)] = function.encode() + b"\0"
        directory = data_directory("IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT")(data)
        struct.pack_into("<II", data, directory, descriptor, 64)

    return patch


def add_certificate_table(data):
    """What signing adds: a WIN_CERTIFICATE after the last section, aligned
    to 8 bytes, named by the security directory (a file offset, not an RVA)."""
    data.extend(b"\0" * (-len(data) % 8))
    offset = len(data)
    signature = b"\x30\x82" + bytes(254)  # stands in for the PKCS#7 blob
    data.extend(struct.pack("<IHH", 8 + len(signature), 0x0200, 0x0002) + signature)
    directory = data_directory("IMAGE_DIRECTORY_ENTRY_SECURITY")(data)
    struct.pack_into("<II", data, directory, offset, len(data) - offset)


# (what goes wrong, how to break the file, what the checker must say)
FAULTS = [
    (
        "linker's default subsystem version",
        put("<HH", optional_header("MajorSubsystemVersion"), 4, 0),
        ["header: subsystem version is 4.0, expected 6.0"],
    ),
    (
        "linker's default OS version",
        put("<HH", optional_header("MajorOperatingSystemVersion"), 4, 0),
        ["header: operating-system version is 4.0, expected 6.0"],
    ),
    (
        "GUI subsystem",
        put("<H", optional_header("Subsystem"), 2),
        ["header: subsystem is 2, expected 3"],
    ),
    (
        "64-bit machine",
        put("<H", field(lambda pe: pe.FILE_HEADER, "Machine"), 0x8664),
        ["header: machine is 0x8664, expected 0x14c"],
    ),
    (
        "PE32+ optional header",
        put("<H", optional_header("Magic"), 0x20B),
        ["header: optional header magic is 0x20b, expected 0x10b (PE32)"],
    ),
    (
        "marked as a DLL",
        put("<H", field(lambda pe: pe.FILE_HEADER, "Characteristics"), 0x2102),
        ["header: the file is marked as a DLL"],
    ),
    (
        "a runtime DLL in place of a system one",
        replace_once(b"SHELL32.dll\0", b"libgcc.dll\0"),
        [
            "imports: imported libgcc.dll is not a KnownDLL",
            "imports: nothing is imported from SHELL32.dll",
        ],
    ),
    (
        "Windows Installer imported statically",
        replace_once(b"ole32.dll\0", b"msi.dll\0"),
        ["imports: msi.dll is imported; it is not a KnownDLL"],
    ),
    (
        "Windows Installer delay-loaded",
        delay_load("MSI.DLL", "MsiEnumProductsA"),
        ["imports: MSI.DLL is delay-loaded; it is not a KnownDLL"],
    ),
    (
        "process list taken under its psapi name",
        replace_once(b"K32EnumProcesses\0", b"EnumProcesses\0"),
        ["imports: K32EnumProcesses is not imported by name from KERNEL32.dll"],
    ),
    (
        "message box imported by ordinal",
        import_by_ordinal("USER32.dll", "MessageBoxA", 2039),
        [
            "imports: MessageBoxA is not imported by name from USER32.dll "
            "(ordinals imported from it: 2039)"
        ],
    ),
    (
        "an icon in place of the manifest",
        put("<I", resource_entry([check_executable.RT_MANIFEST]), check_executable.RT_ICON),
        [
            "resources: the file has an icon (RT_ICON (3))",
            "resources: RT_MANIFEST (24) holds ids none, expected exactly id 1",
        ],
    ),
    (
        "manifest under an id Windows does not apply to an executable",
        put("<I", resource_entry([check_executable.RT_MANIFEST, 1]), 2),
        ["resources: RT_MANIFEST (24) holds ids 2, expected exactly id 1"],
    ),
    (
        "version block under another resource type",
        put("<I", resource_entry([check_executable.RT_VERSION]), 10),
        [
            "resources: unexpected resource type RT_RCDATA (10)",
            "resources: RT_VERSION (16) holds ids none, expected exactly id 1",
        ],
    ),
    (
        "manifest asking for elevation",
        replace_manifest(manifest_with("", level="requireAdministrator")),
        ["manifest: assembly/trustInfo/security/requestedPrivileges/"
         "requestedExecutionLevel: attributes are"],
    ),
    (
        "manifest asking for UI access",
        replace_manifest(manifest_with("", ui_access="true")),
        ["requestedExecutionLevel: attributes are {'level': 'asInvoker', 'uiAccess': 'true'}"],
    ),
    (
        "manifest with more than the trust information",
        replace_manifest(manifest_with('<file name="a.dll"/>')),
        ["manifest: assembly: holds"],
    ),
    (
        "manifest that is not XML",
        replace_manifest(manifest_with("")[:-3]),
        ["manifest: not well-formed XML"],
    ),
    (
        "version block under another root key",
        replace_once(utf16("VS_VERSION_INFO"), utf16("VS_VERSION_INFP")),
        ["version block: pefile found no VS_VERSION_INFO in the RT_VERSION resource"],
    ),
    (
        "file version 1.0.0.2",
        put("<I", fixed_file_info("FileVersionLS"), 2),
        ["version block: file version is 1.0.0.2, expected 1.0.0.1"],
    ),
    (
        "product version 2.0.0.1",
        put("<I", fixed_file_info("ProductVersionMS"), 0x00020000),
        ["version block: product version is 2.0.0.1, expected 1.0.0.1"],
    ),
    (
        "debug build flag",
        put("<I", fixed_file_info("FileFlags"), 1),
        ["version block: file flags is 0x1, expected 0x0"],
    ),
    (
        "16-bit Windows file OS",
        put("<I", fixed_file_info("FileOS"), 0x4),
        ["version block: file OS is 0x4, expected 0x40004"],
    ),
    (
        "DLL file type",
        put("<I", fixed_file_info("FileType"), 2),
        ["version block: file type is 0x2, expected 0x1"],
    ),
    (
        "one letter of the description",
        replace_once(utf16("Uninstaller"), utf16("Uninstallet")),
        ["version block: string 'FileDescription' is 'Tovik Components Uninstallet', "
         "expected 'Tovik Components Uninstaller'"],
    ),
    (
        "a string under another key",
        replace_once(utf16("OriginalFilename"), utf16("OriginalFilenamE")),
        ["version block: string 'OriginalFilename' is missing"],
    ),
    (
        "a key written twice",
        replace_once(utf16("InternalName"), utf16("ProductName")),
        [
            "version block: string 'InternalName' is missing",
            "bytes more than its strings: a key appears twice",
        ],
    ),
    (
        "a string marked as binary data",
        put("<H", version_string_type("FileDescription"), 0),
        ["version block: string 'FileDescription' is not marked as text"],
    ),
    (
        "string table for another language",
        replace_once(utf16("040904b0"), utf16("040704b0")),
        ["version block: string tables are ['040704b0'], expected ['040904b0']"],
    ),
    (
        "translation for another language",
        put("<H", lambda d: find_once(d, b"\x09\x04\xb0\x04"), 0x0407),
        ["version block: Translation is 0x0407 0x04b0, expected 0x0409 0x04b0"],
    ),
    (
        "version block longer than its resource",
        put("<H", field(lambda pe: pe.VS_VERSIONINFO[0], "Length"), 0xFFFF),
        ["version block: VS_VERSION_INFO claims 65535 bytes, but its resource holds"],
    ),
    (
        "file cut short after its headers",
        lambda data: data.__delitem__(slice(parsed(data).OPTIONAL_HEADER.SizeOfHeaders, None)),
        ["imports: cannot be read", "resources: cannot be read"],
    ),
    (
        "not a PE file at all",
        lambda data: data.__setitem__(slice(None), b"just some text\n"),
        ["header: not a PE file"],
    ),
]


class CheckerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE_PATH, "rb") as exe:
            cls.original = exe.read()

    def test_untouched_file_passes(self):
        self.assertEqual(check_executable.check(self.original), [])

    def test_each_fault_is_reported(self):
        for fault, patch, expected_messages in FAULTS:
            with self.subTest(fault):
                data = bytearray(self.original)
                patch(data)
                self.assertNotEqual(bytes(data), self.original, "the patch changed nothing")
                report = "\n".join(check_executable.check(bytes(data)))
                for message in expected_messages:
                    self.assertIn(message, report)

    def run_checker(self, path):
        return subprocess.run(
            [sys.executable, "-B", CHECKER, path], capture_output=True, text=True
        )

    def test_command_line_exit_codes(self):
        with tempfile.TemporaryDirectory() as folder:
            good = os.path.join(folder, "good.exe")
            shutil.copyfile(EXE_PATH, good)
            result = self.run_checker(good)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

            # The release is checked once signed: the certificate table is
            # neither a fault nor a resource.
            signed = os.path.join(folder, "signed.exe")
            data = bytearray(self.original)
            add_certificate_table(data)
            self.assertNotEqual(parsed(data).OPTIONAL_HEADER.DATA_DIRECTORY[4].Size, 0)
            with open(signed, "wb") as exe:
                exe.write(data)
            result = self.run_checker(signed)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

            # Two faults at once: both are listed, not just the first.
            bad = os.path.join(folder, "bad.exe")
            data = bytearray(self.original)
            put("<HH", optional_header("MajorSubsystemVersion"), 4, 0)(data)
            replace_once(utf16("Uninstaller"), utf16("Uninstallet"))(data)
            with open(bad, "wb") as exe:
                exe.write(data)
            result = self.run_checker(bad)
            self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
            self.assertIn("MISMATCH header: subsystem version is 4.0", result.stdout)
            self.assertIn("MISMATCH version block: string 'FileDescription'", result.stdout)

            result = self.run_checker(os.path.join(folder, "missing.exe"))
            self.assertEqual(result.returncode, 2)
            self.assertIn("cannot read", result.stderr)
            self.assertNotIn("Traceback", result.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(f"usage: {sys.argv[0]} PATH_TO_EXE [unittest options]")
    if not os.path.isfile(sys.argv[1]):
        sys.exit(f"no executable at {sys.argv[1]}: build it first (target windows_build)")
    EXE_PATH = sys.argv[1]
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
