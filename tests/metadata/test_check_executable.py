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

# Keep the source tree free of __pycache__ when importing the checker.
sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_executable  # noqa: E402

CHECKER = os.path.join(HERE, "check_executable.py")
EXE_PATH = None  # set from the command line


# --- Ways to break the file -------------------------------------------------


def optional_header(data):
    pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
    return pe_offset + 24


def size_of_headers(data):
    return struct.unpack_from("<I", data, optional_header(data) + 60)[0]


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


def fixed_file_info(data):
    return find_once(data, struct.pack("<I", check_executable.VS_FFI_SIGNATURE))


def version_block(data):
    # VS_VERSION_INFO's header (6 bytes) and key (16 UTF-16 units) come
    # right before the fixed file info, aligned to 32 bits.
    return fixed_file_info(data) - 40


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


def resource_entry(data, path):
    """File offset of the resource directory entry reached by the ids in path."""
    pe = check_executable.PeImage(bytes(data))
    section_rva = pe.directory(2)[0]
    directory = 0
    for wanted in path:
        base = pe.rva_to_offset(section_rva + directory)
        named, ids = struct.unpack_from("<HH", data, base + 12)
        for index in range(named + ids):
            entry = base + 16 + 8 * index
            name, target = struct.unpack_from("<II", data, entry)
            if name == wanted:
                directory = target & 0x7FFFFFFF
                break
        else:
            raise AssertionError(f"resource id {wanted} not found")
    return entry


def import_by_ordinal(function, ordinal):
    """A patch turning a by-name import into an import by ordinal."""

    def patch(data):
        pe = check_executable.PeImage(bytes(data))
        hint_offset = find_once(data, function.encode() + b"\0") - 2
        for _name, rva, _vsize, raw_offset, raw_size in pe.sections:
            if raw_offset <= hint_offset < raw_offset + raw_size:
                hint_rva = rva + hint_offset - raw_offset
                idata = (raw_offset, raw_offset + raw_size)
        # The lookup table and the address table both point at the name.
        thunk = struct.pack("<I", hint_rva)
        first = data.find(thunk, *idata)
        second = data.find(thunk, first + 4, idata[1])
        assert first >= 0 and second >= 0 and data.find(thunk, second + 4, idata[1]) < 0
        for offset in (first, second):
            struct.pack_into("<I", data, offset, 0x80000000 | ordinal)

    return patch


# (what goes wrong, how to break the file, what the checker must say)
FAULTS = [
    (
        "linker's default subsystem version",
        put("<HH", lambda d: optional_header(d) + 48, 4, 0),
        ["header: subsystem version is 4.0, expected 6.0"],
    ),
    (
        "linker's default OS version",
        put("<HH", lambda d: optional_header(d) + 40, 4, 0),
        ["header: operating-system version is 4.0, expected 6.0"],
    ),
    (
        "GUI subsystem",
        put("<H", lambda d: optional_header(d) + 68, 2),
        ["header: subsystem is 2, expected 3"],
    ),
    (
        "64-bit machine",
        put("<H", lambda d: optional_header(d) - 20, 0x8664),
        ["header: machine is 0x8664, expected 0x14c"],
    ),
    (
        "PE32+ optional header",
        put("<H", optional_header, 0x20B),
        ["optional header magic is 0x20b, expected 0x10b (PE32)"],
    ),
    (
        "a runtime DLL in place of a system one",
        replace_once(b"SHELL32.dll\0", b"libgcc.dll\0"),
        [
            "imports: libgcc.dll is not a system DLL",
            "imports: nothing is imported from SHELL32.dll",
        ],
    ),
    (
        "process list taken under its psapi name",
        replace_once(b"K32EnumProcesses\0", b"EnumProcesses\0"),
        ["imports: K32EnumProcesses is not imported by name from KERNEL32.dll"],
    ),
    (
        "Windows Installer function imported by ordinal",
        import_by_ordinal("MsiEnumProductsA", 74),
        [
            "imports: MsiEnumProductsA is not imported by name from msi.dll "
            "(ordinals imported from it: 74)"
        ],
    ),
    (
        "an icon in place of the manifest",
        put("<I", lambda d: resource_entry(d, [24]), check_executable.RT_ICON),
        [
            "resources: the file has an icon (RT_ICON (3))",
            "resources: RT_MANIFEST (24) holds ids none, expected exactly id 1",
        ],
    ),
    (
        "manifest under an id Windows does not apply to an executable",
        put("<I", lambda d: resource_entry(d, [24, 1]), 2),
        ["resources: RT_MANIFEST (24) holds ids 2, expected exactly id 1"],
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
        "file version 1.0.0.2",
        put("<I", lambda d: fixed_file_info(d) + 12, 2),
        ["version block: file version is 1.0.0.2, expected 1.0.0.1"],
    ),
    (
        "product version 2.0.0.1",
        put("<I", lambda d: fixed_file_info(d) + 16, 0x00020000),
        ["version block: product version is 2.0.0.1, expected 1.0.0.1"],
    ),
    (
        "debug build flag",
        put("<I", lambda d: fixed_file_info(d) + 28, 1),
        ["version block: file flags is 0x1, expected 0x0"],
    ),
    (
        "16-bit Windows file OS",
        put("<I", lambda d: fixed_file_info(d) + 32, 0x4),
        ["version block: file OS is 0x4, expected 0x40004"],
    ),
    (
        "DLL file type",
        put("<I", lambda d: fixed_file_info(d) + 36, 2),
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
        "string table for another language",
        replace_once(utf16("040904b0"), utf16("040704b0")),
        ["version block: string tables are ['040704b0'], expected ['040904b0']"],
    ),
    (
        "translation for another language",
        put("<H", lambda d: find_once(d, b"\x09\x04\xb0\x04"), 0x0407),
        ["version block: Translation is [(0x0407, 0x04b0)], expected [(0x0409, 0x04b0)]"],
    ),
    (
        "version block longer than its resource",
        put("<H", version_block, 0xFFFF),
        ["version block: node at 0x0 claims 65535 bytes"],
    ),
    (
        "file cut short after its headers",
        lambda data: data.__delitem__(slice(size_of_headers(data), None)),
        ["imports: cannot be read", "resources: cannot be read"],
    ),
    (
        "not a PE file at all",
        lambda data: data.__setitem__(slice(None), b"just some text\n"),
        ["header: no MZ signature"],
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

            # Two faults at once: both are listed, not just the first.
            bad = os.path.join(folder, "bad.exe")
            data = bytearray(self.original)
            put("<HH", lambda d: optional_header(d) + 48, 4, 0)(data)
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
