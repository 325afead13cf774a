"""What every program the installer ships carries in itself, read from the
built files (no Wine needed): an application manifest that runs it as the
user who starts it, without file and registry virtualisation, and that names
every Windows it supports. Without one, Windows quietly redirects a write to
Program Files into the user's VirtualStore. And the project's version, which
the two installers carry too.
"""

import re
import struct
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest

import rig

# Resource type and name of the manifest Windows reads when it starts a
# program (RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID).
RT_MANIFEST = 24
CREATEPROCESS_MANIFEST_RESOURCE_ID = 1
# The version information Explorer shows (RT_VERSION, VS_VERSION_INFO), and the
# signature of the numbers in it, VS_FIXEDFILEINFO.
RT_VERSION = 16
VS_VERSION_INFO = 1
FIXED_FILE_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)
RESOURCE_DIRECTORY_INDEX = 2
# Where the data directories start in the optional header, by its magic.
DATA_DIRECTORIES_OFFSET = {0x10B: 96, 0x20B: 112}
SUBDIRECTORY = 0x80000000

NAMESPACES = {
    "asm": "urn:schemas-microsoft-com:asm.v1",
    "security": "urn:schemas-microsoft-com:asm.v3",
    "compatibility": "urn:schemas-microsoft-com:compatibility.v1",
}
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
# Windows refuses to start a program whose manifest names another kind.
ARCHITECTURES = {32: "x86", 64: "amd64"}


def resource(path, type_id, name_id):
    """The bytes of a resource of a PE file, given its type and name by
    number, in whatever language it comes; None when there is none."""
    data = path.read_bytes()
    pe_offset, = struct.unpack_from("<I", data, 0x3C)
    section_count, = struct.unpack_from("<H", data, pe_offset + 6)
    optional_size, = struct.unpack_from("<H", data, pe_offset + 20)
    optional_offset = pe_offset + 24
    magic, = struct.unpack_from("<H", data, optional_offset)
    directory_offset = optional_offset + DATA_DIRECTORIES_OFFSET[magic] + 8 * RESOURCE_DIRECTORY_INDEX
    resources_rva, resources_size = struct.unpack_from("<2I", data, directory_offset)
    if resources_size == 0:
        return None

    sections = []
    for index in range(section_count):
        _, virtual_address, raw_size, raw_offset = struct.unpack_from(
            "<4I", data, optional_offset + optional_size + 40 * index + 8)
        sections.append((virtual_address, raw_size, raw_offset))

    def file_offset(rva):
        for virtual_address, raw_size, raw_offset in sections:
            if virtual_address <= rva < virtual_address + raw_size:
                return raw_offset + rva - virtual_address
        raise AssertionError("%s: RVA 0x%x is in no section" % (path, rva))

    root = file_offset(resources_rva)

    def entry(directory, wanted_id):
        """The offset an entry of a resource directory points to: the first
        entry when wanted_id is None."""
        named, numbered = struct.unpack_from("<2H", data, root + directory + 12)
        for index in range(named + numbered):
            name, target = struct.unpack_from("<2I", data, root + directory + 16 + 8 * index)
            if wanted_id is None or (index >= named and name == wanted_id):
                return target
        return None

    # Type, then name, then language; each but the last points to a directory.
    directory = 0
    for wanted_id in (type_id, name_id, None):
        target = entry(directory, wanted_id)
        if target is None:
            return None
        directory = target & ~SUBDIRECTORY
        if not target & SUBDIRECTORY:
            break
    data_rva, size = struct.unpack_from("<2I", data, root + directory)
    start = file_offset(data_rva)
    return data[start:start + size]


@pytest.mark.parametrize("program", rig.SHIPPED_PROGRAMS)
def test_every_shipped_program_runs_as_its_user_on_every_windows_it_names(program):
    path = rig.BUILD_DIR / program
    manifest = resource(path, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID)
    assert manifest is not None, "%s has no application manifest" % program

    root = ElementTree.fromstring(manifest)
    identity = root.find("asm:assemblyIdentity", NAMESPACES)
    assert identity.get("processorArchitecture") == ARCHITECTURES[rig.program_bits(path)]
    levels = root.findall("security:trustInfo/security:security/security:requestedPrivileges/"
                          "security:requestedExecutionLevel", NAMESPACES)
    assert [(level.get("level"), level.get("uiAccess")) for level in levels] == [("asInvoker", "false")]
    supported = {element.get("Id").lower() for element in root.findall(
        "compatibility:compatibility/compatibility:application/compatibility:supportedOS", NAMESPACES)}
    missing = [name for guid, name in SUPPORTED_OS.items() if guid not in supported]
    assert not missing, "%s does not name %s" % (program, ", ".join(missing))


def version_information(path):
    """The file and product versions of a PE file, as its version information
    gives them in numbers ("1.0.0.0") and in words ("1.0.0")."""
    data = resource(path, RT_VERSION, VS_VERSION_INFO)
    assert data is not None, "%s has no version information" % path
    numbers = struct.unpack_from("<4I", data, data.index(FIXED_FILE_INFO_SIGNATURE) + 8)
    as_text = ["%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)
               for most, least in (numbers[0:2], numbers[2:4])]
    # The string table's values follow their names, in UTF-16, padded with NULs.
    words = data.decode("utf-16-le", "replace")
    for name in ("FileVersion", "ProductVersion"):
        as_text.append(re.search(name + "\0+([^\0]*)", words).group(1))
    return as_text


@pytest.mark.parametrize("name", rig.SHIPPED_PROGRAMS + [rig.SETUP_PROGRAM.name])
def test_every_shipped_program_and_the_installer_carry_the_project_s_version(name):
    version = rig.VERSION + ".0" * (3 - rig.VERSION.count("."))
    assert version_information(rig.BUILD_DIR / name) == [version, version, rig.VERSION, rig.VERSION]


def test_the_windows_installer_package_carries_the_project_s_version():
    # msiinfo (msitools) prints a table as tab-separated lines.
    table = subprocess.run(["msiinfo", "export", str(rig.INSTALLER_PACKAGE), "Property"], check=True,
                           capture_output=True, text=True).stdout
    properties = dict(line.split("\t", 1) for line in table.splitlines() if "\t" in line)
    assert properties["ProductVersion"] == rig.VERSION
