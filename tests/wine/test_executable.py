"""The shipped executable itself: a console program that needs nothing but
Windows' own DLLs, carrying exactly our application manifest."""

import json
import re
import shutil
import socket
import struct
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest

from harness import BUILD, HELPER, REPO, WineStartFailure, to_windows

OBJDUMP = "x86_64-w64-mingw32-objdump"
MANIFEST_SOURCE = REPO / "src" / "platform" / "win32" / "app.manifest"
RT_MANIFEST = 24
WINDOWS_10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"

# DLLs that every Windows 10 and 11 installation has in its system directory.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "kernel32.dll", "kernelbase.dll", "msvcrt.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "secur32.dll", "shell32.dll", "shlwapi.dll",
    "ucrtbase.dll", "user32.dll", "userenv.dll", "ws2_32.dll",
}


@pytest.fixture(scope="module")
def helper_bytes():
    if not HELPER.exists():
        pytest.fail(f"{HELPER} is missing: build the windows preset first", pytrace=False)
    return HELPER.read_bytes()


def test_imports_only_windows_system_dlls_and_is_a_hardened_console_program(helper_bytes):
    if shutil.which(OBJDUMP) is None:
        pytest.fail(f"{OBJDUMP} is not installed (Debian package binutils-mingw-w64-x86-64)",
                    pytrace=False)
    dump = subprocess.run([OBJDUMP, "-p", str(HELPER)], capture_output=True, text=True,
                          check=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert "kernel32.dll" in imported
    foreign = sorted(name for name in imported
                     if name not in SYSTEM_DLLS and not name.startswith("api-ms-win-"))
    assert foreign == [], "the helper would need DLLs that Windows does not ship"
    # userenv is not a known DLL: an import would be looked for beside the
    # executable first, so it is bound from the system directory at run time.
    # shell32, ole32 and advapi32 would cost every command their loading.
    assert not imported & {"userenv.dll", "shell32.dll", "ole32.dll", "advapi32.dll"}
    assert re.search(r"^Subsystem\s+00000003\s+\(Windows CUI\)", dump, re.M), \
        "not a console program: standard streams would not be inherited"
    # Address-space layout randomisation (64-bit) and no-execute data.
    flags = dump.split("DllCharacteristics", 1)[1].split("SizeOfStackReserve", 1)[0].split()
    for flag in ("HIGH_ENTROPY_VA", "DYNAMIC_BASE", "NX_COMPAT"):
        assert flag in flags


def resources(image: bytes):
    """Yields (type, name, language, data) for every resource of a PE32+ image."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    assert image[pe:pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    assert struct.unpack_from("<H", image, optional)[0] == 0x20B, "not PE32+"
    # The resource table is the third data directory.
    rsrc_rva, rsrc_size = struct.unpack_from("<II", image, optional + 112 + 2 * 8)
    if rsrc_size == 0:
        return
    table = []
    for index in range(sections):
        header = optional + optional_size + 40 * index
        size, rva, raw_size, raw = struct.unpack_from("<IIII", image, header + 8)
        table.append((rva, max(size, raw_size), raw))

    def offset(rva):
        for start, size, raw in table:
            if start <= rva < start + size:
                return raw + rva - start
        raise AssertionError(f"RVA {rva:#x} lies in no section")

    base = offset(rsrc_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", image, base + directory + 12)
        for index in range(named + ids):
            key, target = struct.unpack_from("<II", image, base + directory + 16 + 8 * index)
            yield (f"name@{key & 0x7FFFFFFF:#x}" if key & 0x80000000 else key), target

    for kind, names in entries(0):
        assert names & 0x80000000
        for name, languages in entries(names & 0x7FFFFFFF):
            assert languages & 0x80000000
            for language, leaf in entries(languages & 0x7FFFFFFF):
                assert not leaf & 0x80000000
                data_rva, size = struct.unpack_from("<II", image, base + leaf)
                start = offset(data_rva)
                yield kind, name, language, image[start:start + size]


def test_embeds_our_manifest_and_no_other(helper_bytes):
    manifests = [entry for entry in resources(helper_bytes) if entry[0] == RT_MANIFEST]
    # A second manifest (such as a toolchain's default one) would leave it to
    # the loader which one counts.
    assert len(manifests) == 1, [entry[:3] for entry in manifests]
    _, name, _, data = manifests[0]
    assert name == 1, "the loader reads the manifest of an executable from resource 1"
    assert data == MANIFEST_SOURCE.read_bytes()

    root = ElementTree.fromstring(data)
    ns = {
        "v1": "urn:schemas-microsoft-com:asm.v1",
        "v3": "urn:schemas-microsoft-com:asm.v3",
        "compat": "urn:schemas-microsoft-com:compatibility.v1",
        "ws2016": "http://schemas.microsoft.com/SMI/2016/WindowsSettings",
    }
    levels = root.findall("v3:trustInfo/v3:security/v3:requestedPrivileges/"
                          "v3:requestedExecutionLevel", ns)
    assert [level.get("level") for level in levels] == ["asInvoker"]
    assert [level.get("uiAccess") for level in levels] == ["false"]
    long_paths = root.findall("v3:application/v3:windowsSettings/ws2016:longPathAware", ns)
    assert [element.text for element in long_paths] == ["true"]
    supported = root.findall("compat:compatibility/compat:application/compat:supportedOS", ns)
    assert [element.get("Id") for element in supported] == [WINDOWS_10_AND_11]


RT_VERSION = 16


def test_carries_a_version_resource_with_the_project_version(helper_bytes):
    project = re.search(r"project\(\w+ VERSION (\d+)\.(\d+)\.(\d+)",
                        (REPO / "CMakeLists.txt").read_text())
    major, minor, patch = (int(part) for part in project.groups())
    versions = [entry for entry in resources(helper_bytes) if entry[0] == RT_VERSION]
    assert len(versions) == 1, [entry[:3] for entry in versions]
    data = versions[0][3]
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    assert fixed > 0, "no fixed file information"
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, fixed + 8)
    assert (file_ms, file_ls) == (product_ms, product_ls) == ((major << 16) | minor, patch << 16)
    text = data.decode("utf-16-le", errors="replace")
    dotted = f"{major}.{minor}.{patch}"
    for key, value in (("ProductName", "Tessarin Sandbox"), ("FileVersion", dotted),
                       ("ProductVersion", dotted), ("OriginalFilename", "tessarin-sandbox.exe"),
                       ("FileDescription", "Runs one command confined in a Windows AppContainer")):
        assert re.search(f"{key}\0+{re.escape(value)}\0", text), key


def test_acceptance_suite_refuses_off_windows_and_reports_all_it_did_not_run(wine, tmp_path):
    """Off Windows the acceptance suite refuses (3) yet writes a report that
    lists every measurement and design question as not run; its own usage
    errors are 2. Its probe's bounded connect meets a loopback listener."""
    def run(program, *args):
        done = subprocess.run(["wine", str(BUILD / program), *args], env=wine.env, cwd=tmp_path,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        if not done.stdout:  # our programs always print first
            raise WineStartFailure(f"{program} printed nothing: {done.stderr!r}")
        return done.returncode

    report = tmp_path / "report.json"
    assert run("tessarin-acceptance.exe", "--report", to_windows(report)) == 3
    data = json.loads(report.read_text())
    measured = {item["measurement"]: item["status"] for item in data["measurements"]}
    assert len(measured) >= 15 and set(measured.values()) == {"not run"}
    assert len(data["design questions"]) >= 10
    for question in data["design questions"]:
        assert question["answer"] == "not run" and question["figures"]
        assert set(question["figures"]) <= measured.keys(), question
    for row in ("Defender", "junction back", "TEMP, TMP and LOCALAPPDATA", "NUL", "icacls /C",
                "independent audit"):
        assert any(row in name for name in measured), row
    assert data["checks"] == [] and data["exit code"] == 3
    for args in (["--bogus"], ["--net-target", "1.2.3.4"], ["--net-target", "1.2.3.4:65536"],
                 ["--cleanup", "--report"], ["--audit-module"]):
        assert run("tessarin-acceptance.exe", *args) == 2, args
    assert run("tessarin-acceptance.exe", "--cleanup") == 3
    assert list(tmp_path.iterdir()) == [report], "--cleanup wrote a report or left files"

    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        assert run("tessarin-probe.exe", "connect", f"127.0.0.1:{port}") == 0
    assert run("tessarin-probe.exe", "connect", f"127.0.0.1:{port}") == 12  # refused
    assert run("tessarin-probe.exe", "connect", "127.0.0.1:0") == 13  # not a target
