"""The Wine target of the end-to-end runner (tests/e2e/run_e2e.py): the same
case table, run against the Windows build (quillmark.exe) under Wine.

Each personal store of the table is a prefix of its own, made anew by
--setup, with the certificates of the store's PFX files added through
qmcerts.exe. A case's
signing library goes into the prefix's system folder, where the program
loads it from ("real" is Wine's own mssign32, which lacks SignerSignEx2 and
SignerTimeStampEx2); "planted" puts a double beside the program as well, which
must not be loaded. The exit code is read in full through qmlaunch.exe, as
Wine's shell sees only its low 8 bits. Output is compared in the C runtime's
text mode, "\\n" written as "\\r\\n". A case with "console" runs on a console
whose attributes are that value; its stdout then is the screen as qmlaunch
describes it: one line per row, "[0xAA]" before each run of attributes AA,
then "final 0xAAAA".

Run it with this folder on PYTHONPATH:
  PYTHONPATH=tests/wine tests/e2e/run_e2e.py --target wine --build BUILD-WIN32 --setup
  PYTHONPATH=tests/wine tests/e2e/run_e2e.py --target wine --build BUILD-WIN32"""

import atexit
import os
import shutil
import subprocess
import sys

import __main__
import wineprefix

# The runner's own helpers and its Skip, whichever way the runner was started.
e2e = __main__ if hasattr(__main__, "Skip") else __import__("run_e2e")
table = e2e.table
Skip = e2e.Skip


def store_key(pfxs):
    """Stores with the same certificates share a prefix; a user without a
    store has an empty one on Windows."""
    return "+".join(pfxs) if pfxs else "empty"


class WineTarget:
    name = "wine"

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.root = os.path.join(self.build, "e2e")
        self.pki = os.path.join(self.root, "pki")
        self.exe = os.path.join(self.build, "quillmark.exe")
        self.launcher = os.path.join(self.build, "tests", "wine", "qmlaunch.exe")
        self.certs = os.path.join(self.build, "tests", "wine", "qmcerts.exe")
        # The prefixes and the expected records follow the build's bitness.
        self.arch = wineprefix.pe_arch(self.exe) or "win32"
        self.record_bits = 64 if self.arch == "win64" else 32
        self.prefixes = {}
        self.started = []
        for pfxs in table.STORES.values():
            if pfxs != "corrupt":
                key = store_key(pfxs)
                self.prefixes.setdefault(key, wineprefix.Prefix(
                    os.path.join(self.root, "prefix-" + key.replace("+", "_")), self.arch))
        atexit.register(self.stop)

    # -- shared fixtures ----------------------------------------------------
    def check_tools(self):
        why = wineprefix.wine_missing(self.arch)
        if why is None and shutil.which("openssl") is None:
            why = "openssl is not installed"
        for path in (self.exe, self.launcher, self.certs):
            if why is None and not os.path.isfile(path):
                why = "%s is not built" % path
        if why:
            raise Skip(why)

    def setup(self):
        self.check_tools()
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        subprocess.run([os.path.join(e2e.FIXTURES, "make_pki.sh"), self.pki], check=True,
                       stdout=subprocess.DEVNULL)
        done = set()
        for pfxs in table.STORES.values():
            if pfxs == "corrupt" or store_key(pfxs) in done:
                continue
            done.add(store_key(pfxs))
            prefix = self.prefixes[store_key(pfxs)]
            prefix.create()
            self.started.append(prefix)
            # The certificates alone: the doubles need no key, and Wine's
            # PFX import takes no ECDSA keys.
            for pfx in pfxs or []:
                prefix.add_certificate(self.certs, "MY", os.path.join(self.pki, pfx + ".der"))
            if pfxs:
                prefix.add_certificate(self.certs, "CA", os.path.join(self.pki, "intermediate.der"))
        self.stop()

    def ready(self):
        self.check_tools()
        if not os.path.isfile(os.path.join(self.pki, "signer-rsa.sha1")):
            raise Skip("fixtures missing: run with --setup first")
        for prefix in self.prefixes.values():
            if not os.path.isfile(prefix.original_library):
                raise Skip("prefix %s missing: run with --setup first" % prefix.path)

    def stop(self):
        while self.started:
            self.started.pop().stop()

    # -- one case -------------------------------------------------------------
    def prefix_for(self, store):
        pfxs = table.STORES[store]
        if pfxs == "corrupt":
            raise Skip("the Windows store has no database file to damage")
        prefix = self.prefixes[store_key(pfxs)]
        if prefix not in self.started:
            prefix.start()
            self.started.append(prefix)
        return prefix

    def double(self, variant):
        path = os.path.join(self.build, "doubles", variant, wineprefix.LIBRARY)
        if not os.path.isfile(path):
            raise Skip("double %s is not built" % variant)
        return path

    def run(self, case, scratch):
        if case.get("only", self.name) != self.name:
            raise Skip("not for this target")
        args = [e2e.expand(a, self.pki) for a in case.get("args", [])]
        if any(isinstance(a, bytes) for a in args):
            raise Skip("Windows arguments are UTF-16 text")
        bindir = os.path.join(scratch, "bin")
        workdir = os.path.join(scratch, "work")
        os.makedirs(bindir)
        os.makedirs(workdir)
        name = case.get("exe", "quillmark")
        exe = os.path.join(bindir, name if "." in name else name + ".exe")
        shutil.copy2(self.exe, exe)
        if "planted" in case:
            shutil.copy2(self.double(case["planted"]), os.path.join(bindir, wineprefix.LIBRARY))
        library = case.get("library", "all")
        library = {"real": None, "missing": "missing"}.get(library, library)
        prefix = self.prefix_for(case.get("store", "default"))
        prefix.install_library(self.double(library) if library not in (None, "missing") else library)
        if "ini" in case:
            with open(os.path.join(bindir, "quillmark.ini"), "wb") as f:
                f.write(e2e.as_ini(case["ini"]))
        e2e.write_tree(workdir, case)

        log = os.path.join(scratch, "calls.log")
        result = os.path.join(scratch, "launch.txt")
        env = {"QM_DOUBLE_LOG": wineprefix.windows_path(log)}
        env.update(case.get("env", {}))
        if "results" in case:
            env["QM_DOUBLE_RESULTS"] = case["results"]
        command = [self.launcher, wineprefix.windows_path(result), wineprefix.windows_path(exe)]
        problems = []
        err = b""
        if "console" in case:
            command[1:1] = ["--console", "0x%x" % case["console"]]
            _, code = prefix.run_on_terminal(command + args, cwd=workdir, env=env)
        else:
            out, err, code = prefix.run(command + args, cwd=workdir, env=env)
            if err:
                problems.append("wrote to standard error: %r" % err)
        if code != 0 or not os.path.isfile(result):
            # Wine's own complaint, if it made one, is what tells why.
            raise RuntimeError("qmlaunch failed with %d: %r" % (code, err))
        with open(result, "rb") as f:
            lines = f.read().decode("ascii").splitlines()
        status = int(lines[0].split()[1], 16)
        if "console" in case:
            out = "".join(l + "\r\n" for l in lines[1:]).encode("latin-1")
        return out, status, e2e.read_lines(log), problems

    def expected_output(self, text):
        return e2e.as_bytes(text).replace(b"\n", b"\r\n")

    def expected_status(self, case):
        """Windows keeps the whole 32-bit status."""
        return case["status"] & 0xFFFFFFFF
