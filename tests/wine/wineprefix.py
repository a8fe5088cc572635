"""Fresh Wine prefixes for the tests of the Windows build (Python 3,
standard library only).

A prefix here is a Windows installation of its own, 32-bit or 64-bit as the
programs under test are (pe_arch): one user, whose personal certificate store
the tests fill, and a system folder into which a signing-library double can
be put. Every run makes its prefixes anew: Wine keeps certificates in the
user's registry and does not really delete them.

  p = Prefix(path, arch)    p.create()           made anew, services started
  p.install_library(dll)    into system32        (None: Wine's own library)
  p.add_certificate(certs_exe, "MY", der)
  p.run([exe, args...], cwd=..., env=...)        -> (stdout, stderr, exit code)
  p.run_on_terminal([exe, args...], ...)         the same on a pty (a console)
  p.stop()
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from run_e2e import run_on_pty  # noqa: E402

SKIP = 77
LIBRARY = "mssign32.dll"


WINE64_LOADER = "/usr/lib/wine/wine64"


def loader(arch):
    """The Wine program that starts this architecture's programs. Debian's
    "wine" starts the 32-bit loader whenever that is installed, even where
    the kernel cannot execute it, so 64-bit programs go to the 64-bit loader
    itself."""
    if arch == "win64":
        return WINE64_LOADER if os.path.isfile(WINE64_LOADER) else shutil.which("wine64")
    return shutil.which("wine")


def wine_missing(arch="win32"):
    """The reason the Wine tests cannot run here, or None."""
    if loader(arch) is None:
        return "%s is not installed" % ("wine64" if arch == "win64" else "wine")
    if shutil.which("wineserver") is None:
        return "wineserver is not installed"
    return None


def pe_arch(path):
    """"win32" or "win64" for a Windows program by its machine field, None
    when the file is missing or not a program for either."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
    except OSError:
        return None
    if len(head) < 0x40 or head[:2] != b"MZ":
        return None
    pe = int.from_bytes(head[0x3C:0x40], "little")
    if pe + 6 > len(head) or head[pe:pe + 4] != b"PE\0\0":
        return None
    machine = int.from_bytes(head[pe + 4:pe + 6], "little")
    return {0x14C: "win32", 0x8664: "win64"}.get(machine)


def windows_path(path):
    """The Windows name of a host path: the host's root is drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    def __init__(self, path, arch="win32"):
        self.path = os.path.abspath(path)
        self.arch = arch
        self.wine = loader(arch) or "wine"
        self.system32 = os.path.join(self.path, "drive_c", "windows", "system32")
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("WINE") and not k.startswith("QM_DOUBLE_")}
        self.env.update({
            "WINEPREFIX": self.path,
            # system32 holds the DLLs of the programs' own bitness
            "WINEARCH": arch,
            "WINEDEBUG": "-all",
            "LANG": "C.UTF-8",        # else arguments lose their non-ASCII characters
            # no debugger (it would print a backtrace on stdout); no Mono or
            # Gecko installers at prefix creation
            "WINEDLLOVERRIDES": "winedbg.exe=d;mscoree=d;mshtml=d",
            "DISPLAY": "",
        })
        if arch == "win64":
            self.env["WINELOADER"] = self.wine
        self.original_library = os.path.join(self.path, "wine-" + LIBRARY)

    def _quiet(self, args, timeout):
        subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=False)

    def create(self):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self._quiet([self.wine, "wineboot", "--init"], timeout=180)
        if not os.path.isfile(os.path.join(self.system32, LIBRARY)):
            raise RuntimeError("wineboot did not make a prefix at %s" % self.path)
        shutil.copy2(os.path.join(self.system32, LIBRARY), self.original_library)
        self.start()

    def start(self):
        # The services stay up (and exit by themselves a while after the last
        # program); a first program lets them settle, else a read of a later
        # program's output through a pipe waits for the services to exit.
        self._quiet(["wineserver", "-p30"], timeout=30)
        self._quiet([self.wine, "cmd", "/c", "exit"], timeout=60)

    def stop(self):
        if os.path.isdir(self.path):
            self._quiet(["wineserver", "-k"], timeout=30)

    def install_library(self, dll):
        """Puts a signing library into the system folder: a double's DLL,
        None for Wine's own, or "missing" for none at all."""
        target = os.path.join(self.system32, LIBRARY)
        if dll == "missing":
            if os.path.exists(target):
                os.remove(target)
            return
        shutil.copyfile(dll or self.original_library, target)

    def add_certificate(self, certs_exe, store, der):
        out, err, code = self.run([certs_exe, "add", store, windows_path(der)])
        if code != 0:
            raise RuntimeError("adding %s failed (%d): %s" % (der, code, (out + err).decode()))

    def run(self, args, cwd=None, env=None, timeout=60):
        """Runs a Windows program with standard output on a pipe."""
        full_env = dict(self.env)
        full_env.update(env or {})
        p = subprocess.run([self.wine] + list(args), cwd=cwd, env=full_env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        return p.stdout, p.stderr, p.returncode

    def run_on_terminal(self, args, cwd=None, env=None):
        """Runs a Windows program on a terminal, where Wine gives it a
        console; returns what the terminal received (escape sequences of
        Wine's console included) and the exit code."""
        full_env = dict(self.env)
        full_env.update(env or {})
        return run_on_pty([self.wine] + list(args), cwd, full_env)
