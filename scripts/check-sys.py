#!/usr/bin/python3
"""Checks the Windows drivers in a folder as a loader and a driver reviewer
would: each .sys must be an image of the native subsystem for the expected
machine (PE32 for x86, PE32+ for x64) with a valid checksum and base
relocations, no TLS, no section both writable and executable, no exported
names, no DWARF unwind tables (.eh_frame), and imports only from ntoskrnl.exe
and HAL.dll (merrow also USBD.SYS), each imported name one that module exports
for that architecture. An x64 image must also carry its unwind data: an
exception directory (.pdata) whose entries lie in executable code and cover
the entry point. The exports of each module are read from mingw-w64's import
libraries. Each refusal names the image and what is wrong.

Usage: scripts/check-sys.py [folder [x86|x64]]     (default build/windows/out x86)
"""
import os
import re
import shutil
import subprocess
import sys

import pefile

# Per architecture: the machine field, the optional header's magic, the folder
# of mingw-w64's import libraries and the tool that lists their symbols.
ARCHES = {
    "x86": {"machine": 0x14C, "magic": 0x10B, "format": "PE32", "triplet": "i686-w64-mingw32"},
    "x64": {"machine": 0x8664, "magic": 0x20B, "format": "PE32+", "triplet": "x86_64-w64-mingw32"},
}
MODULES = {"ntoskrnl.exe": "libntoskrnl.a", "hal.dll": "libhal.a", "usbd.sys": "libusbd.a"}
ALLOWED = {"tolvane.sys": ["ntoskrnl.exe", "hal.dll"], "merrow.sys": ["ntoskrnl.exe", "hal.dll", "usbd.sys"]}
WRITE, EXECUTE = 0x80000000, 0x20000000


def exported_names(triplet, library):
    """The names an import library's module exports, as an import table may
    spell them: undecorated (__imp__Name@8 -> Name, __imp_@Name@4 -> Name)
    or, for modules that export decorated names, as decorated (_Name@8)."""
    nm = shutil.which(triplet + "-nm") or "nm"
    path = os.path.join("/usr", triplet, "lib", library)
    out = subprocess.run([nm, "--defined-only", path], capture_output=True, text=True, check=True).stdout
    names = set()
    for line in out.splitlines():
        symbol = line.split()[-1] if line.split() else ""
        if not symbol.startswith("__imp_"):
            continue
        decorated = symbol[len("__imp_"):]
        names.add(decorated)
        name = decorated[1:] if decorated[0] in "_@" else decorated
        names.add(re.sub(r"@\d+$", "", name))
    return names


def section_name(pe, section):
    """A section's name; a name longer than eight characters is "/offset"
    into the COFF string table that follows the symbol table."""
    raw = section.Name.rstrip(b"\0").decode(errors="replace")
    header = pe.FILE_HEADER
    if raw.startswith("/") and raw[1:].isdigit() and header.PointerToSymbolTable:
        start = header.PointerToSymbolTable + header.NumberOfSymbols * 18 + int(raw[1:])
        end = pe.__data__.find(b"\0", start)
        return pe.__data__[start:end].decode(errors="replace")
    return raw


def unwind_problems(pe):
    """x64: the exception directory must exist, describe executable code only
    and cover the entry point, or the kernel cannot unwind through the image."""
    opt = pe.OPTIONAL_HEADER
    directory = opt.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]]
    if directory.Size == 0:
        return ["no exception directory (.pdata): x64 cannot unwind through the image's routines"]
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXCEPTION"]])
    entries = [e.struct for e in getattr(pe, "DIRECTORY_ENTRY_EXCEPTION", [])]
    problems = []
    for entry in entries:
        section = pe.get_section_by_rva(entry.BeginAddress)
        if section is None or not section.Characteristics & EXECUTE or entry.EndAddress <= entry.BeginAddress:
            problems.append("unwind entry 0x%x-0x%x is not in executable code" % (entry.BeginAddress, entry.EndAddress))
            break
    if not any(e.BeginAddress <= opt.AddressOfEntryPoint < e.EndAddress for e in entries):
        problems.append("the entry point 0x%x has no unwind entry" % opt.AddressOfEntryPoint)
    return problems


def check(path, name, exports, arch):
    problems = []
    pe = pefile.PE(path)
    opt = pe.OPTIONAL_HEADER
    if pe.FILE_HEADER.Machine != arch["machine"]:
        problems.append("built for machine 0x%x, expected 0x%x" % (pe.FILE_HEADER.Machine, arch["machine"]))
    if opt.Magic != arch["magic"]:
        problems.append("not a %s image (Magic 0x%x)" % (arch["format"], opt.Magic))
    if opt.Subsystem != 1:
        problems.append("not a native-subsystem image (Subsystem %d)" % opt.Subsystem)
    if opt.CheckSum == 0 or not pe.verify_checksum():
        problems.append("checksum 0x%08x does not match the image (0x%08x)" % (opt.CheckSum, pe.generate_checksum()))
    if opt.AddressOfEntryPoint == 0:
        problems.append("no entry point")
    dirs = opt.DATA_DIRECTORY
    reloc = dirs[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if reloc.Size == 0:
        problems.append("no base relocations: the image could load only at its preferred base")
    if dirs[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_TLS"]].Size:
        problems.append("a TLS directory: a driver has no thread-local storage")
    for section in pe.sections:
        label = section_name(pe, section)
        if section.Characteristics & WRITE and section.Characteristics & EXECUTE:
            problems.append("section %s is both writable and executable" % label)
        if label.startswith(".eh_fram"):
            problems.append("an .eh_frame section: DWARF unwind tables the kernel never reads")
    if arch["machine"] == 0x8664:
        problems += unwind_problems(pe)
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        names = [s.name.decode() for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name]
        if pe.DIRECTORY_ENTRY_EXPORT.symbols:
            problems.append("exports %d names (%s): a driver exports nothing" % (len(names), ", ".join(names[:5])))
    allowed = ALLOWED.get(name, ["ntoskrnl.exe", "hal.dll"])
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = entry.dll.decode().lower()
        if dll not in allowed:
            problems.append("imports from %s; a driver may import only from: %s" % (entry.dll.decode(), ", ".join(allowed)))
            continue
        for imported in entry.imports:
            if imported.name is None:
                problems.append("imports ordinal %d from %s" % (imported.ordinal, entry.dll.decode()))
            elif imported.name.decode() not in exports[dll]:
                problems.append("imports %s from %s, which does not export it" % (imported.name.decode(), entry.dll.decode()))
    return problems


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "build/windows/out"
    arch_name = sys.argv[2] if len(sys.argv) > 2 else "x86"
    if arch_name not in ARCHES:
        print("check-sys: unknown architecture %s (x86 or x64)" % arch_name, file=sys.stderr)
        return 2
    arch = ARCHES[arch_name]
    exports = {dll: exported_names(arch["triplet"], lib) for dll, lib in MODULES.items()}
    failed = False
    for name in ALLOWED:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            print("check-sys: %s: missing (looked for %s)" % (name, path), file=sys.stderr)
            failed = True
            continue
        for problem in check(path, name, exports, arch):
            print("check-sys: %s: %s" % (name, problem), file=sys.stderr)
            failed = True
    if failed:
        return 1
    sizes = ", ".join("%s %d bytes" % (n, os.path.getsize(os.path.join(folder, n))) for n in ALLOWED)
    unwind = ", unwind data covering the entry point" if arch["machine"] == 0x8664 else ""
    print("check-sys: %s: native %s images, checksums valid, relocations present, no TLS, no W+X section, "
          "no exports, no .eh_frame%s, every import exported by its module (%s)"
          % (arch_name, arch["format"], unwind, sizes))
    return 0


if __name__ == "__main__":
    sys.exit(main())
