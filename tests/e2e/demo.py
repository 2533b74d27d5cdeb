#!/usr/bin/env python3
"""Shows what the tool does to a Chinese PC with the product installed.

    demo.py --tool Kestrovin.exe --helper prefix_helper.exe --scratch DIR

Makes a Wine prefix in DIR, seeds the full install, prints the product's
footprint, runs C:\\Program Files\\Durvak\\Kestrovin.exe with its console
report, waits for its self-deletion script and prints the footprint again.
"""

import argparse
from pathlib import Path

import snapshot
from install import SERVICES, UNINSTALL, Install, TOOL
from machine import Machine, Workspace, relative
from wineprefix import CHINESE, make_template

REGISTRY_ROOTS = [SERVICES + r"\Durvak", SERVICES + r"\Kestrovin", UNINSTALL + r"\Durvak"]


def heading(text: str):
    print(f"\n===== {text} =====")


def show_footprint(machine: Machine, install: Install):
    shot = machine.snapshot()
    heading("registry")
    for root in REGISTRY_ROOTS:
        keys = sorted(shot.subkeys(root), key=str.lower)
        if not keys:
            print(f"{root}  (absent)")
        for key in keys:
            print(key)
            for (key_id, _), (_, name, data) in sorted(shot.values.items()):
                if key_id == snapshot.key_id(key):
                    print(f"    {name or '@'} = {snapshot.unescape(data)}")
    heading("services, as the service manager has them")
    print(machine.prefix.run_checked([str(machine.workspace.helper), "services", "Kestrovin", "Durvak"])
          .decode("utf-8"), end="")
    heading("disk and volume devices, as the Setup API lists them: interface, device, class, UpperFilters")
    print(machine.devices(), end="")
    print("([] is an empty UpperFilters value: Wine writes one where Windows deletes the property.)")
    heading("files")
    for path in sorted(install.removed_files() | {install.script}, key=str.lower):
        entry = shot.files.get(relative(path))
        kind = "absent" if entry is None else "folder" if entry[0] == "dir" else f"{entry[1]} bytes"
        print(f"{path:<90} {kind}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", type=Path, required=True)
    parser.add_argument("--helper", type=Path, required=True)
    parser.add_argument("--scratch", type=Path, required=True)
    args = parser.parse_args()

    print(f"Making a Wine prefix for a Chinese PC (code page 936) in {args.scratch / 'prefix'} ...")
    prefix = make_template(args.scratch.resolve() / "prefix", CHINESE)
    machine = Machine(Workspace(args.scratch.resolve(), args.tool.resolve(), args.helper.resolve()), prefix)
    install = Install(CHINESE)
    machine.seed(install)

    heading("BEFORE: the product's footprint")
    show_footprint(machine, install)

    heading(f"RUN: {TOOL}")
    run = machine.run_tool()
    print(run.output.decode(CHINESE.ansi, errors="backslashreplace"))
    print(f"(exit status {run.status}; the self-deletion script has finished)")

    heading("AFTER: the product's footprint")
    show_footprint(machine, install)
    machine.remove()


if __name__ == "__main__":
    main()
