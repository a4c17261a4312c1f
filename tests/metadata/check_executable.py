#!/usr/bin/env python3
"""Reads UninstallTovikComponents.exe back and checks what Windows sees of it.

The program has to start on a bare Windows 7 or later, as a 32-bit console
program that asks for no elevation, and show the right details in the file's
properties. None of that is visible from the C++ sources alone: it depends on
linker flags, on which runtime gets linked statically and on what windres
embeds. So this script reads the built PE file itself, with nothing but the
standard library, and checks:

  * the header: PE32, i386, console subsystem, OS and subsystem version 6.0;
  * the imports: only system DLLs, and the Windows functions the program calls
    taken by name from the DLL that Windows 7 provides them in;
  * the resources: exactly the manifest and the version block, no icon;
  * the manifest's content and the version block's fixed and string values.

Usage: check_executable.py PATH_TO_EXE
Exit code 0 when everything matches, 1 when anything does not (every mismatch
is listed), 2 when the file cannot be read at all.
"""

import struct
import sys
import xml.etree.ElementTree as ET

# --- What the executable must be --------------------------------------------

IMAGE_FILE_MACHINE_I386 = 0x14C
PE32_MAGIC = 0x10B
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000

# Windows Vista/7 as the oldest system; the linker's default would be 4.0.
EXPECTED_OS_VERSION = (6, 0)
EXPECTED_SUBSYSTEM_VERSION = (6, 0)

# A bare Windows has these; anything else (libstdc++, libgcc, winpthread)
# would have to ship beside the program. Compared case-insensitively, as the
# loader does.
ALLOWED_DLLS = [
    "KERNEL32.dll",
    "USER32.dll",
    "SHELL32.dll",
    "ole32.dll",
    "msi.dll",
    "msvcrt.dll",
]

# The Windows functions the program calls, by the DLL that must provide them.
# The process-status functions must come from kernel32 under their K32 names:
# the unprefixed names would pull in psapi.dll.
REQUIRED_IMPORTS = {
    "KERNEL32.dll": [
        "K32EnumProcesses",
        "K32GetProcessImageFileNameA",
        "OpenProcess",
        "TerminateProcess",
        "CloseHandle",
        "GetLastError",
        "CreateProcessA",
        "WaitForSingleObject",
        "GetExitCodeProcess",
    ],
    "SHELL32.dll": ["SHGetKnownFolderPath"],
    "USER32.dll": ["MessageBoxA"],
    "msi.dll": ["MsiEnumProductsA", "MsiGetProductInfoA"],
}

RT_ICON = 3
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24
RESOURCE_TYPE_NAMES = {
    1: "RT_CURSOR",
    2: "RT_BITMAP",
    RT_ICON: "RT_ICON",
    4: "RT_MENU",
    5: "RT_DIALOG",
    6: "RT_STRING",
    10: "RT_RCDATA",
    12: "RT_GROUP_CURSOR",
    RT_GROUP_ICON: "RT_GROUP_ICON",
    RT_VERSION: "RT_VERSION",
    RT_MANIFEST: "RT_MANIFEST",
}
# Resource type -> the one resource id it must hold.
EXPECTED_RESOURCES = {RT_VERSION: 1, RT_MANIFEST: 1}

ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"


def asm_v3(name):
    return f"{{{ASM_V3}}}{name}"


# The whole manifest as (tag, attributes, children): the program runs with
# the rights of whoever starts it, and the manifest says nothing else.
EXPECTED_MANIFEST = (f"{{{ASM_V1}}}assembly", {"manifestVersion": "1.0"}, [
    (asm_v3("trustInfo"), {}, [
        (asm_v3("security"), {}, [
            (asm_v3("requestedPrivileges"), {}, [
                (asm_v3("requestedExecutionLevel"),
                 {"level": "asInvoker", "uiAccess": "false"}, []),
            ]),
        ]),
    ]),
])

VS_FFI_SIGNATURE = 0xFEEF04BD
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 0x00000001
VERSION_1_0_0_1 = (0x00010000, 0x00000001)  # (MS, LS) words of 1.0.0.1

STRING_TABLE_KEY = "040904b0"  # U.S. English, Unicode
EXPECTED_TRANSLATION = (0x0409, 0x04B0)
# The file's properties dialog shows these; other strings may be present.
EXPECTED_STRINGS = {
    "FileVersion": "1.0.0.1",
    "ProductVersion": "1.0.0.1",
    "FileDescription": "Tovik Components Uninstaller",
    "InternalName": "UninstallTovikComponents.exe",
    "OriginalFilename": "UninstallTovikComponents.exe",
    "ProductName": "Tovik",
}


# --- Reading the PE file ----------------------------------------------------


class FormatError(Exception):
    """The file is not laid out as a PE file should be."""


class PeImage:
    """The parts of a PE file's layout the checks need, bounds-checked."""

    def __init__(self, data):
        self.data = data
        if self.read(0, "<2s")[0] != b"MZ":
            raise FormatError("no MZ signature at the start of the file")
        pe_offset = self.read(0x3C, "<I")[0]
        if self.read(pe_offset, "<4s")[0] != b"PE\0\0":
            raise FormatError(f"no PE signature at offset {pe_offset:#x}")

        (
            self.machine,
            section_count,
            _timestamp,
            _symbols,
            _symbol_count,
            optional_header_size,
            self.characteristics,
        ) = self.read(pe_offset + 4, "<HHIIIHH")
        self.optional_header_offset = pe_offset + 24
        self.magic = self.read(self.optional_header_offset, "<H")[0]
        if self.magic != PE32_MAGIC:
            # The rest of the optional header has another layout in PE32+.
            raise FormatError(
                f"optional header magic is {self.magic:#x}, "
                f"expected {PE32_MAGIC:#x} (PE32)"
            )

        opt = self.optional_header_offset
        self.image_base = self.read(opt + 28, "<I")[0]
        (
            self.os_version_major,
            self.os_version_minor,
            _image_major,
            _image_minor,
            self.subsystem_version_major,
            self.subsystem_version_minor,
        ) = self.read(opt + 40, "<6H")
        self.size_of_headers = self.read(opt + 60, "<I")[0]
        self.subsystem = self.read(opt + 68, "<H")[0]
        directory_count = self.read(opt + 92, "<I")[0]
        self.directories = []
        for index in range(min(directory_count, 16)):
            self.directories.append(self.read(opt + 96 + 8 * index, "<II"))

        self.sections = []
        section_table = opt + optional_header_size
        for index in range(section_count):
            fields = self.read(section_table + 40 * index, "<8sIIII")
            name, virtual_size, virtual_address, raw_size, raw_offset = fields
            self.sections.append(
                (
                    name.rstrip(b"\0").decode("ascii", "replace"),
                    virtual_address,
                    virtual_size,
                    raw_offset,
                    raw_size,
                )
            )

    def read(self, offset, fmt):
        size = struct.calcsize(fmt)
        if offset < 0 or offset + size > len(self.data):
            raise FormatError(
                f"reading {size} bytes at offset {offset:#x} runs past "
                f"the end of the file ({len(self.data):#x} bytes)"
            )
        return struct.unpack_from(fmt, self.data, offset)

    def directory(self, index):
        """(rva, size) of a data directory; (0, 0) when absent."""
        if index < len(self.directories):
            return self.directories[index]
        return (0, 0)

    def rva_to_offset(self, rva):
        if rva < self.size_of_headers:
            return rva
        for _name, virtual_address, virtual_size, raw_offset, raw_size in self.sections:
            if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
                if rva - virtual_address >= raw_size:
                    raise FormatError(f"RVA {rva:#x} lies in a section's zero-filled tail")
                return raw_offset + rva - virtual_address
        raise FormatError(f"RVA {rva:#x} lies in no section")

    def bytes_at_rva(self, rva, size):
        offset = self.rva_to_offset(rva)
        if offset + size > len(self.data):
            raise FormatError(
                f"{size} bytes at RVA {rva:#x} run past the end of the file"
            )
        return self.data[offset : offset + size]

    def read_rva(self, rva, fmt):
        return self.read(self.rva_to_offset(rva), fmt)

    def c_string_at_rva(self, rva, limit=512):
        offset = self.rva_to_offset(rva)
        end = self.data.find(b"\0", offset, offset + limit)
        if end < 0:
            raise FormatError(f"no terminated string at RVA {rva:#x}")
        return self.data[offset:end].decode("ascii", "replace")


# --- Header -----------------------------------------------------------------


def check_header(pe):
    problems = []

    def expect(what, actual, expected, show=str):
        if actual != expected:
            problems.append(f"header: {what} is {show(actual)}, expected {show(expected)}")

    # The PE32 magic itself is checked while reading: nothing else can be
    # read without it.
    expect("machine", pe.machine, IMAGE_FILE_MACHINE_I386, hex)
    expect("subsystem", pe.subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI)
    expect(
        "operating-system version",
        (pe.os_version_major, pe.os_version_minor),
        EXPECTED_OS_VERSION,
        lambda version: "%d.%d" % version,
    )
    expect(
        "subsystem version",
        (pe.subsystem_version_major, pe.subsystem_version_minor),
        EXPECTED_SUBSYSTEM_VERSION,
        lambda version: "%d.%d" % version,
    )
    if not pe.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
        problems.append("header: the file is not marked as an executable image")
    if pe.characteristics & IMAGE_FILE_DLL:
        problems.append("header: the file is marked as a DLL")
    return problems


# --- Imports ----------------------------------------------------------------

IMAGE_ORDINAL_FLAG32 = 0x80000000


def read_thunks(pe, table_rva):
    """Imports of one DLL: a list of names, or ('#', ordinal) for ordinals."""
    imports = []
    rva = table_rva
    while True:
        thunk = pe.read_rva(rva, "<I")[0]
        if thunk == 0:
            return imports
        if thunk & IMAGE_ORDINAL_FLAG32:
            imports.append(("#", thunk & 0xFFFF))
        else:
            # A hint word, then the name.
            imports.append(pe.c_string_at_rva(thunk + 2))
        rva += 4


def read_imports(pe):
    """{dll name as written: [imports]} from the import directory."""
    imports = {}
    rva, size = pe.directory(1)
    if rva == 0 or size == 0:
        return imports
    while True:
        lookup_table, _stamp, _forwarder, name_rva, address_table = pe.read_rva(
            rva, "<IIIII"
        )
        if lookup_table == 0 and name_rva == 0 and address_table == 0:
            return imports
        dll = pe.c_string_at_rva(name_rva)
        # Linkers may leave the lookup table out; the address table holds the
        # same entries in the file until the loader binds it.
        imports.setdefault(dll, []).extend(read_thunks(pe, lookup_table or address_table))
        rva += 20


def read_delay_imports(pe):
    """Names of the DLLs loaded on first use, which are dependencies too."""
    dlls = []
    rva, size = pe.directory(13)
    if rva == 0 or size == 0:
        return dlls
    while True:
        attributes, name = pe.read_rva(rva, "<II")
        if name == 0:
            return dlls
        # Old-style descriptors hold virtual addresses rather than RVAs.
        dlls.append(pe.c_string_at_rva(name if attributes & 1 else name - pe.image_base))
        rva += 32


def check_imports(pe):
    problems = []
    imports = read_imports(pe)
    allowed = {dll.lower() for dll in ALLOWED_DLLS}

    for dll in imports:
        if dll.lower() not in allowed:
            problems.append(f"imports: {dll} is not a system DLL the program may use")
    for dll in read_delay_imports(pe):
        if dll.lower() not in allowed:
            problems.append(f"imports: delay-loaded {dll} is not a system DLL the program may use")

    by_lower_name = {}
    for dll, entries in imports.items():
        by_lower_name.setdefault(dll.lower(), []).extend(entries)
    for dll, functions in REQUIRED_IMPORTS.items():
        entries = by_lower_name.get(dll.lower())
        if entries is None:
            problems.append(f"imports: nothing is imported from {dll}")
            continue
        names = {entry for entry in entries if isinstance(entry, str)}
        ordinals = [str(entry[1]) for entry in entries if isinstance(entry, tuple)]
        for function in functions:
            if function in names:
                continue
            message = f"imports: {function} is not imported by name from {dll}"
            if ordinals:
                # An ordinal says nothing about which function it is without
                # that DLL's own export table, so it cannot stand in for one.
                message += f" (ordinals imported from it: {', '.join(ordinals)})"
            problems.append(message)
    return problems, imports


# --- Resources --------------------------------------------------------------

RESOURCE_NAME_IS_STRING = 0x80000000
RESOURCE_DATA_IS_DIRECTORY = 0x80000000


def read_resource_directory(pe, section_rva, directory_offset):
    """Entries of one resource directory: [(id or name, is_directory, offset)]."""
    rva = section_rva + directory_offset
    named_count, id_count = pe.read_rva(rva + 12, "<HH")
    entries = []
    for index in range(named_count + id_count):
        name, target = pe.read_rva(rva + 16 + 8 * index, "<II")
        if name & RESOURCE_NAME_IS_STRING:
            string_rva = section_rva + (name & ~RESOURCE_NAME_IS_STRING)
            length = pe.read_rva(string_rva, "<H")[0]
            name = pe.bytes_at_rva(string_rva + 2, 2 * length).decode("utf-16-le", "replace")
        entries.append(
            (
                name,
                bool(target & RESOURCE_DATA_IS_DIRECTORY),
                target & ~RESOURCE_DATA_IS_DIRECTORY,
            )
        )
    return entries


def read_resources(pe):
    """{(type, id): [data bytes, one per language]} from the resource tree."""
    resources = {}
    section_rva, size = pe.directory(2)
    if section_rva == 0 or size == 0:
        return resources
    for type_id, type_is_dir, type_offset in read_resource_directory(pe, section_rva, 0):
        if not type_is_dir:
            raise FormatError(f"resource type {type_id!r} has no directory of names")
        for name_id, name_is_dir, name_offset in read_resource_directory(
            pe, section_rva, type_offset
        ):
            if not name_is_dir:
                raise FormatError(f"resource {type_id!r}/{name_id!r} has no language directory")
            leaves = resources.setdefault((type_id, name_id), [])
            for _language, language_is_dir, entry_offset in read_resource_directory(
                pe, section_rva, name_offset
            ):
                if language_is_dir:
                    raise FormatError(f"resource {type_id!r}/{name_id!r} nests too deep")
                data_rva, data_size = pe.read_rva(section_rva + entry_offset, "<II")
                leaves.append(pe.bytes_at_rva(data_rva, data_size))
    return resources


def describe_type(type_id):
    if isinstance(type_id, int) and type_id in RESOURCE_TYPE_NAMES:
        return f"{RESOURCE_TYPE_NAMES[type_id]} ({type_id})"
    return repr(type_id)


def check_resources(pe):
    """Problems, and the manifest and version data when each is there once."""
    problems = []
    resources = read_resources(pe)
    types = {type_id for type_id, _name in resources}

    for type_id in sorted(types, key=str):
        if type_id in (RT_ICON, RT_GROUP_ICON):
            problems.append(f"resources: the file has an icon ({describe_type(type_id)})")
        elif type_id not in EXPECTED_RESOURCES:
            problems.append(f"resources: unexpected resource type {describe_type(type_id)}")

    found = {}
    for type_id, expected_id in EXPECTED_RESOURCES.items():
        ids = [name for kind, name in resources if kind == type_id]
        if ids != [expected_id]:
            shown = ", ".join(repr(name) for name in ids) or "none"
            problems.append(
                f"resources: {describe_type(type_id)} holds ids {shown}, "
                f"expected exactly id {expected_id}"
            )
            continue
        leaves = resources[(type_id, expected_id)]
        if len(leaves) != 1:
            problems.append(
                f"resources: {describe_type(type_id)} id {expected_id} exists in "
                f"{len(leaves)} languages, expected one"
            )
            continue
        found[type_id] = leaves[0]
    return problems, found.get(RT_MANIFEST), found.get(RT_VERSION)


# --- Manifest ---------------------------------------------------------------


def check_manifest(manifest_bytes):
    try:
        root = ET.fromstring(manifest_bytes)
    except ET.ParseError as error:
        return [f"manifest: not well-formed XML: {error}"]
    return compare_element(root, EXPECTED_MANIFEST, "manifest: ")


def local_name(tag):
    return tag.rsplit("}", 1)[-1]


def compare_element(element, expected, where):
    tag, attributes, children = expected
    where += local_name(tag)
    if element.tag != tag:
        return [f"{where}: found element {element.tag}, expected {tag}"]

    problems = []
    if element.attrib != attributes:
        problems.append(f"{where}: attributes are {element.attrib}, expected {attributes}")
    if element.text and element.text.strip():
        problems.append(f"{where}: holds text {element.text.strip()!r}")
    for child in element:
        if child.tail and child.tail.strip():
            problems.append(f"{where}: holds text {child.tail.strip()!r}")

    actual_children = list(element)
    if [child.tag for child in actual_children] != [child[0] for child in children]:
        problems.append(
            f"{where}: holds {[child.tag for child in actual_children]}, "
            f"expected {[child[0] for child in children]}"
        )
        return problems
    for child, expected_child in zip(actual_children, children):
        problems.extend(compare_element(child, expected_child, where + "/"))
    return problems


# --- Version block ----------------------------------------------------------


class VersionNode:
    """One VS_VERSIONINFO-style block: wLength, wValueLength, wType, szKey,
    the value and the child blocks, each start aligned to 32 bits."""

    def __init__(self, key, value_type, value, children):
        self.key = key
        self.value_type = value_type  # 0 binary, 1 text
        self.value = value  # bytes
        self.children = children

    def text(self):
        return self.value.decode("utf-16-le", "replace").rstrip("\0")


def align4(offset):
    return (offset + 3) & ~3


def parse_version_node(block, offset, limit):
    """The node at offset and its length; the node must end by limit."""
    if offset + 6 > limit:
        raise FormatError(f"version block: truncated node header at {offset:#x}")
    length, value_length, value_type = struct.unpack_from("<HHH", block, offset)
    if length < 6 or offset + length > limit:
        raise FormatError(
            f"version block: node at {offset:#x} claims {length} bytes, "
            f"but only {limit - offset} are left in its parent"
        )
    end = offset + length

    position = offset + 6
    key_chars = []
    while True:
        if position + 2 > end:
            raise FormatError(f"version block: unterminated key in node at {offset:#x}")
        (char,) = struct.unpack_from("<H", block, position)
        position += 2
        if char == 0:
            break
        key_chars.append(chr(char))
    key = "".join(key_chars)

    # wValueLength counts UTF-16 units for text values, bytes for binary ones.
    value_size = value_length * 2 if value_type == 1 else value_length
    position = align4(position)
    if position + value_size > end:
        raise FormatError(f"version block: value of {key!r} runs past its node")
    value = bytes(block[position : position + value_size])
    position = align4(position + value_size)

    children = []
    while position < end:
        child, child_length = parse_version_node(block, position, end)
        children.append(child)
        position = align4(position + child_length)
    return VersionNode(key, value_type, value, children), length


def parse_version_info(block):
    root, _length = parse_version_node(block, 0, len(block))
    return root


def version_text(words):
    ms, ls = words
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def check_fixed_file_info(value):
    problems = []
    if len(value) != 52:
        return [f"version block: VS_FIXEDFILEINFO is {len(value)} bytes, expected 52"]
    (
        signature,
        _struct_version,
        file_ms,
        file_ls,
        product_ms,
        product_ls,
        _flags_mask,
        flags,
        file_os,
        file_type,
        _subtype,
        _date_ms,
        _date_ls,
    ) = struct.unpack("<13I", value)

    def expect(what, actual, expected, show=hex):
        if actual != expected:
            problems.append(f"version block: {what} is {show(actual)}, expected {show(expected)}")

    expect("signature", signature, VS_FFI_SIGNATURE)
    expect("file version", (file_ms, file_ls), VERSION_1_0_0_1, version_text)
    expect("product version", (product_ms, product_ls), VERSION_1_0_0_1, version_text)
    expect("file flags", flags, 0)
    expect("file OS", file_os, VOS_NT_WINDOWS32)
    expect("file type", file_type, VFT_APP)
    return problems


def check_string_file_info(node):
    problems = []
    tables = [table.key for table in node.children]
    if tables != [STRING_TABLE_KEY]:
        return [f"version block: string tables are {tables}, expected [{STRING_TABLE_KEY!r}]"]

    strings = {}
    for entry in node.children[0].children:
        if entry.key in strings:
            problems.append(f"version block: string {entry.key!r} appears twice")
        if entry.value_type != 1:
            problems.append(f"version block: string {entry.key!r} is not marked as text")
        strings[entry.key] = entry.text()
    for key, expected in EXPECTED_STRINGS.items():
        if key not in strings:
            problems.append(f"version block: string {key!r} is missing")
        elif strings[key] != expected:
            problems.append(
                f"version block: string {key!r} is {strings[key]!r}, expected {expected!r}"
            )
    return problems


def check_var_file_info(node):
    variables = [var.key for var in node.children]
    if variables != ["Translation"]:
        return [f"version block: VarFileInfo holds {variables}, expected ['Translation']"]
    value = node.children[0].value
    if len(value) % 4:
        return [f"version block: Translation value is {len(value)} bytes, not whole pairs"]
    pairs = [struct.unpack_from("<HH", value, at) for at in range(0, len(value), 4)]
    if pairs != [EXPECTED_TRANSLATION]:
        shown = ", ".join(f"({lang:#06x}, {codepage:#06x})" for lang, codepage in pairs)
        return [
            f"version block: Translation is [{shown}], expected "
            f"[({EXPECTED_TRANSLATION[0]:#06x}, {EXPECTED_TRANSLATION[1]:#06x})]"
        ]
    return []


def check_version(version_bytes):
    root = parse_version_info(version_bytes)
    problems = []
    if root.key != "VS_VERSION_INFO":
        problems.append(f"version block: root key is {root.key!r}, expected 'VS_VERSION_INFO'")
    problems.extend(check_fixed_file_info(root.value))

    checkers = {"StringFileInfo": check_string_file_info, "VarFileInfo": check_var_file_info}
    keys = [child.key for child in root.children]
    for key in keys:
        if key not in checkers:
            problems.append(f"version block: unexpected block {key!r}")
    for key, checker in checkers.items():
        if keys.count(key) != 1:
            problems.append(f"version block: {key} appears {keys.count(key)} times, expected once")
        else:
            problems.extend(checker(root.children[keys.index(key)]))
    return problems


# --- Putting it together ----------------------------------------------------


def check(data):
    """Every mismatch found in the file's bytes, as readable lines."""
    try:
        pe = PeImage(data)
    except FormatError as error:
        return [f"header: {error}"]

    problems = check_header(pe)

    try:
        import_problems, _imports = check_imports(pe)
        problems.extend(import_problems)
    except FormatError as error:
        problems.append(f"imports: cannot be read: {error}")

    try:
        resource_problems, manifest, version = check_resources(pe)
    except FormatError as error:
        problems.append(f"resources: cannot be read: {error}")
        return problems
    problems.extend(resource_problems)

    if manifest is not None:
        problems.extend(check_manifest(manifest))
    if version is not None:
        try:
            problems.extend(check_version(version))
        except FormatError as error:
            problems.append(str(error))
    return problems


def main(argv):
    if len(argv) != 2:
        print(f"usage: {argv[0]} PATH_TO_EXE", file=sys.stderr)
        return 2
    path = argv[1]
    try:
        with open(path, "rb") as exe:
            data = exe.read()
    except OSError as error:
        print(f"cannot read {path}: {error.strerror}", file=sys.stderr)
        return 2

    problems = check(data)
    for problem in problems:
        print(f"MISMATCH {problem}")
    if problems:
        print(f"{path}: {len(problems)} mismatch(es)")
        return 1
    print(f"{path}: header, imports, manifest and version block as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
