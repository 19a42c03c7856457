#!/usr/bin/env python3
"""Checks the INF the Windows build puts next to the images: it installs the files the build
produced, for the hardware ID of the default instrument, as a demand-start kernel service, with
MaximumTransferSize as a REG_DWORD of the driver's default under the service key.

usage: check_inf.py <windows build dir> <repository root>
Prints every finding; exit status 1 when there is one."""
import os
import re
import sys


def sections(text):
    """{lower-case section name: [lines]} without comments and blank lines."""
    result, current = {}, None
    for raw in text.splitlines():
        line = raw.split(";", 1)[0].strip()
        if not line:
            continue
        match = re.fullmatch(r"\[([^\]]+)\]", line)
        if match:
            current = result.setdefault(match.group(1).strip().lower(), [])
        elif current is not None:
            current.append(line)
    return result


def entries(lines):
    """key = value lines as (key, value), case kept."""
    pairs = []
    for line in lines:
        if "=" in line:
            key, value = line.split("=", 1)
            pairs.append((key.strip(), value.strip()))
    return pairs


def constant(path, name):
    with open(path, encoding="utf-8") as f:
        match = re.search(name + r"\s*=?\s*(0x[0-9A-Fa-f]+|\d+)u?", f.read())
    return int(match.group(1), 0) if match else None


def check(build, root):
    findings = []
    inf_path = os.path.join(build, "VaVedu.inf")
    if not os.path.isfile(inf_path):
        return ["VaVedu.inf is not in " + build + ": the build must copy it next to the images"]
    with open(inf_path, encoding="utf-8") as f:
        inf = sections(f.read())

    vid = constant(os.path.join(root, "sim/usb/device_model.hpp"), "kVendorId")
    pid = constant(os.path.join(root, "sim/usb/device_model.hpp"), "kProductId")
    hardware_id = "USB\\VID_%04X&PID_%04X" % (vid, pid)
    models = [v for name, lines in inf.items() if name.startswith("vavedu_models")
              for _, v in entries(lines)]
    install = None
    for value in models:
        parts = [p.strip() for p in value.split(",")]
        if hardware_id.lower() in (p.lower() for p in parts[1:]):
            install = parts[0].lower()
    if install is None:
        findings.append("no model line installs the instrument's hardware ID " + hardware_id)
        return findings

    images = ["VaVedu.SYS", "ZaDar.EDI"]
    for image in images:
        if not os.path.isfile(os.path.join(build, image)):
            findings.append(image + " is not in the build directory")
    source_files = {k.lower() for k, _ in entries(inf.get("sourcedisksfiles", []))}
    install_section = inf.get(install + ".nt", inf.get(install, []))
    copied = set()
    for key, value in entries(install_section):
        if key.lower() == "copyfiles":
            for name in value.split(","):
                copied |= {line.lower() for line in inf.get(name.strip().lower(), [])}
            dest = dict((k.lower(), v) for k, v in entries(inf.get("destinationdirs", [])))
            if dest.get(value.split(",")[0].strip().lower(), "").split(",")[0].strip() != "12":
                findings.append("the images are not copied to the drivers directory (12)")
    for image in images:
        if image.lower() not in source_files:
            findings.append(image + " is not in [SourceDisksFiles]")
        if image.lower() not in copied:
            findings.append(image + " is not copied by the install section")

    services = dict((k.lower(), v) for k, v in
                    entries(inf.get(install + ".nt.services", [])))
    service = [p.strip() for p in services.get("addservice", "").split(",")]
    if len(service) < 3 or service[0] != "VaVedu" or int(service[1], 0) & 2 == 0:
        findings.append("no AddService of VaVedu as the function driver (flag 0x2)")
        return findings
    svc = dict((k.lower(), v) for k, v in entries(inf.get(service[2].lower(), [])))
    expected = {"servicetype": "1", "starttype": "3", "servicebinary": "%12%\\VaVedu.SYS"}
    for key, value in expected.items():
        if svc.get(key, "").lower() != value.lower():
            findings.append("service %s is %r, not %s" % (key, svc.get(key), value))
    default = constant(os.path.join(root, "pcdriver/bulk/vavedu.h"),
                       "VAVEDU_DEFAULT_MAX_TRANSFER_SIZE")
    values = [line for name in svc.get("addreg", "").split(",")
              for line in inf.get(name.strip().lower(), [])]
    wanted = "HKR,,MaximumTransferSize,0x00010001,%d" % default
    if not any(v.replace(" ", "").lower() == wanted.lower() for v in values):
        findings.append("the service's AddReg does not write " + wanted)
    return findings


def main():
    findings = check(sys.argv[1], sys.argv[2])
    for finding in findings:
        print("VaVedu.inf: " + finding)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
