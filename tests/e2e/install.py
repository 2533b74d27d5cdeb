"""The product as its installer leaves a machine, and what the tool should
make of it.

An Install describes one machine: the driver's service tree, the uninstall
entry, the disk devices with their upper filters, the tool's service, the
install folder with its record and shortcuts, and sentinels that share the
product's names but are not the product's. From that one description come
the plan the prefix helper carries out, the files written into the prefix,
the footprint the tool must remove, and its console report.
"""

from dataclasses import dataclass, field
from typing import Optional

from wineprefix import Locale

SERVICES = r"HKLM\SYSTEM\CurrentControlSet\Services"
UNINSTALL = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall"
ENUM_ROOT = r"HKLM\SYSTEM\CurrentControlSet\Enum\ROOT"

INSTALL_FOLDER = r"C:\Program Files\Durvak"
TOOL = INSTALL_FOLDER + r"\Kestrovin.exe"
DRIVERS = r"C:\windows\system32\drivers"
HIDDEN_FOLDER = r"C:\$Durvak$"
START_MENU = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs"
RECORDED_FILE = r"C:\ProgramData\Lumatide\Setup.log"

GUID_DEVINTERFACE_DISK = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"
GUID_DEVINTERFACE_VOLUME = "{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"
CLASS_DISKDRIVE = "{4d36e967-e325-11ce-bfc1-08002be10318}"
CLASS_CDROM = "{4d36e965-e325-11ce-bfc1-08002be10318}"
CLASS_UNKNOWN = "{7d0a8f52-41c6-4e0b-9a53-2f1e6c8b7d34}"

# The second shortcut's name begins with these bytes, 卸载 ("uninstall") in
# code page 936; the tool hands them to DeleteFileA as they are, so the file
# it deletes is whatever they spell in the machine's ANSI code page.
UNINSTALL_SHORTCUT_PREFIX = b"\xD0\xB6\xD4\xD8"


@dataclass
class Key:
    name: str
    values: list = field(default_factory=list)     # (name, type, data) as the helper takes them
    children: list = field(default_factory=list)

    def sorted_children(self):
        # The registry lists subkeys in case-insensitive name order, on
        # Windows and in Wine alike, and the tool always takes the first.
        return sorted(self.children, key=lambda child: child.name.upper())

    def paths(self, parent: str):
        """This key's path and those of all keys below it."""
        path = parent + "\\" + self.name
        yield path
        for child in self.children:
            yield from child.paths(path)

    def plan(self, parent: str):
        path = parent + "\\" + self.name
        yield f"key\t{path}"
        for name, kind, data in self.values:
            yield f"value\t{path}\t{name}\t{kind}\t{data}"
        for child in self.children:
            yield from child.plan(path)


def driver_service_key(extra_children=()) -> Key:
    return Key("Durvak", values=[
        ("Type", "dword", "1"),
        # Demand start, where the product registers boot start: Wine's service
        # manager starts boot, system and auto-start services on every prefix
        # start, and would try to load this stand-in driver.
        ("Start", "dword", "3"),
        ("ErrorControl", "dword", "1"),
        ("Group", "sz", "PnP Filter"),
        ("ImagePath", "expand_sz", r"system32\DRIVERS\Durvak.sys"),
        ("DisplayName", "sz", "Durvak"),
    ], children=[
        Key("Parameters", values=[("TableSlots", "dword", "1000")], children=[
            Key("Volumes", children=[
                Key("C", values=[("Enabled", "dword", "1")], children=[
                    Key("临时存点", values=[("RetentionDays", "dword", "30")]),
                    Key("SavePoints", children=[
                        Key("0002", values=[("Time", "binary", "e9070100030002000a000000000000")]),
                        Key("0001", values=[("Time", "binary", "e9070100030001000a000000000000")]),
                    ]),
                ]),
            ]),
        ]),
        Key("Enum", values=[("Count", "dword", "0"), ("NextInstance", "dword", "0")]),
        Key("security", values=[("Security", "binary", "01001480900000009c000000")]),
        Key("Instances", values=[("DefaultInstance", "sz", "Durvak Instance")], children=[
            Key("Durvak Instance", values=[("Altitude", "sz", "329010"), ("Flags", "dword", "0")]),
        ]),
        *extra_children,
    ])


def uninstall_key() -> Key:
    return Key("Durvak", values=[
        ("DisplayName", "sz", "Lumatide 临时存点"),
        ("DisplayVersion", "sz", "7.2.1"),
        ("Publisher", "sz", "Lumatide"),
        ("UninstallString", "sz", INSTALL_FOLDER + r"\Unplex.exe"),
        ("DisplayIcon", "sz", INSTALL_FOLDER + r"\qv.exe,0"),
    ], children=[
        Key("Components", children=[Key("Tool"), Key("Driver", values=[("Version", "sz", "7.2.1.5")])]),
        Key("Languages", children=[Key("2052", values=[("Name", "sz", "中文(简体)")])]),
    ])


def deep_tree(depth: int) -> Key:
    """Deep1\\Deep2\\...\\Deep<depth>, a value at the bottom."""
    key = Key(f"Deep{depth}", values=[("Level", "dword", str(depth))])
    for level in range(depth - 1, 0, -1):
        key = Key(f"Deep{level}", children=[key])
    return key


def wide_tree(count: int) -> Key:
    return Key("Wide", children=[Key(f"Slot{i:04d}", values=[("Id", "dword", str(i))]) for i in range(count)])


@dataclass
class Device:
    name: str                 # root-enumerated as ROOT\<name>\0000
    setup_class: str          # the Class property
    class_guid: str
    interface: str
    filters: Optional[list]   # UpperFilters entries, None for no property
    filters_after: Optional[list]  # what the tool must leave; None for no entries

    @property
    def key(self) -> str:
        return rf"{ENUM_ROOT}\{self.name}\0000"

    def plan(self):
        filters = "|".join(self.filters) if self.filters is not None else "-"
        return f"device\t{self.name}\t{self.setup_class}\t{self.class_guid}\t{self.interface}\t{filters}"


def product_devices():
    return [
        Device("DURVAKDISKA", "DiskDrive", CLASS_DISKDRIVE, GUID_DEVINTERFACE_DISK, ["PartMgr", "Durvak"], ["PartMgr"]),
        Device("DURVAKDISKB", "DiskDrive", CLASS_DISKDRIVE, GUID_DEVINTERFACE_DISK, ["Durvak"], None),
        Device("DURVAKDISKC", "DiskDrive", CLASS_DISKDRIVE, GUID_DEVINTERFACE_DISK, ["Durvak", "DURVAK"], None),
        Device("DURVAKDISKD", "DiskDrive", CLASS_DISKDRIVE, GUID_DEVINTERFACE_DISK,
               ["Durvak2", "durvak", "DurvakKeep"], ["Durvak2", "DurvakKeep"]),
        # Registered only for the volume interface: the walk reaches it there.
        Device("DURVAKVOLUME", "DiskDrive", CLASS_DISKDRIVE, GUID_DEVINTERFACE_VOLUME,
               ["DURVAK", "PartMgr"], ["PartMgr"]),
    ]


def sentinel_devices():
    return [
        Device("PLAINDISK", "DiskDrive", CLASS_DISKDRIVE, GUID_DEVINTERFACE_DISK, ["PartMgr"], ["PartMgr"]),
        Device("DURVAKCDROM", "CDROM", CLASS_CDROM, GUID_DEVINTERFACE_DISK, ["Durvak"], ["Durvak"]),
        # The class test is exact, letter case included. Wine rewrites Class
        # from the class GUID whenever it loads a device, so this one has a
        # class GUID that names no installed class.
        Device("LOWERCASEDISK", "diskdrive", CLASS_UNKNOWN, GUID_DEVINTERFACE_DISK, ["Durvak"], ["Durvak"]),
    ]


@dataclass
class Install:
    """One machine with the product installed. The defaults are the full
    install; the fields narrow it down or add to it."""

    locale: Locale
    temp_folder: str = r"C:\Temp"
    full: bool = True                 # False: only the tool in the install folder
    extra_service_children: list = field(default_factory=list)
    unrelated_files: list = field(default_factory=list)   # user files in the product's folders

    # ---- names that depend on the code pages ----
    @property
    def shortcut_folder(self) -> str:
        # Read from the record in the ANSI code page, so spelt in it here.
        return START_MENU + ("\\Lumatide 临时存点" if self.locale.ansi == "gbk" else "\\Lumatide Café")

    @property
    def shortcuts(self):
        uninstall_name = UNINSTALL_SHORTCUT_PREFIX.decode(self.locale.ansi) + "Lumatide.lnk"
        return [self.shortcut_folder + r"\Lumatide.lnk", self.shortcut_folder + "\\" + uninstall_name]

    @property
    def script(self) -> str:
        # GetTempPathW ends the folder in a backslash, the tool adds another.
        return self.temp_folder + "\\\\Durvak.bat"

    @property
    def script_written(self) -> bool:
        """Whether the script's paths can be written exactly in the OEM code page."""
        try:
            for path in (TOOL, INSTALL_FOLDER, self.script):
                path.encode(self.locale.oem)
            return True
        except UnicodeEncodeError:
            return False

    # ---- the machine before the run ----
    def driver_service(self) -> Key:
        return driver_service_key(self.extra_service_children)

    def devices(self):
        return (product_devices() + sentinel_devices()) if self.full else []

    def record(self) -> bytes:
        text = RECORDED_FILE + "\r\n" + self.shortcut_folder + "\r\n"
        return text.encode(self.locale.ansi)

    def files(self, tool_bytes: bytes) -> dict:
        """Windows path -> content, for every file the seed writes."""
        files = {TOOL: tool_bytes, self.temp_folder + r"\unrelated.tmp": b"not the product's\r\n"}
        if not self.full:
            return files
        files.update({
            DRIVERS + r"\Durvak.sys": b"MZ stand-in for the product's driver",
            HIDDEN_FOLDER + r"\Durvak.sys": b"MZ stand-in for the product's driver",
            INSTALL_FOLDER + r"\Tessel.dat": b"\x00\x01save point catalogue",
            INSTALL_FOLDER + r"\qv.exe": b"MZ qv",
            INSTALL_FOLDER + r"\Unplex.exe": b"MZ unplex",
            INSTALL_FOLDER + r"\qvinstall.ini": self.record(),
            RECORDED_FILE: b"installed 7.2.1\r\n",
            **{shortcut: b"L\x00\x00\x00shortcut" for shortcut in self.shortcuts},
            # Sentinels: same names in other places, or names that begin like the product's.
            DRIVERS + r"\Durvak2.sys": b"MZ other driver",
            DRIVERS + r"\DurvakKeep.sys": b"MZ other driver",
            r"C:\Program Files\DurvakKeep\Tessel.dat": b"other",
            r"C:\Program Files\Durvak2\Kestrovin.exe": b"MZ other",
            r"C:\ProgramData\Lumatide\Settings.ini": b"[keep]\r\n",
            START_MENU + r"\Lumatide Keep\Lumatide.lnk": b"L\x00\x00\x00other",
        })
        for path in self.unrelated_files:
            files[path] = b"the user's own\r\n"
        return files

    def plan(self) -> str:
        lines = [f"value\tHKCU\\Environment\t{name}\tsz\t{self.temp_folder}" for name in ("TEMP", "TMP")]
        if self.full:
            lines += self.driver_service().plan(SERVICES)
            lines += uninstall_key().plan(UNINSTALL)
            lines += [device.plan() for device in self.devices()]
            lines += [f"service\tKestrovin\t{TOOL}",
                      f"service\tKestrovinKeep\t{INSTALL_FOLDER}Keep\\keep.exe"]
            for parent in (SERVICES, UNINSTALL):
                lines += Key("DurvakKeep", values=[("Keep", "dword", "1")], children=[Key("Durvak")]).plan(parent)
                lines += Key("Durvak2", values=[("Keep", "dword", "1")]).plan(parent)
        return "\n".join(lines) + "\n"

    # ---- what the run must remove ----
    def removed_keys(self) -> set:
        if not self.full:
            return set()
        return {*self.driver_service().paths(SERVICES), *uninstall_key().paths(UNINSTALL),
                SERVICES + r"\Kestrovin"}

    def removed_files(self) -> set:
        """Files and folders the run must remove. A folder goes only when it
        holds none of the user's files; the tool and the install folder go
        only through the script."""
        def holds_user_files(folder):
            return any(path.startswith(folder + "\\") for path in self.unrelated_files)

        removed = set()
        if self.full:
            removed |= {DRIVERS + r"\Durvak.sys", HIDDEN_FOLDER + r"\Durvak.sys", HIDDEN_FOLDER,
                        INSTALL_FOLDER + r"\Tessel.dat", INSTALL_FOLDER + r"\qv.exe",
                        INSTALL_FOLDER + r"\Unplex.exe", INSTALL_FOLDER + r"\qvinstall.ini",
                        RECORDED_FILE, *self.shortcuts}
            if not holds_user_files(self.shortcut_folder):
                removed.add(self.shortcut_folder)
        if self.script_written:
            removed.add(TOOL)
            if not holds_user_files(INSTALL_FOLDER):
                removed.add(INSTALL_FOLDER)
        return removed

    def filters_after(self) -> dict:
        """Device key -> the UpperFilters entries the run must leave."""
        return {device.key: device.filters_after for device in self.devices()}

    # ---- what the run must print ----
    def report(self, message_2: str) -> bytes:
        """The console report, given the system's text for error 2."""
        if not self.full:
            return missing_key_report(message_2, self.locale) * 2
        return (deletion_report(self.driver_service(), self.locale)
                + deletion_report(uninstall_key(), self.locale))


def ansi(text: str, locale: Locale) -> bytes:
    # Characters the code page lacks come out as '?', as WideCharToMultiByte
    # writes them without best-fit mapping.
    return text.encode(locale.ansi, errors="replace")


def deletion_report(key: Key, locale: Locale) -> bytes:
    """Depth first, always the first child that is left, each key's success
    line after all its children's lines."""
    out = []
    for child in key.sorted_children():
        out.append(b"\nDeleting Child key " + ansi(child.name, locale) + b" of " + ansi(key.name, locale) + b"...")
        out.append(deletion_report(child, locale))
    out.append(b"\nSuccessfully delete key: " + ansi(key.name, locale) + b"!")
    return b"".join(out)


def missing_key_report(message_2: str, locale: Locale) -> bytes:
    return b"\nError! code=2\nError Message:" + ansi(message_2, locale)
