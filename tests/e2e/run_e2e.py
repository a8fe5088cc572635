#!/usr/bin/env python3
"""End-to-end cases for quillmark: each case runs the built program in a
scratch directory of its own and compares its standard output, its exit
status and the calls the signing-library double recorded.

The cases live in cases.py, one table for every target. A target knows how
to lay out a case and run the program:
  native   the POSIX build, with a real NSS database as the personal store
  wine     the Windows build under Wine (target_wine.py, when present)

  run_e2e.py --target native --build DIR --setup        make the shared fixtures
  run_e2e.py --target native --build DIR [--case NAME]  run cases
  run_e2e.py --target native --list                     the target's case names
Exit status: 0 when nothing failed, 1 otherwise; 77 when every case that
ran was skipped (a tool or fixture is missing)."""

import argparse
import fcntl
import os
import pty
import select
import shutil
import subprocess
import sys
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import cases as table  # noqa: E402

SKIP = 77
FIXTURES = os.path.join(os.path.dirname(HERE), "fixtures")
SOFTHSM_MODULE = "/usr/lib/softhsm/libsofthsm2.so"


class Skip(Exception):
    pass


def fixture_sha1(pki, name):
    with open(os.path.join(pki, name + ".sha1")) as f:
        return f.read().strip()


def expand(value, pki, work=None, sizes=None):
    """Replaces {sha1:NAME} (lower case) and {SHA1:NAME} (upper case) with
    the thumbprint of a fixture certificate, {work} with the absolute path
    of the case's working folder, and {size:NAME} with the cbSize of a
    signing record in the target's layout (sizes; the 32-bit one by
    default)."""
    if isinstance(value, bytes) or "{" not in value:
        return value
    out = value.replace("{work}", work) if work is not None else value
    for name, size in (sizes or table.RECORD_SIZES[32]).items():
        out = out.replace("{size:%s}" % name, str(size))
    while True:
        for key, fold in (("{sha1:", str.lower), ("{SHA1:", str.upper)):
            start = out.find(key)
            if start >= 0:
                end = out.index("}", start)
                name = out[start + len(key):end]
                out = out[:start] + fold(fixture_sha1(pki, name)) + out[end + 1:]
                break
        else:
            return out


def as_bytes(text):
    """Expected output is written as text whose characters are the bytes."""
    return text.encode("latin-1") if isinstance(text, str) else text


def write_tree(root, case, fixtures=None):
    """Creates the case's folders and files; a file given as
    table.Fixture(name) is a copy of a fixture the target built."""
    for d in case.get("dirs", []):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for path, content in case.get("files", {}).items():
        full = os.path.join(os.fsencode(root), os.fsencode(path))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if isinstance(content, table.Fixture):
            src = os.path.join(fixtures or "", content.name)
            if fixtures is None or not os.path.isfile(src):
                raise Skip("fixture %s is not built" % content.name)
            shutil.copyfile(src, full)
            continue
        with open(full, "wb") as f:
            f.write(content if isinstance(content, bytes) else content.encode())
    for path, existing in case.get("links", {}).items():
        os.link(os.path.join(root, existing), os.path.join(root, path))


def check_log(case, lines, pki, work=None, sizes=None):
    """Each expected call is a list of texts its log line must contain."""
    expected = case.get("calls")
    if expected is None:
        return []
    problems = []
    if len(lines) != len(expected):
        problems.append("expected %d signing calls, got %d:\n  %s" %
                        (len(expected), len(lines), "\n  ".join(lines) or "(none)"))
        return problems
    for n, (line, parts) in enumerate(zip(lines, expected), 1):
        for part in parts:
            part = expand(part, pki, work, sizes)
            if part not in line:
                problems.append("call %d lacks %r:\n  %s" % (n, part, line))
    return problems


class NativeTarget:
    """The POSIX build: the program copied (under the case's name for it)
    into a folder of its own, beside the library the case asks for, with
    HOME pointing at a prepared NSS database."""

    name = "native"
    record_bits = 32  # the Linux library takes the 32-bit record sizes

    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.root = os.path.join(self.build, "e2e")
        self.pki = os.path.join(self.root, "pki")
        self.fixtures = os.path.join(self.root, "programs")
        self.tsa_server = os.path.join(self.build, "tools", "tsa_server")

    # -- shared fixtures ----------------------------------------------------
    def setup(self):
        for tool in ("openssl", "certutil", "pk12util"):
            if shutil.which(tool) is None:
                raise Skip("%s is not installed" % tool)
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.root)
        subprocess.run([os.path.join(FIXTURES, "make_pki.sh"), self.pki], check=True,
                       stdout=subprocess.DEVNULL)
        for name, store in {**table.STORES, **table.NATIVE_STORES}.items():
            self.make_store(os.path.join(self.root, "homes", name), store)
        self.build_programs()

    def make_store(self, home, store):
        db = os.path.join(home, ".pki", "nssdb")
        os.makedirs(home)
        if store is None:
            return  # a user without a database
        if store == "token":
            # Built when SoftHSM2 is here; cases on it skip otherwise.
            if shutil.which("softhsm2-util") and os.path.isfile(SOFTHSM_MODULE):
                subprocess.run([os.path.join(FIXTURES, "make_token.sh"), home, self.pki,
                                SOFTHSM_MODULE], check=True, stdout=subprocess.DEVNULL)
            return
        if isinstance(store, dict) and "fifo" in store:
            # A named pipe in place of one of the database's files.
            self.make_store(home + ".tmp", {"pfx": ["signer-rsa"]})
            shutil.rmtree(home)
            os.rename(home + ".tmp", home)
            os.remove(os.path.join(db, store["fifo"]))
            os.mkfifo(os.path.join(db, store["fifo"]))
            return
        if store == "corrupt":
            os.makedirs(db)
            with open(os.path.join(db, "cert9.db"), "wb") as f:
                f.write(b"this is not a database\n" * 64)
            return
        if isinstance(store, list):
            store = {"pfx": store}
        os.makedirs(db)
        password = store.get("password")
        if password:
            with open(os.path.join(home, "pw"), "w") as f:
                f.write(password + "\n")
            subprocess.run(["certutil", "-N", "-d", "sql:" + db, "-f", os.path.join(home, "pw")],
                           check=True)
        else:
            subprocess.run(["certutil", "-N", "-d", "sql:" + db, "--empty-password"], check=True)
        for pfx in store.get("pfx", []):
            subprocess.run(["pk12util", "-i", os.path.join(self.pki, pfx + ".pfx"), "-d",
                            "sql:" + db, "-W", "test", "-K", password or ""],
                           check=True, stdout=subprocess.DEVNULL)
        for cert in store.get("certs", []):
            subprocess.run(["certutil", "-A", "-d", "sql:" + db, "-n", cert, "-t", ",,", "-i",
                            os.path.join(self.pki, cert + ".der")], check=True)

    def build_programs(self):
        """Small Windows programs to sign for real, when mingw-w64 is here."""
        os.makedirs(self.fixtures)
        source = os.path.join(self.fixtures, "hello.c")
        with open(source, "w") as f:
            f.write('#include <stdio.h>\nint main(void) { puts("hello"); return 0; }\n')
        for compiler, name in (("i686-w64-mingw32-gcc", "hello32.exe"),
                               ("x86_64-w64-mingw32-gcc", "hello64.exe")):
            if shutil.which(compiler):
                subprocess.run([compiler, "-O2", "-o", os.path.join(self.fixtures, name), source],
                               check=True)

    def ready(self):
        if not os.path.isfile(os.path.join(self.pki, "signer-rsa.sha1")):
            raise Skip("fixtures missing: run with --setup first")

    # -- one case -------------------------------------------------------------
    def library_path(self, library):
        if library == "real":
            return os.path.join(self.build, "libmssign32.so")
        return os.path.join(self.build, "doubles", library, "libmssign32.so")

    def run(self, case, scratch):
        if case.get("only", self.name) != self.name:
            raise Skip("not for this target")
        bindir = os.path.join(scratch, "bin")
        workdir = os.path.join(scratch, "work")
        os.makedirs(bindir)
        os.makedirs(workdir)
        exe = os.path.join(bindir, case.get("exe", "quillmark"))
        shutil.copy2(os.path.join(self.build, "quillmark"), exe)
        library = case.get("library", "all")
        if library != "missing":
            src = self.library_path(library)
            if not os.path.isfile(src):
                raise Skip("library %s is not built" % library)
            shutil.copy2(src, os.path.join(bindir, "libmssign32.so"))
        elif self.installed_library_present():
            raise Skip("a signing library is installed system-wide")
        if "ini" in case:
            with open(os.path.join(bindir, "quillmark.ini"), "wb") as f:
                f.write(as_ini(case["ini"]))
        write_tree(workdir, case, self.fixtures)

        log = os.path.join(scratch, "calls.log")
        env = self.environment(case, scratch)
        env["QM_DOUBLE_LOG"] = log
        if "results" in case:
            env["QM_DOUBLE_RESULTS"] = case["results"]
        args = [exe] + [expand(a, self.pki, workdir) if isinstance(a, str) else a
                        for a in case.get("args", [])]
        server = self.start_tsa(case, scratch)
        try:
            if server is not None:
                args = [a.replace("{tsa}", server[1]) if isinstance(a, str) else a for a in args]
            args = [os.fsencode(a) if isinstance(a, str) else a for a in args]
            if case.get("tty"):
                out, status = run_on_pty(args, workdir, env, case.get("tty_answers", []))
            else:
                # A session of its own: no controlling terminal to prompt on.
                p = subprocess.run(args, cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120,
                                   start_new_session=True)
                out, status = p.stdout, p.returncode
                if p.stderr:
                    return out, status, read_lines(log), ["wrote to standard error: %r" % p.stderr]
        finally:
            if server is not None:
                server[0].kill()
                server[0].wait()
        return out, status, read_lines(log), []

    def environment(self, case, scratch):
        """The run's environment. A token store is copied into the case's
        scratch folder first, so that no two cases share a token."""
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QM_DOUBLE_", "QUILLMARK_", "SOFTHSM2_")) and k != "NO_COLOR"}
        store = case.get("store", "default")
        home = os.path.join(self.root, "homes", store)
        if store == "token":
            if not os.path.isfile(os.path.join(home, "softhsm2.conf")):
                raise Skip("SoftHSM2 is not installed (softhsm2)")
            copy = os.path.join(scratch, "home")
            if not os.path.isdir(copy):
                shutil.copytree(home, copy)
                with open(os.path.join(copy, "softhsm2.conf"), "w") as f:
                    f.write("directories.tokendir = %s\nobjectstore.backend = file\n"
                            "log.level = ERROR\nslots.removable = false\n"
                            % os.path.join(copy, "tokens"))
            home = copy
            env["SOFTHSM2_CONF"] = os.path.join(copy, "softhsm2.conf")
        env.update({"HOME": home, "LANG": "C.UTF-8"})
        env.update(case.get("env", {}))
        return env

    def start_tsa(self, case, scratch):
        """The loopback timestamp server in the case's mode; "{tsa}" in the
        arguments stands for its URL."""
        mode = case.get("tsa")
        if mode is None:
            return None
        if not os.path.isfile(self.tsa_server):
            raise Skip("the test timestamp server is not built")
        port_file = os.path.join(scratch, "tsa.port")
        with open(port_file, "w") as out:
            p = subprocess.Popen([self.tsa_server, "--cert", os.path.join(self.pki, "tsa.pem"),
                                  "--key", os.path.join(self.pki, "tsa.key"),
                                  "--chain", os.path.join(self.pki, "tsa-chain.pem"),
                                  "--mode", mode, "--requests", "8", "--seconds", "60"],
                                 stdout=out, stderr=subprocess.DEVNULL)
        deadline = time.time() + 10
        while time.time() < deadline:
            with open(port_file) as f:
                port = f.readline().strip()
            if port:
                return p, "http://127.0.0.1:%s/" % port
            time.sleep(0.05)
        p.kill()
        raise Skip("the test timestamp server did not start")

    def installed_library_present(self):
        for d in ("/usr/local/lib/quillmark", "/usr/lib/quillmark"):
            if os.path.exists(os.path.join(d, "libmssign32.so")):
                return True
        return False

    def expected_output(self, text):
        return as_bytes(text)

    def expected_status(self, case):
        """A POSIX status holds 8 bits: an HRESULT exits with its low byte,
        or 255 when that byte is 0."""
        status = case["status"] & 0xFFFFFFFF
        if status in (0, 1):
            return status
        return (status & 0xFF) or 255


def as_ini(ini):
    return ini if isinstance(ini, bytes) else ini.encode("utf-8")


def read_lines(path):
    try:
        with open(path, "rb") as f:
            return [l.decode("utf-8", "backslashreplace") for l in f.read().splitlines()]
    except FileNotFoundError:
        return []


PIN_PROMPT = b"PIN for token "


def controlling_terminal():
    """In the child: a session of its own whose controlling terminal is the
    pty on standard output, as a login shell has (/dev/tty is the pty)."""
    os.setsid()
    fcntl.ioctl(1, termios.TIOCSCTTY, 0)


def run_on_pty(args, cwd, env, answers=()):
    """Runs with standard output on a terminal that is also the program's
    controlling terminal; each PIN prompt that appears gets the next answer
    typed in (none left: the run is left to fail its case by time-out).
    Returns what the terminal showed, with its CR LF turned back into LF."""
    master, slave = pty.openpty()
    p = subprocess.Popen(args, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=slave,
                         stderr=subprocess.DEVNULL, preexec_fn=controlling_terminal)
    os.close(slave)
    out = b""
    answers = list(answers)
    prompts = 0
    deadline = time.time() + 60
    while time.time() < deadline:
        r, _, _ = select.select([master], [], [], 0.5)
        if r:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
            while out.count(PIN_PROMPT) > prompts and answers:
                # The prompt is written after echo is turned off.
                time.sleep(0.05)
                os.write(master, answers.pop(0).encode() + b"\n")
                prompts += 1
        elif p.poll() is not None:
            break
    if p.poll() is None:
        p.kill()
    os.close(master)
    status = p.wait(timeout=10)
    return out.replace(b"\r\n", b"\n"), status


def load_target(name, build):
    if name == "native":
        return NativeTarget(build)
    if name == "wine":
        import target_wine
        return target_wine.WineTarget(build)
    raise SystemExit("unknown target %s" % name)


def run_case(target, case, scratch_root):
    scratch = os.path.join(scratch_root, case["name"])
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    out, status, calls, problems = target.run(case, scratch)
    work = os.path.join(scratch, "work")
    want_out = target.expected_output(expand(case["stdout"], target.pki, work))
    if out != want_out:
        problems.append("standard output differs\n  expected: %r\n  actual:   %r" % (want_out, out))
    want_status = target.expected_status(case)
    if status != want_status:
        problems.append("exit status %d, expected %d" % (status, want_status))
    problems += check_log(case, calls, target.pki, work, table.RECORD_SIZES[target.record_bits])
    for check in case.get("checks", []):
        problems += check(target, scratch)
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--target", default="native")
    ap.add_argument("--build", default=".")
    ap.add_argument("--setup", action="store_true")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--case", action="append")
    opts = ap.parse_args()

    if opts.list:
        for case in table.CASES:
            if case.get("only", opts.target) == opts.target:
                print(case["name"])
        return 0
    target = load_target(opts.target, opts.build)
    try:
        if opts.setup:
            target.setup()
            return 0
        target.ready()
    except Skip as why:
        print("SKIPPED: %s" % why)
        return SKIP

    # Cases meant for another target are not this target's: not run, not counted.
    if opts.case:
        selected = [c for c in table.CASES if c["name"] in opts.case]
    else:
        selected = [c for c in table.CASES if c.get("only", target.name) == target.name]
    if opts.case and len(selected) != len(set(opts.case)):
        raise SystemExit("unknown case in %s" % opts.case)
    scratch_root = os.path.join(target.root, "scratch-" + target.name)
    passed = failed = skipped = 0
    for case in selected:
        try:
            problems = run_case(target, case, scratch_root)
        except Skip as why:
            print("SKIP %s: %s" % (case["name"], why))
            skipped += 1
            continue
        if problems:
            failed += 1
            print("FAIL %s\n  %s" % (case["name"], "\n  ".join(problems)))
        else:
            passed += 1
            print("ok   %s" % case["name"])
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    if failed:
        return 1
    return SKIP if passed == 0 and skipped > 0 else 0


if __name__ == "__main__":
    sys.exit(main())
