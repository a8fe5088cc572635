"""Fresh Wine prefixes for the tests of the Windows build (Python 3,
standard library only).

A prefix here is a 32-bit Windows installation of its own: one user, whose
personal certificate store the tests fill, and a system folder into which a
signing-library double can be put. Every run makes its prefixes anew: Wine
keeps certificates in the user's registry and does not really delete them.

  p = Prefix(path)          p.create()           made anew, services started
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


def wine_missing():
    """The reason the Wine tests cannot run here, or None."""
    for tool in ("wine", "wineserver", "wineboot"):
        if shutil.which(tool) is None:
            return "%s is not installed" % tool
    return None


def windows_path(path):
    """The Windows name of a host path: the host's root is drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Prefix:
    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.system32 = os.path.join(self.path, "drive_c", "windows", "system32")
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith("WINE") and not k.startswith("QM_DOUBLE_")}
        self.env.update({
            "WINEPREFIX": self.path,
            "WINEARCH": "win32",      # 32-bit only: system32 holds the 32-bit DLLs
            "WINEDEBUG": "-all",
            "LANG": "C.UTF-8",        # else arguments lose their non-ASCII characters
            # no debugger (it would print a backtrace on stdout); no Mono or
            # Gecko installers at prefix creation
            "WINEDLLOVERRIDES": "winedbg.exe=d;mscoree=d;mshtml=d",
            "DISPLAY": "",
        })
        self.original_library = os.path.join(self.path, "wine-" + LIBRARY)

    def _quiet(self, args, timeout):
        subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=False)

    def create(self):
        self.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self._quiet(["wineboot", "--init"], timeout=180)
        if not os.path.isfile(os.path.join(self.system32, LIBRARY)):
            raise RuntimeError("wineboot did not make a prefix at %s" % self.path)
        shutil.copy2(os.path.join(self.system32, LIBRARY), self.original_library)
        self.start()

    def start(self):
        # The services stay up (and exit by themselves a while after the last
        # program); a first program lets them settle, else a read of a later
        # program's output through a pipe waits for the services to exit.
        self._quiet(["wineserver", "-p30"], timeout=30)
        self._quiet(["wine", "cmd", "/c", "exit"], timeout=60)

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
        p = subprocess.run(["wine"] + list(args), cwd=cwd, env=full_env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout)
        return p.stdout, p.stderr, p.returncode

    def run_on_terminal(self, args, cwd=None, env=None):
        """Runs a Windows program on a terminal, where Wine gives it a
        console; returns what the terminal received (escape sequences of
        Wine's console included) and the exit code."""
        full_env = dict(self.env)
        full_env.update(env or {})
        return run_on_pty(["wine"] + list(args), cwd, full_env)
