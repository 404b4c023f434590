#!/usr/bin/env python3
"""The version resource and the manifest of each Windows executable, read back under Wine by
version_probe as Windows reads them: fixed and string versions from the project's version, the
names, exactly one manifest, well-formed, asking for the executable's execution level and
naming every supported Windows; macparam still starts with its manifest.
Usage: version_resources_test.py VERSION PROBE_EXE SERVICE_EXE MACPARAM_EXE"""

import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "integration"))
from checks import check, report  # noqa: E402

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run-in-wine")
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}
# A page's parameter for shop.example, as the README shows it.
SHOP_PARAM = "YA2XRKslq1CPfM37oZaj/A=="


def windows_path(path):
    """The path as a Windows program names it: Wine's drive Z: is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run(*command):
    done = subprocess.run([RUN, *command], capture_output=True, timeout=120)
    return done.returncode, done.stdout.decode("utf-8", "replace").replace("\r\n", "\n"), \
        done.stderr.decode("utf-8", "replace")


def probe(probe_exe, exe):
    """The probe's exit status, its errors, its KEY=VALUE lines (a list for a repeated key) and
    the manifest's text."""
    status, output, errors = run(probe_exe, windows_path(exe))
    head, _, manifest = output.partition("manifest:\n")
    fields = {}
    for line in head.splitlines():
        key, _, value = line.partition("=")
        fields.setdefault(key, []).append(value)
    return status, errors, {k: v[0] if len(v) == 1 else v for k, v in fields.items()}, manifest


def check_manifest(case, text, level):
    try:
        root = ElementTree.fromstring(text.encode("utf-8"))
    except ElementTree.ParseError as error:  # Windows refuses to start such a program
        check(False, case, f"the manifest is not well-formed XML: {error}")
        return
    check(root.tag == f"{ASM_V1}assembly" and root.get("manifestVersion") == "1.0", case,
          f"manifest root {root.tag} version {root.get('manifestVersion')}")
    # Windows reads each element only at its own place and in its own namespace.
    levels = root.findall(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                          f"{ASM_V3}requestedExecutionLevel")
    check([(e.get("level"), e.get("uiAccess")) for e in levels] == [(level, "false")], case,
          f"execution levels {[(e.get('level'), e.get('uiAccess')) for e in levels]}, "
          f"expected {level} without UI access")
    ids = [e.get("Id", "").lower()
           for e in root.findall(f"{COMPATIBILITY}compatibility/{COMPATIBILITY}application/"
                                 f"{COMPATIBILITY}supportedOS")]
    check(sorted(ids) == sorted(SUPPORTED_OS), case,
          f"supportedOS ids {sorted(ids)}, expected {sorted(SUPPORTED_OS)}")


def check_executable(version, probe_exe, exe, name, level):
    case = f"{name}.exe"
    status, errors, fields, manifest = probe(probe_exe, exe)
    if not check(status == 0, case, f"version_probe exited with {status}: {errors.strip()}"):
        return
    four_parts = ".".join((version.split(".") + ["0"] * 4)[:4])
    expected = {
        "file_version": four_parts,
        "product_version": four_parts,
        "translation": "040904b0",  # U.S. English, UTF-16: the block Explorer asks for first
        "CompanyName": "Talvoro",
        "FileVersion": version,
        "ProductVersion": version,
        "ProductName": "Talvoro_macadress",
        "InternalName": name,
        "OriginalFilename": f"{name}.exe",
        "LegalCopyright": "Copyright 2026 Talvoro",
        "manifests": "1",
    }
    for key, value in expected.items():
        check(fields.get(key) == value, case, f"{key}: got {fields.get(key)!r}, expected {value!r}")
    check(bool(fields.get("FileDescription")), case, "no FileDescription")
    # The one the loader reads: RT_MANIFEST 1 (CREATEPROCESS_MANIFEST_RESOURCE_ID), any language.
    check(str(fields.get("manifest_resource")).split(" ")[0] == "1", case,
          f"manifest resources {fields.get('manifest_resource')}, expected id 1")
    check_manifest(case, manifest, level)


def main():
    if len(sys.argv) != 5:
        print(__doc__.splitlines()[-1], file=sys.stderr)
        return 2
    version, probe_exe, service_exe, macparam_exe = sys.argv[1:]
    for exe, name, level in [
        (service_exe, "talvoro_macadress", "requireAdministrator"),
        (macparam_exe, "macparam", "asInvoker"),
    ]:
        check_executable(version, probe_exe, exe, name, level)
    status, output, errors = run(macparam_exe, "encode", "shop.example")
    check((status, output) == (0, SHOP_PARAM + "\n"), "macparam.exe encode shop.example",
          f"exit {status}, output {output[:200]!r}, errors {errors.strip()[:200]!r}")
    return report()


if __name__ == "__main__":
    sys.exit(main())
