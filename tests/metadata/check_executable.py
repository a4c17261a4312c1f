#!/usr/bin/env python3
"""Reads UninstallTovikComponents.exe back and checks what Windows sees of it.

The program has to start on a bare Windows 7 or later, as a 32-bit console
program that asks for no elevation, must not pull a DLL from its own folder
before main, and must show the right details in the file's properties. None
of that is visible from the C++ sources alone: it depends on linker flags, on
which runtime gets linked statically and on what windres embeds. So this
script reads the built PE file itself with pefile and checks:

  * the header: PE32, i386, console subsystem, OS and subsystem version 6.0;
  * the imports: only KnownDLLs (msi.dll in particular is not imported, nor
    delay-loaded), and the Windows functions the program calls taken by name
    from the DLL that Windows 7 provides them in;
  * the resources: exactly the manifest and the version block, no icon;
  * the manifest's content and the version block's fixed and string values.

A signed copy passes too: the certificate table is not part of the image
and not a resource.

Usage: check_executable.py PATH_TO_EXE
Exit code 0 when everything matches, 1 when anything does not (every mismatch
is listed), 2 when the file cannot be read at all.
"""

import sys
import xml.etree.ElementTree as ET

import pefile

# --- What the executable must be --------------------------------------------

# Windows Vista/7 as the oldest system; the linker's default would be 4.0.
EXPECTED_OS_VERSION = (6, 0)
EXPECTED_SUBSYSTEM_VERSION = (6, 0)

# Only KnownDLLs, compared case-insensitively as the loader does. Windows maps
# those from the system folder whatever lies beside the program; any other
# DLL in the import table it looks for in the program's own folder first.
# The program is a download, run from a folder where any web page can drop a
# file, so a static import of msi.dll (not a KnownDLL) would run a planted
# msi.dll inside the program before main. The program loads msi.dll at run
# time from the system folder instead. Runtime DLLs (libstdc++, libgcc,
# winpthread) would also have to ship beside the program.
KNOWN_DLLS = ["KERNEL32.dll", "USER32.dll", "SHELL32.dll", "ole32.dll", "msvcrt.dll"]
LOADED_AT_RUN_TIME = "msi.dll"

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
        "GetShortPathNameW",
    ],
    "SHELL32.dll": ["SHGetKnownFolderPath"],
    "USER32.dll": ["MessageBoxA", "GetProcessWindowStation", "GetUserObjectInformationA"],
}

RT_ICON = pefile.RESOURCE_TYPE["RT_ICON"]
RT_GROUP_ICON = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RT_VERSION = pefile.RESOURCE_TYPE["RT_VERSION"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
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
VS_FIXEDFILEINFO_SIZE = 52
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 0x00000001
VERSION_1_0_0_1 = (0x00010000, 0x00000001)  # (MS, LS) words of 1.0.0.1

STRING_TABLE_KEY = "040904b0"  # U.S. English, Unicode
EXPECTED_TRANSLATION = "0x0409 0x04b0"  # as pefile shows the pair
# The file's properties dialog shows these; other strings may be present.
EXPECTED_STRINGS = {
    "FileVersion": "1.0.0.1",
    "ProductVersion": "1.0.0.1",
    "FileDescription": "Tovik Components Uninstaller",
    "InternalName": "UninstallTovikComponents.exe",
    "OriginalFilename": "UninstallTovikComponents.exe",
    "ProductName": "Tovik",
}


def text(value):
    """pefile hands names and version strings over as bytes."""
    return value.decode("utf-8", "backslashreplace") if isinstance(value, bytes) else value


def parse_directory(pe, name):
    """Has pefile read one data directory; the warnings it gave while doing so.

    pefile does not raise on a damaged directory: it notes a warning and
    leaves out what it could not read, so the warnings are the only sign."""
    before = len(pe.get_warnings())
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY[name]])
    return pe.get_warnings()[before:]


def directory_present(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]].VirtualAddress != 0


# --- Header -----------------------------------------------------------------


def check_header(pe):
    problems = []

    def expect(what, actual, expected, show=str):
        if actual != expected:
            problems.append(f"header: {what} is {show(actual)}, expected {show(expected)}")

    def dotted(version):
        return "%d.%d" % version

    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    expect("machine", header.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], hex)
    expect("subsystem", optional.Subsystem, pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])
    expect(
        "operating-system version",
        (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion),
        EXPECTED_OS_VERSION,
        dotted,
    )
    expect(
        "subsystem version",
        (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion),
        EXPECTED_SUBSYSTEM_VERSION,
        dotted,
    )
    if not header.IMAGE_FILE_EXECUTABLE_IMAGE:
        problems.append("header: the file is not marked as an executable image")
    if header.IMAGE_FILE_DLL:
        problems.append("header: the file is marked as a DLL")
    return problems


# --- Imports ----------------------------------------------------------------


def check_dll_name(dll, how):
    if dll.lower() == LOADED_AT_RUN_TIME.lower():
        return [
            f"imports: {dll} is {how}; it is not a KnownDLL, so Windows would take it "
            "from the program's own folder first: load it at run time from the "
            "system folder"
        ]
    if dll.lower() not in {known.lower() for known in KNOWN_DLLS}:
        return [f"imports: {how} {dll} is not a KnownDLL the program may use"]
    return []


def check_imports(pe):
    problems = []
    for name, attribute, how in (
        ("IMAGE_DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_IMPORT", "imported"),
        ("IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT", "delay-loaded"),
    ):
        warnings = parse_directory(pe, name)
        if warnings or (directory_present(pe, name) and not hasattr(pe, attribute)):
            problems.append(f"imports: cannot be read: {'; '.join(warnings) or 'empty table'}")
            return problems
    imports = getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    for descriptor in imports:
        problems.extend(check_dll_name(text(descriptor.dll), "imported"))
    for descriptor in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []):
        problems.extend(check_dll_name(text(descriptor.dll), "delay-loaded"))

    by_lower_name = {}
    for descriptor in imports:
        by_lower_name.setdefault(text(descriptor.dll).lower(), []).extend(descriptor.imports)
    for dll, functions in REQUIRED_IMPORTS.items():
        entries = by_lower_name.get(dll.lower())
        if entries is None:
            problems.append(f"imports: nothing is imported from {dll}")
            continue
        # pefile names some ordinals from its own tables of well-known DLLs;
        # only a name written in the file counts.
        names = {text(entry.name) for entry in entries if not entry.import_by_ordinal}
        ordinals = [str(entry.ordinal) for entry in entries if entry.import_by_ordinal]
        for function in functions:
            if function in names:
                continue
            message = f"imports: {function} is not imported by name from {dll}"
            if ordinals:
                # An ordinal says nothing about which function it is without
                # that DLL's own export table, so it cannot stand in for one.
                message += f" (ordinals imported from it: {', '.join(ordinals)})"
            problems.append(message)
    return problems


# --- Resources --------------------------------------------------------------


def describe_type(entry):
    if entry.name is not None:
        return repr(text(str(entry.name)))
    if entry.id in pefile.RESOURCE_TYPE:
        return f"{pefile.RESOURCE_TYPE[entry.id]} ({entry.id})"
    return str(entry.id)


def entry_key(entry):
    return entry.id if entry.name is None else repr(str(entry.name))


def check_resources(pe):
    """Problems, and the data entries of the manifest and the version block
    when each is there once."""
    warnings = parse_directory(pe, "IMAGE_DIRECTORY_ENTRY_RESOURCE")
    problems = [f"resources: pefile: {warning}" for warning in warnings]
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        if directory_present(pe, "IMAGE_DIRECTORY_ENTRY_RESOURCE"):
            return [f"resources: cannot be read: {'; '.join(warnings)}"], {}
        return ["resources: the file has none"], {}

    found = {}
    types = pe.DIRECTORY_ENTRY_RESOURCE.entries
    for resource_type in types:
        if resource_type.id in (RT_ICON, RT_GROUP_ICON):
            problems.append(f"resources: the file has an icon ({describe_type(resource_type)})")
        elif entry_key(resource_type) not in EXPECTED_RESOURCES:
            problems.append(f"resources: unexpected resource type {describe_type(resource_type)}")

    for type_id, expected_id in EXPECTED_RESOURCES.items():
        kinds = [kind for kind in types if entry_key(kind) == type_id]
        names = [name for kind in kinds for name in getattr(kind.directory, "entries", [])]
        shown_type = f"{pefile.RESOURCE_TYPE[type_id]} ({type_id})"
        if len(kinds) > 1 or [entry_key(name) for name in names] != [expected_id]:
            shown = ", ".join(str(entry_key(name)) for name in names) or "none"
            problems.append(
                f"resources: {shown_type} holds ids {shown}, expected exactly id {expected_id}"
            )
            continue
        languages = getattr(getattr(names[0], "directory", None), "entries", [])
        if len(languages) != 1 or not hasattr(languages[0], "data"):
            problems.append(
                f"resources: {shown_type} id {expected_id} exists in "
                f"{len(languages)} languages, expected one"
            )
            continue
        found[type_id] = languages[0].data.struct
    return problems, found


def resource_bytes(pe, data_entry):
    return pe.get_data(data_entry.OffsetToData, data_entry.Size)


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


def version_text(ms, ls):
    return f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"


def check_fixed_file_info(pe, root):
    problems = []
    if root.ValueLength != VS_FIXEDFILEINFO_SIZE or not getattr(pe, "VS_FIXEDFILEINFO", None):
        return [
            f"version block: VS_FIXEDFILEINFO is {root.ValueLength} bytes, "
            f"expected {VS_FIXEDFILEINFO_SIZE}"
        ]

    def expect(what, actual, expected, show=hex):
        if actual != expected:
            problems.append(f"version block: {what} is {show(actual)}, expected {show(expected)}")

    def dotted(words):
        return version_text(*words)

    fixed = pe.VS_FIXEDFILEINFO[0]
    expect("signature", fixed.Signature, VS_FFI_SIGNATURE)
    expect("file version", (fixed.FileVersionMS, fixed.FileVersionLS), VERSION_1_0_0_1, dotted)
    expect(
        "product version",
        (fixed.ProductVersionMS, fixed.ProductVersionLS),
        VERSION_1_0_0_1,
        dotted,
    )
    expect("file flags", fixed.FileFlags, 0)
    expect("file OS", fixed.FileOS, VOS_NT_WINDOWS32)
    expect("file type", fixed.FileType, VFT_APP)
    return problems


def align4(size):
    return (size + 3) & ~3


def check_string_table(pe, table):
    """pefile keeps a table's strings as a dict of key to value: a key written
    twice shows once, and each string's wType (text or binary) is dropped.
    Both are read here from the String header just before the key, which
    pefile locates (entries_offsets) but does not keep."""
    problems = []
    strings = {text(key): text(value) for key, value in table.entries.items()}
    # A table's header and key, then each string, aligned to 32 bits; every
    # byte of the table is one of those unless pefile folded a repeated key.
    listed = align4(6 + 2 * (len(table.LangID) + 1))
    for key, (key_offset, _value_offset) in table.entries_offsets.items():
        length = pe.get_word_from_offset(key_offset - 6)
        if pe.get_word_from_offset(key_offset - 2) != 1:
            problems.append(f"version block: string {text(key)!r} is not marked as text")
        listed += align4(length)
    if align4(table.Length) > listed:
        problems.append(
            f"version block: string table holds {align4(table.Length) - listed} bytes "
            "more than its strings: a key appears twice"
        )

    for key, expected in EXPECTED_STRINGS.items():
        if key not in strings:
            problems.append(f"version block: string {key!r} is missing")
        elif strings[key] != expected:
            problems.append(
                f"version block: string {key!r} is {strings[key]!r}, expected {expected!r}"
            )
    return problems


def check_string_file_info(pe, block):
    tables = getattr(block, "StringTable", [])
    keys = [text(table.LangID) for table in tables]
    if keys != [STRING_TABLE_KEY]:
        return [f"version block: string tables are {keys}, expected [{STRING_TABLE_KEY!r}]"]
    return check_string_table(pe, tables[0])


def check_var_file_info(_pe, block):
    variables = [
        text(key) for var in getattr(block, "Var", []) for key in getattr(var, "entry", {})
    ]
    if variables != ["Translation"]:
        return [f"version block: VarFileInfo holds {variables}, expected ['Translation']"]
    var = block.Var[0]
    # pefile shows only the last (language, code page) pair of the value, so
    # its length says whether there is exactly one.
    if var.ValueLength != 4:
        return [
            f"version block: Translation value is {var.ValueLength} bytes, "
            "expected one language and code page pair (4 bytes)"
        ]
    pair = var.entry[b"Translation"]
    if pair != EXPECTED_TRANSLATION:
        return [f"version block: Translation is {pair}, expected {EXPECTED_TRANSLATION}"]
    return []


def check_version(pe, data_entry):
    # pefile reads the version block of the first RT_VERSION resource while
    # reading the resources, and notes a warning where it cannot.
    if not getattr(pe, "VS_VERSIONINFO", None):
        return ["version block: pefile found no VS_VERSION_INFO in the RT_VERSION resource"]
    root = pe.VS_VERSIONINFO[0]
    # pefile reads the children within the resource's bytes but does not
    # compare the root's own length with them.
    if root.Length > data_entry.Size:
        return [
            f"version block: VS_VERSION_INFO claims {root.Length} bytes, but its "
            f"resource holds {data_entry.Size}"
        ]
    problems = check_fixed_file_info(pe, root)

    checkers = {"StringFileInfo": check_string_file_info, "VarFileInfo": check_var_file_info}
    blocks = pe.FileInfo[0] if getattr(pe, "FileInfo", None) else []
    keys = [text(block.Key) for block in blocks]
    for key in keys:
        if key not in checkers:
            problems.append(f"version block: unexpected block {key!r}")
    for key, checker in checkers.items():
        if keys.count(key) != 1:
            problems.append(f"version block: {key} appears {keys.count(key)} times, expected once")
        else:
            problems.extend(checker(pe, blocks[keys.index(key)]))
    return problems


# --- Putting it together ----------------------------------------------------


def check(data):
    """Every mismatch found in the file's bytes, as readable lines."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError as error:
        return [f"header: not a PE file: {error.value}"]

    magic = pe.OPTIONAL_HEADER.Magic
    if magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        # Everything after the magic has another layout in PE32+.
        return [
            f"header: optional header magic is {magic:#x}, "
            f"expected {pefile.OPTIONAL_HEADER_MAGIC_PE:#x} (PE32)"
        ]
    problems = check_header(pe)
    problems.extend(check_imports(pe))

    resource_problems, found = check_resources(pe)
    problems.extend(resource_problems)
    try:
        if RT_MANIFEST in found:
            problems.extend(check_manifest(resource_bytes(pe, found[RT_MANIFEST])))
    except pefile.PEFormatError as error:
        problems.append(f"manifest: cannot be read: {error.value}")
    if RT_VERSION in found:
        problems.extend(check_version(pe, found[RT_VERSION]))
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
