"""A scenario's machine: a prefix copied from its locale's template, seeded
with an install, run, and compared before and after.
"""

import difflib
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath

import snapshot
from install import Install, TOOL
from wineprefix import Locale, Prefix, copy_prefix, make_template

# The working folder of the tool's boot service, and of the tool in the tests.
SYSTEM_FOLDER = r"C:\windows\system32"


@dataclass
class Workspace:
    """Where a test run keeps its prefixes, and the programs it runs."""

    root: Path
    tool: Path     # the x86_64 build of Kestrovin.exe
    helper: Path   # prefix_helper.exe

    def template(self, locale: Locale) -> Prefix:
        return Prefix(self.root / "templates" / locale.name, locale)

    def make_template(self, locale: Locale) -> Prefix:
        """Makes the locale's template. The helper's first run in it, which
        lets Wine finish its first-start work, also records the system's
        text for error 2 in that language."""
        prefix = make_template(self.template(locale).path, locale)
        message = prefix.run_checked([str(self.helper), "message", "2"])
        prefix.wait()
        self.message_file(locale).write_bytes(message)
        return prefix

    def message_file(self, locale: Locale) -> Path:
        return self.root / "templates" / f"{locale.name}-message-2.txt"

    def system_message_2(self, locale: Locale) -> str:
        return self.message_file(locale).read_bytes().decode("utf-8")

    def machine(self, name: str, locale: Locale) -> "Machine":
        template = self.template(locale)
        if not (template.path / "system.reg").exists():
            raise RuntimeError(f"no template prefix at {template.path}: run the e2e template test first")
        return Machine(self, copy_prefix(template, self.root / "scenarios" / name))


@dataclass
class ToolRun:
    status: int
    output: bytes    # standard output, CR LF turned back into LF
    errors: bytes    # standard error: Wine's own messages, if any


class Machine:
    def __init__(self, workspace: Workspace, prefix: Prefix):
        self.workspace = workspace
        self.prefix = prefix
        self.locale = prefix.locale

    def write_file(self, windows_path: str, content: bytes):
        path = self.prefix.unix_path(windows_path)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)

    def exists(self, windows_path: str) -> bool:
        return self.prefix.unix_path(windows_path).exists()

    def seed(self, install: Install):
        for path, content in install.files(self.workspace.tool.read_bytes()).items():
            self.write_file(path, content)
        self.prefix.run_checked([str(self.workspace.helper), "apply"], stdin=install.plan().encode("utf-8"))
        self.prefix.wait()

    def snapshot(self) -> snapshot.Snapshot:
        self.prefix.wait()
        return snapshot.take(self.prefix.path)

    def run_tool(self, path: str = TOOL, working_folder: str = SYSTEM_FOLDER) -> ToolRun:
        """Runs the tool, then waits until the script it started has finished
        (the wineserver ends about 2 s after the last program in the prefix).
        The working folder defaults to the one the tool's boot service has.
        The script inherits it, and a folder that is some process's working
        folder can't be removed."""
        result = self.prefix.run([path], cwd=self.prefix.unix_path(working_folder))
        self.prefix.wait()
        # The tool's standard output is in text mode: each LF reaches us as CR LF.
        return ToolRun(result.returncode, result.stdout.replace(b"\r", b""), result.stderr)

    def devices(self) -> str:
        return self.prefix.run_checked([str(self.workspace.helper), "devices"]).decode("utf-8")

    def remove(self):
        self.prefix.remove()


# ---- checks ----

def relative(windows_path: str) -> str:
    parts = PureWindowsPath(windows_path).parts
    return "/".join(parts[1:])


class Checks:
    """Collects every failed expectation, so one run shows them all."""

    def __init__(self, title: str):
        self.title = title
        self.failures = []
        self.notes = []     # shown only when something failed

    def expect(self, condition: bool, message: str):
        if not condition:
            self.failures.append(message)

    def exit_status(self, run: ToolRun, expected: int = 0):
        self.expect(run.status == expected, f"exit status {run.status}, expected {expected}")
        self.notes.append(f"the tool's run printed on standard error:\n{run.errors.decode(errors='replace')}"
                          if run.errors.strip() else "")

    def output(self, run: ToolRun, expected: bytes, codec: str):
        expected = expected.replace(b"\r", b"")
        if run.output == expected:
            return
        got = run.output.decode(codec, errors="backslashreplace").split("\n")
        want = expected.decode(codec, errors="backslashreplace").split("\n")
        diff = "\n".join(difflib.unified_diff(want, got, "expected output", "tool output", lineterm="", n=2))
        self.failures.append("console output differs:\n" + diff[:20000])

    def changes(self, before: snapshot.Snapshot, after: snapshot.Snapshot, removed_keys=(), removed_files=(),
                filters_after=None):
        """Before minus after is exactly the listed keys and files; nothing
        else was added, removed or changed, apart from the upper filters of
        the listed devices, which must hold exactly the listed entries."""
        filters_after = filters_after or {}
        diff = snapshot.compare(before, after)
        removed_key_ids = {snapshot.key_id(k) for k in removed_keys}
        filter_values = {(snapshot.key_id(k), "upperfilters") for k in filters_after}

        for key in sorted(removed_keys):
            self.expect(before.has_key(key), f"seeding did not create key {key}")
            self.expect(not after.has_key(key), f"key still there: {key}")
        for key in sorted(diff.removed_keys):
            self.expect(snapshot.key_id(key) in removed_key_ids, f"key removed that must stay: {key}")
        for key in sorted(diff.added_keys):
            self.failures.append(f"key added: {key}")

        for (key_id, name_id), (key, name, data) in sorted(diff.removed_values.items()):
            gone_with_key = key_id in removed_key_ids
            self.expect(gone_with_key or (key_id, name_id) in filter_values,
                        f"value removed that must stay: {key} {name!r}={data}")
        for ident, (key, name, data) in sorted(diff.added_values.items()):
            self.expect(ident in filter_values, f"value added: {key} {name!r}={data}")
        for ident, (key, name, old, new) in sorted(diff.changed_values.items()):
            self.expect(ident in filter_values, f"value changed: {key} {name!r}: {old} -> {new}")

        for device_key, entries in sorted(filters_after.items(), key=lambda item: item[0]):
            self.expect(before.has_key(device_key), f"seeding did not create device {device_key}")
            left = snapshot.multi_sz_entries(after.value(device_key, "UpperFilters"))
            # Windows deletes the property when the list becomes empty; Wine
            # writes an empty value instead. Either counts as no entries.
            self.expect((left or None) == entries,
                        f"UpperFilters of {device_key}: {left}, expected {entries or 'none'}")

        removed_rel = {relative(p) for p in removed_files}
        for path in sorted(removed_files):
            self.expect(relative(path) in before.files, f"seeding did not create {path}")
            self.expect(relative(path) not in after.files, f"still there: {path}")
        for rel in sorted(diff.removed_files):
            self.expect(rel in removed_rel, f"removed but must stay: {snapshot.windows_name(rel)}")
        for rel in sorted(diff.added_files):
            self.failures.append(f"file added: {snapshot.windows_name(rel)} {after.files[rel]}")
        for rel, (old, new) in sorted(diff.changed_files.items()):
            self.failures.append(f"file changed: {snapshot.windows_name(rel)} {old} -> {new}")

    def finish(self) -> bool:
        if self.failures:
            print(f"FAILED: {self.title}")
            for failure in self.failures:
                print("  - " + failure.replace("\n", "\n    "))
            for note in filter(None, self.notes):
                print("  note: " + note.replace("\n", "\n    "))
            return False
        print(f"passed: {self.title}")
        return True
