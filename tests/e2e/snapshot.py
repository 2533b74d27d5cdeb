"""Snapshots of a stopped prefix: its registry hives and its file tree.

Registry: every key and every value, from the hive files the wineserver
writes when it exits. Wine's per-key time stamps are dropped, and so is the
DriverDateData value, which Wine rewrites on every start.

Files: type, path and size (no times) of everything under drive_c. Links are
recorded with their target and never followed: the prefix links its user
folders into the home folder.
"""

import os
import re
from dataclasses import dataclass, field
from pathlib import Path

HIVES = {"system.reg": "HKLM", "user.reg": "HKCU", "userdef.reg": "HKU\\.Default"}

# Rewritten by Wine on every start of a prefix, with nothing else changed.
VOLATILE_VALUE_NAMES = {"driverdatedata"}

_C_ESCAPES = {"a": "\a", "b": "\b", "t": "\t", "n": "\n", "v": "\v", "f": "\f", "r": "\r", "e": "\x1b"}
_HEX = "0123456789abcdefABCDEF"


def unescape(text: str) -> str:
    """Undoes the escapes Wine writes into hive files: \\xHHHH for
    characters above ASCII, octal and C escapes, and backslash-quoting."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 == len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        if n == "x":
            j = i + 2
            while j < len(text) and j < i + 6 and text[j] in _HEX:
                j += 1
            out.append(chr(int(text[i + 2:j], 16)))
            i = j
        elif n in "01234567":
            j = i + 1
            while j < len(text) and j < i + 4 and text[j] in "01234567":
                j += 1
            out.append(chr(int(text[i + 1:j], 8)))
            i = j
        else:
            out.append(_C_ESCAPES.get(n, n))
            i += 2
    return "".join(out)


def _quoted_end(line: str, start: int, closing: str) -> int:
    """Index of the unescaped `closing` character at or after start."""
    i = start
    while i < len(line):
        if line[i] == "\\":
            i += 2
        elif line[i] == closing:
            return i
        else:
            i += 1
    raise ValueError(f"unterminated name in hive line: {line[:80]}")


def key_id(path: str) -> str:
    """Registry names compare without regard to letter case."""
    return path.lower()


@dataclass
class Snapshot:
    # key id -> key path as written
    keys: dict = field(default_factory=dict)
    # (key id, value name lowered) -> (key path, value name, raw data)
    values: dict = field(default_factory=dict)
    # path relative to drive_c, '/'-separated -> ("dir",) | ("file", size) | ("link", target)
    files: dict = field(default_factory=dict)

    def has_key(self, path: str) -> bool:
        return key_id(path) in self.keys

    def value(self, key: str, name: str):
        entry = self.values.get((key_id(key), name.lower()))
        return None if entry is None else entry[2]

    def subkeys(self, path: str) -> list:
        """Every key at or below path."""
        root = key_id(path)
        return [p for k, p in self.keys.items() if k == root or k.startswith(root + "\\")]


def read_hive(text: str, root: str, snapshot: Snapshot):
    key = None
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if line.startswith("["):
            end = _quoted_end(line, 1, "]")
            key = root + "\\" + unescape(line[1:end])
            # Wine writes only keys with values or without subkeys; the
            # others are there as the ancestors of what is written.
            parts = key.split("\\")
            for depth in range(len(parts), 1, -1):
                ancestor = "\\".join(parts[:depth])
                if key_id(ancestor) in snapshot.keys:
                    break
                snapshot.keys[key_id(ancestor)] = ancestor
        elif key is None or not line or line.startswith(";"):
            continue
        elif line.startswith("#"):
            # #time= is the key's time stamp; other markers (#link, #class)
            # describe the key and are kept like values.
            if not line.startswith("#time="):
                name, _, data = line.partition("=")
                snapshot.values[(key_id(key), name.lower())] = (key, name, data)
        elif line.startswith('"') or line.startswith("@"):
            if line.startswith("@"):
                name, rest = "", line[1:]
            else:
                end = _quoted_end(line, 1, '"')
                name, rest = unescape(line[1:end]), line[end + 1:]
            data = rest[1:] if rest.startswith("=") else rest
            while data.endswith("\\") and i < len(lines):  # hex data continued
                data = data[:-1] + lines[i].strip()
                i += 1
            if name.lower() not in VOLATILE_VALUE_NAMES:
                snapshot.values[(key_id(key), name.lower())] = (key, name, data)


def take(prefix_path: Path) -> Snapshot:
    """The prefix's wineserver must have ended (Prefix.wait) before this."""
    snapshot = Snapshot()
    for hive, root in HIVES.items():
        hive_path = Path(prefix_path) / hive
        if hive_path.exists():
            read_hive(hive_path.read_text(encoding="utf-8", errors="surrogateescape"), root, snapshot)
    drive_c = Path(prefix_path) / "drive_c"
    for folder, dirs, files in os.walk(drive_c, followlinks=False):
        for name in dirs + files:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, drive_c)
            if os.path.islink(full):
                snapshot.files[rel] = ("link", os.readlink(full))
            elif os.path.isdir(full):
                snapshot.files[rel] = ("dir",)
            else:
                snapshot.files[rel] = ("file", os.path.getsize(full))
    return snapshot


def windows_name(rel: str) -> str:
    return "C:\\" + rel.replace("/", "\\")


@dataclass
class Diff:
    removed_keys: set
    added_keys: set
    removed_values: dict   # (key id, name id) -> (key, name, data before)
    added_values: dict     # (key id, name id) -> (key, name, data after)
    changed_values: dict   # (key id, name id) -> (key, name, before, after)
    removed_files: set
    added_files: set
    changed_files: dict    # rel -> (before, after)


def compare(before: Snapshot, after: Snapshot) -> Diff:
    b_vals, a_vals = before.values, after.values
    return Diff(
        removed_keys={before.keys[k] for k in before.keys.keys() - after.keys.keys()},
        added_keys={after.keys[k] for k in after.keys.keys() - before.keys.keys()},
        removed_values={k: b_vals[k] for k in b_vals.keys() - a_vals.keys()},
        added_values={k: a_vals[k] for k in a_vals.keys() - b_vals.keys()},
        changed_values={k: (*b_vals[k], a_vals[k][2]) for k in b_vals.keys() & a_vals.keys()
                        if b_vals[k][2] != a_vals[k][2]},
        removed_files=set(before.files.keys() - after.files.keys()),
        added_files=set(after.files.keys() - before.files.keys()),
        changed_files={k: (before.files[k], after.files[k]) for k in before.files.keys() & after.files.keys()
                       if before.files[k] != after.files[k]},
    )


MULTI_SZ = re.compile(r'^str\(7\):"(.*)"$')


def multi_sz_entries(raw):
    """Entries of a REG_MULTI_SZ value as Wine writes it, str(7):"a\\0b\\0".
    An empty list for a value of no entries; None for another type."""
    if raw is None:
        return None
    match = MULTI_SZ.match(raw)
    if not match:
        if raw.startswith("hex(7):"):
            data = bytes(int(b, 16) for b in raw[7:].split(",") if b)
            text = data.decode("utf-16-le")
            return [e for e in text.split("\0") if e]
        return None
    text = unescape(match.group(1))
    return [e for e in text.split("\0") if e]
