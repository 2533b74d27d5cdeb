#!/usr/bin/env python3
"""End-to-end scenarios: the real Windows build of the tool, run under Wine
against a real registry, service manager, Setup API and command interpreter.

    scenarios.py --work DIR --tool EXE --helper EXE template zh|en
    scenarios.py --work DIR --tool EXE --helper EXE run NAME
    scenarios.py --work DIR cleanup

Each scenario copies its locale's template prefix, seeds an install, takes a
snapshot, runs C:\\Program Files\\Durvak\\Kestrovin.exe from the install
folder, waits for the self-deletion script, takes another snapshot and
compares. A passed scenario's prefix is removed; a failed one's is kept.
"""

import argparse
import shutil
import sys
from pathlib import Path

from install import INSTALL_FOLDER, TOOL, Install, deep_tree, missing_key_report, wide_tree
from machine import SYSTEM_FOLDER, Checks, Machine, Workspace
from wineprefix import CHINESE, ENGLISH, LOCALES


def run_and_compare(machine: Machine, install: Install, checks: Checks, working_folder=SYSTEM_FOLDER, kept=()):
    """Seed, run the tool that lives in the install folder, and hold the
    machine to the install's footprint (less what is `kept`), report and
    exit status."""
    machine.seed(install)
    before = machine.snapshot()
    run = machine.run_tool(working_folder=working_folder)
    after = machine.snapshot()
    checks.exit_status(run, 0)
    checks.output(run, install.report(machine.workspace.system_message_2(install.locale)), install.locale.ansi)
    checks.changes(before, after, install.removed_keys(), install.removed_files() - set(kept),
                   install.filters_after())
    checks.expect(not machine.exists(install.script), f"the script is still there: {install.script}")


# ---- the scenarios ----

def full_install(machine: Machine, checks: Checks):
    """A Chinese PC with the whole product installed: everything of the
    product goes, in the reported order, and the sentinels stay."""
    install = Install(CHINESE)
    run_and_compare(machine, install, checks)
    checks.expect(not machine.exists(INSTALL_FOLDER), "the install folder is still there")
    checks.expect(not machine.exists(install.shortcut_folder), "the shortcut folder is still there")


def second_run(machine: Machine, checks: Checks):
    """Run again on what the first run left: only the missing keys are
    reported, and nothing changes."""
    install = Install(CHINESE)
    machine.seed(install)
    first = machine.run_tool()
    checks.expect(first.status == 0 and not machine.exists(TOOL), "the first run did not complete")
    # The first run removed the tool; this one runs from a folder of its own.
    elsewhere = r"C:\Tools\Kestrovin.exe"
    machine.write_file(elsewhere, machine.workspace.tool.read_bytes())
    before = machine.snapshot()
    run = machine.run_tool(elsewhere)
    after = machine.snapshot()
    checks.exit_status(run, 0)
    message = machine.workspace.system_message_2(CHINESE)
    # Wine only: where the first run emptied a disk's list, Wine left an
    # empty UpperFilters value (Windows deletes it). Wine answers the size
    # query for it with "buffer too small" and a size of 0, then refuses the
    # 0-byte buffer with the same error, which the tool reports per disk.
    emptied = [device for device in install.devices()
               if device.setup_class == "DiskDrive" and device.filters and not device.filters_after]
    wine_empty_value_lines = b"in GetDeviceRegistryProperty(): couldn't get registry property! error: 122\n" * len(emptied)
    checks.output(run, missing_key_report(message, CHINESE) + wine_empty_value_lines
                  + missing_key_report(message, CHINESE), CHINESE.ansi)
    # No filter list may change either: none holds Durvak any more.
    checks.changes(before, after)
    checks.expect(machine.exists(elsewhere), "the copy outside the install folder was removed")


def run_in_install_folder(machine: Machine, checks: Checks):
    """Started with the install folder as its working folder, the tool
    removes everything but that folder: the script it starts inherits the
    working folder, so the folder is in use when the script's rd runs."""
    install = Install(CHINESE)
    run_and_compare(machine, install, checks, working_folder=INSTALL_FOLDER, kept=[INSTALL_FOLDER])
    checks.expect(machine.exists(INSTALL_FOLDER) and not any(machine.prefix.unix_path(INSTALL_FOLDER).iterdir()),
                  "the install folder is not there, empty")


def only_tool(machine: Machine, checks: Checks):
    """Only the tool is left in the install folder: both keys are reported
    missing, and the script removes the tool and the folder."""
    install = Install(CHINESE, full=False)
    run_and_compare(machine, install, checks)


def unrelated_files(machine: Machine, checks: Checks):
    """The user keeps a file of their own in the install folder and in the
    shortcut folder: both folders stay with just that file in them."""
    install = Install(CHINESE)
    install.unrelated_files = [INSTALL_FOLDER + r"\我的笔记.txt", install.shortcut_folder + r"\Lumatide 帮助.url"]
    run_and_compare(machine, install, checks)
    for path in install.unrelated_files:
        checks.expect(machine.exists(path), f"the user's file is gone: {path}")
    checks.expect(not machine.exists(TOOL), "the tool is still there")


def temp_folder(path: str):
    def scenario(machine: Machine, checks: Checks):
        """The temporary folder has a name the script must carry through the
        OEM code page (437 here); one it can't carry means no script at all,
        and the tool stays behind."""
        install = Install(ENGLISH, temp_folder=path)
        run_and_compare(machine, install, checks)
        if install.script_written:
            checks.expect(not machine.exists(INSTALL_FOLDER), "the install folder is still there")
        else:
            checks.expect(machine.exists(TOOL), "the tool was removed without a script")
    return scenario


def big_tree(tree):
    def scenario(machine: Machine, checks: Checks):
        """A services tree far larger than the product's own: every key is
        reported and deleted."""
        run_and_compare(machine, Install(CHINESE, extra_service_children=[tree]), checks)
    return scenario


# name -> (locale, scenario)
SCENARIOS = {
    "full_install": (CHINESE, full_install),
    "second_run": (CHINESE, second_run),
    "run_in_install_folder": (CHINESE, run_in_install_folder),
    "only_tool": (CHINESE, only_tool),
    "unrelated_files": (CHINESE, unrelated_files),
    "temp_with_space": (ENGLISH, temp_folder(r"C:\Temp Files")),
    "temp_with_accent": (ENGLISH, temp_folder(r"C:\Témp")),
    "temp_with_percent": (ENGLISH, temp_folder(r"C:\Temp%Files")),
    "temp_outside_oem": (ENGLISH, temp_folder(r"C:\Temp卸载")),
    "tree_200_deep": (CHINESE, big_tree(deep_tree(200))),
    "tree_1000_wide": (CHINESE, big_tree(wide_tree(1000))),
}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", type=Path, required=True)
    parser.add_argument("--tool", type=Path)
    parser.add_argument("--helper", type=Path)
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("template").add_argument("locale", choices=sorted(LOCALES))
    sub.add_parser("run").add_argument("name", choices=list(SCENARIOS))
    sub.add_parser("cleanup")
    sub.add_parser("list")
    args = parser.parse_args()
    workspace = Workspace(args.work.resolve(), args.tool and args.tool.resolve(), args.helper and args.helper.resolve())

    if args.command == "list":
        for name, (locale, _) in SCENARIOS.items():
            print(name, locale.name)
        return 0
    if args.command == "cleanup":
        for locale in LOCALES.values():
            workspace.template(locale).remove()
        shutil.rmtree(workspace.root / "templates", ignore_errors=True)
        for aside in workspace.root.glob("*/*.inode-in-use-*"):
            shutil.rmtree(aside, ignore_errors=True)
        return 0
    if args.command == "template":
        workspace.make_template(LOCALES[args.locale])
        return 0

    if not workspace.tool or not workspace.tool.is_file():
        print(f"no tool to test at {workspace.tool}: build the wine64 preset first")
        return 1
    locale, scenario = SCENARIOS[args.name]
    machine = workspace.machine(args.name, locale)
    checks = Checks(f"{args.name}: {' '.join(scenario.__doc__.split())}")
    try:
        scenario(machine, checks)
    finally:
        machine.prefix.kill()
    if not checks.finish():
        print(f"  prefix kept for inspection: {machine.prefix.path}")
        return 1
    machine.remove()
    return 0


if __name__ == "__main__":
    sys.exit(main())
