"""Wine prefixes for the end-to-end tests: templates, copies, runs, waits.

Every prefix is a plain folder with its own wineserver. A template is made
once per locale and test run; each scenario works on a full copy of it.
"""

import os
import shutil
import socket
import subprocess
from dataclasses import dataclass
from pathlib import Path, PureWindowsPath

WINE = os.environ.get("KESTROVIN_WINE64", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("KESTROVIN_WINESERVER64", "/usr/lib/wine/wineserver64")

# Long enough for a slow CI machine, short enough that a script looping
# forever fails the test instead of holding the run.
RUN_TIMEOUT = 180


@dataclass(frozen=True)
class Locale:
    """A Unix locale and the code pages Wine derives from it."""

    name: str    # short name used in folder names
    lang: str    # LANG / LC_ALL value
    ansi: str    # Python codec of the ANSI code page
    oem: str     # Python codec of the OEM code page


# The product's users run Chinese Windows: ANSI and OEM code page 936.
CHINESE = Locale("zh", "zh_CN.UTF-8", "gbk", "gbk")
# Western Windows: ANSI 1252, OEM 437.
ENGLISH = Locale("en", "en_US.UTF-8", "cp1252", "cp437")
LOCALES = {locale.name: locale for locale in (CHINESE, ENGLISH)}


class WineError(RuntimeError):
    pass


class Prefix:
    def __init__(self, path: Path, locale: Locale):
        self.path = Path(path)
        self.locale = locale

    # ---- environment and paths ----
    def env(self) -> dict:
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("LC_") and not k.startswith("WINE") and k != "DISPLAY"}
        env.update(
            WINEPREFIX=str(self.path),
            # Wine's error messages only, kept for a failed test's report.
            WINEDEBUG="-all,err+all",
            # No Mono or Gecko installer dialogs: nothing here needs them.
            WINEDLLOVERRIDES="mscoree,mshtml=",
            LANG=self.locale.lang,
            LC_ALL=self.locale.lang,
        )
        return env

    @property
    def drive_c(self) -> Path:
        return self.path / "drive_c"

    def unix_path(self, windows_path: str) -> Path:
        """C:\\a\\b -> <prefix>/drive_c/a/b (the prefix's own drive only)."""
        parts = PureWindowsPath(windows_path).parts
        if not parts or parts[0].upper() != "C:\\":
            raise ValueError(f"not on drive C: {windows_path}")
        return self.drive_c.joinpath(*parts[1:])

    # ---- processes ----
    def run(self, args, cwd=None, stdin: bytes = b"", timeout=RUN_TIMEOUT) -> subprocess.CompletedProcess:
        """Runs a Windows program; output is kept as bytes."""
        try:
            return subprocess.run([WINE, *args], cwd=cwd, env=self.env(), input=stdin,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise WineError(f"{args[0]} did not end within {timeout} s")

    def run_checked(self, args, **kwargs) -> bytes:
        result = self.run(args, **kwargs)
        if result.returncode != 0:
            raise WineError(f"{args} exited with {result.returncode}: "
                            f"{result.stderr.decode(errors='replace')}")
        return result.stdout

    def wait(self, timeout=RUN_TIMEOUT):
        """Waits until every program in the prefix has ended and the
        wineserver has gone, which is also when it has written the hives.
        It returns about 2 s after the last program ends."""
        try:
            subprocess.run([WINESERVER, "-w"], env=self.env(), timeout=timeout, check=False)
        except subprocess.TimeoutExpired:
            self.kill()
            raise WineError(f"programs in {self.path} still running after {timeout} s")

    def kill(self):
        """Ends this prefix's wineserver and its programs, and no other, and
        waits until the server has gone: a new prefix that gets the removed
        one's inode would otherwise find the dying server's socket."""
        if self.path.exists():
            for option in ("-k", "-w"):
                subprocess.run([WINESERVER, option], env=self.env(), timeout=60, check=False,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def remove(self):
        self.kill()
        shutil.rmtree(self.path, ignore_errors=True)


def make_template(path: Path, locale: Locale) -> Prefix:
    """A new prefix. Its first start after wineboot still rewrites parts of
    the registry: start one program in it before copying it."""
    installed = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout.split()
    if locale.lang.lower().replace("utf-8", "utf8") not in {name.lower() for name in installed}:
        raise WineError(f"locale {locale.lang} is not installed: enable it in /etc/locale.gen and run locale-gen")
    prefix = Prefix(path, locale)
    prefix.remove()
    fresh_folder(path, lambda: path.mkdir(parents=True))
    prefix.run_checked(["wineboot", "-i"])
    prefix.wait()
    return prefix


def server_answers(path: Path) -> bool:
    """Whether a wineserver listens for the prefix folder at path. Wine
    finds a prefix's server by the folder's device and inode number, in
    /tmp/.wine-<uid> upstream and in /tmp/wine-XXXXXX folders on Debian."""
    info = os.stat(path)
    name = f"server-{info.st_dev:x}-{info.st_ino:x}"
    sockets = [Path(f"/tmp/.wine-{os.getuid()}") / name / "socket", *Path("/tmp").glob(f"wine-*/{name}/socket")]
    for server in sockets:
        with socket.socket(socket.AF_UNIX) as probe:
            try:
                probe.connect(str(server))
                return True
            except OSError:
                continue
    return False


def fresh_folder(path: Path, make):
    """Makes the prefix folder at path with make(). If the new folder got
    the inode of a removed prefix whose server still runs, Wine would hand
    our programs to that server: keep that folder aside, so its inode stays
    taken, and make another."""
    for attempt in range(5):
        make()
        if not server_answers(path):
            return
        path.rename(path.with_name(f"{path.name}.inode-in-use-{os.getpid()}-{attempt}"))
    raise WineError(f"no fresh inode for {path}")


def copy_prefix(template: Prefix, path: Path) -> Prefix:
    """A full copy: Wine rewrites the hives in place, so hard links or
    shared files would let one scenario change the template."""
    template.wait()
    copy = Prefix(path, template.locale)
    copy.remove()
    path.parent.mkdir(parents=True, exist_ok=True)
    fresh_folder(path, lambda: subprocess.run(["cp", "-a", str(template.path), str(path)], check=True))
    return copy
