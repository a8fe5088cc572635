"""The end-to-end cases, one table for every target.

Fields of a case:
  name      unique, used as the scratch folder's name
  args      the arguments (str, or bytes for names that are not UTF-8)
  stdout    the exact output; each character stands for one byte. A target
            may adapt line ends (Windows text mode writes CR LF)
  status    the run status: 0, 1 or the HRESULT; the target turns it into
            the exit status it expects (8 bits on POSIX)
  library   signing library beside the program: all, fallback, signonly,
            none (doubles with those entry points), real, or missing
  results   codes the double returns, call by call ("0,0x80070005")
  calls     expected double calls, each a list of texts its record holds;
            checked when given (an empty list: no call at all)
  store     personal store of the user (see STORES); default "default"
  ini       contents of quillmark.ini beside the program (str or bytes)
  exe       the program's file name (default quillmark)
  files     {path: contents} created in the working folder; dirs: folders
  links     {path: existing path} hard links made after the files
  tty       run with standard output on a terminal
  env       extra environment for the run
  only      the one target the case is for
  planted   a double placed beside the program as well (wine: it must not
            be the one loaded, the library comes from the system folder)
  console   wine: run on a console with these text attributes; stdout is
            then the screen, "[0xAA]" before each run of attributes AA and
            "final 0xAAAA" (the attributes left set) after the rows
  checks    functions (target, scratch) -> [problems], for what output
            and calls do not show
Texts may name fixture thumbprints as {sha1:NAME} (lower case) or
{SHA1:NAME} (upper case), and the absolute path of the case's working
folder as {work}."""

import os
import shutil
import subprocess


class Fixture:
    """A file of the case that is a copy of a program the target built
    (hello32.exe: PE32, hello64.exe: PE32+)."""

    def __init__(self, name):
        self.name = name


PE32 = Fixture("hello32.exe")
PE64 = Fixture("hello64.exe")

USAGE = ("quillmark <options> file1 file2 ... fileN\n"
         "    /n <name or sha1> Specify the Subject Name or SHA1 thumbprint of the signing cert\n"
         "    /t <URL> Specifies the RFC 3161 timestamp server's URL\n"
         "    /v       Print verbose success and status messages\n")
NO_CERT = "Error: No certficated subject name or SHA1 specified!\n" + USAGE
NOT_FOUND = "CertFindCertificateInStore failed 80092004\n"
OID = '"2.16.840.1.101.3.4.2.1"'
EC = "Example EC"  # subject text of the ECDSA signer, matching it alone

# Personal stores, by name: the PFX fixtures imported, None for a user
# without a database, "corrupt" for a database file that is not one.
STORES = {
    "default": ["signer-rsa", "signer-ec", "other-rsa"],
    "empty": [],
    "none": None,
    "corrupt": "corrupt",
}


# Stores only the POSIX build has: certificates without their key, and a
# database whose keys need a password.
NATIVE_STORES = {
    "nokey": {"certs": ["signer-rsa"]},
    "password": {"pfx": ["signer-rsa"], "password": "s3cret"},
    # Keys on a SoftHSM2 token (make_token.sh), PIN 1234; each case gets a
    # copy of the token.
    "token": "token",
    # A self-signed signer made with openssl req -x509 (CA:TRUE) and its key.
    "selfsigned": {"pfx": ["selfsigned"]},
    # A self-signed signer whose subject is not all ASCII.
    "unicode": {"pfx": ["unicode"]},
    # A named pipe in place of one of the database's files.
    "fifo-cert": {"fifo": "cert9.db"},
    "fifo-key": {"fifo": "key4.db"},
}

TOKEN_RSA = "Token RSA"
TOKEN_PIN = {"QUILLMARK_PIN": "1234"}


def pin_prompt(certificate):
    """What the PIN prompt writes on the terminal, around the typed PIN
    (not echoed): a line below the progress line, then that line cleared
    and the cursor back at the end of the progress line."""
    return ("\x1bD\x1bM\x1b7\r\nPIN for token \"Quillmark Token\" to sign with \"%s\": "
            "\r\x1b[2K\x1b8" % certificate)


def _work(scratch, path):
    return os.path.join(os.fsencode(scratch), b"work", os.fsencode(path))


def verified(*paths, timestamp=False):
    """osslsigncode accepts each file's signature (and timestamp when asked),
    with the current and calculated digests equal, and the signature carries
    the signer and its intermediate but not the root."""
    def check(target, scratch):
        if shutil.which("osslsigncode") is None:
            return ["osslsigncode is not installed"]
        problems = []
        for path in paths:
            file = _work(scratch, path)
            p = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                os.path.join(target.pki, "root.pem"), "-TSA-CAfile",
                                os.path.join(target.pki, "tsa-root.pem"), "-in", file],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            text = p.stdout.decode(errors="replace")
            digests = [l.split(":", 1)[1].strip() for l in text.splitlines()
                       if "message digest" in l]
            if p.returncode != 0 or len(digests) != 2 or digests[0] != digests[1]:
                problems.append("%r does not verify:\n%s" % (path, text))
            if timestamp and "Timestamp Server Signature verification: ok" not in text:
                problems.append("%r has no verified timestamp" % path)
            certs = embedded_certificates(file, scratch)
            if not any("Quillmark Test Intermediate CA" in c for c in certs) or any(
                    "Quillmark Test Root CA" in c.split("issuer")[0] for c in certs):
                problems.append("%r should carry signer and intermediate only: %r" % (path, certs))
        return problems
    return check


def verified_self_signed(*paths):
    """osslsigncode accepts each file's signature with the self-signed
    signer as the trusted root."""
    def check(target, scratch):
        problems = []
        for path in paths:
            p = subprocess.run(["osslsigncode", "verify", "-CAfile",
                                os.path.join(target.pki, "selfsigned.pem"), "-in",
                                _work(scratch, path)], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT)
            if p.returncode != 0:
                problems.append("%r does not verify:\n%s" % (path, p.stdout.decode(errors="replace")))
        return problems
    return check


def then_signs_with(env, *paths):
    """After the case's run, the same program in the same scratch folder
    (the same copy of the token) signs the files with this environment."""
    def check(target, scratch):
        exe = os.path.join(scratch, "bin", "quillmark")
        run_env = target.environment({"store": "token", "env": env}, scratch)
        p = subprocess.run([exe, "/n", TOKEN_RSA] + list(paths), cwd=os.path.join(scratch, "work"),
                           env=run_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=120, start_new_session=True)
        want = "".join(ok(n, len(paths), path) for n, path in enumerate(paths, 1)).encode()
        if p.returncode != 0 or p.stdout != want:
            return ["signing again gave %d: %r" % (p.returncode, p.stdout)]
        return verified(*paths)(target, scratch)
    return check


def embedded_certificates(file, scratch):
    """The subject lines of the certificates inside a file's signature."""
    sig = os.path.join(scratch, "signature.der")
    subprocess.run(["osslsigncode", "extract-signature", "-in", file, "-out", sig],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    p = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", sig, "-print_certs",
                        "-noout"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    os.remove(sig) if os.path.exists(sig) else None
    return [l for l in p.stdout.decode(errors="replace").splitlines() if l.startswith("subject")]


def unchanged(*pairs):
    """Each (path, original) still holds exactly its original bytes, and no
    other file appeared beside them."""
    def check(target, scratch):
        problems = []
        for path, original in pairs:
            if isinstance(original, Fixture):
                with open(os.path.join(target.fixtures, original.name), "rb") as f:
                    original = f.read()
            elif isinstance(original, str):
                original = original.encode()
            with open(_work(scratch, path), "rb") as f:
                if f.read() != original:
                    problems.append("%r was changed" % path)
        return problems + nothing_left_behind()(target, scratch)
    return check


def nothing_left_behind():
    """The working folder holds only the case's own files: no temporary
    copy was left."""
    def check(target, scratch):
        work = os.path.join(scratch, "work")
        found = sorted(os.listdir(work))
        return [] if all(not n.startswith(".") and "tmp" not in n.lower() for n in found) else [
            "files left behind: %r" % found]
    return check


def ok(n, total, path):
    return "QuillMark %d/%d: %s OK\n" % (n, total, path)


def failed(n, total, path, code):
    return "QuillMark %d/%d: %s FAILED %x\n" % (n, total, path, code)


def ex2(path, url=None):
    """A SignerSignEx2 call for one file, with or without a timestamp URL."""
    if url is None:
        return ["SignerSignEx2", 'file.name="%s"' % path, "tsflags=2", "oid=null", "url=null"]
    return ["SignerSignEx2", 'file.name="%s"' % path, "tsflags=2", "oid=" + OID,
            'url="%s"' % url]


# The cbSize of each signing record, by the layout the program was built
# for: the 32-bit one (the 32-bit Windows program and the Linux build) or the
# natural 64-bit one (the 64-bit Windows program). "{size:NAME}" in a text
# stands for the size of the target's layout.
RECORD_SIZES = {
    32: dict(file=12, subject=16, store=16, cert=16, authcode=20, sig=24),
    64: dict(file=24, subject=32, store=32, cert=24, authcode=32, sig=40),
}

FULL_EX2_RECORD = [
    "SignerSignEx2", "flags=0 ", "subject.cbSize={size:subject} ", "subject.index=0",
    "subject.choice=1", "file.cbSize={size:file} ", 'file.name="a.exe"', "file.hFile=null",
    "cert.cbSize={size:cert} ", "cert.choice=2", "cert.hwnd=null",
    "store.cbSize={size:store} ", "store.policy=8", "store.hCertStore=null",
    "store.cert.sha1={sha1:signer-ec}", "sig.cbSize={size:sig} ", "sig.alg=800c",
    "sig.attrChoice=1", "sig.auth=null", "sig.unauth=null", "authcode.cbSize={size:authcode} ",
    "authcode.commercial=0", "authcode.individual=1", "authcode.name=null", "authcode.info=null",
    "provider=null", "tsflags=2", "oid=" + OID, 'url="http://ts.example/"', "request=null",
    "sip=null", "context=null", "policy=null", "reserved=null"]

LONG_NAME = "n" * 240 + ".exe"
LONG_ID = "x" * 300

CASES = [
    # ---- entry and options ----------------------------------------------
    dict(name="no_arguments", args=[], stdout=USAGE, status=1, calls=[]),
    dict(name="invalid_option", args=["/x", "a.exe"],
         stdout="Error: invalid paramter /x\n" + USAGE, status=1, calls=[]),
    dict(name="invalid_option_after_files_stops_all", args=["/n", EC, "a.exe", "-Quiet"],
         files={"a.exe": ""}, stdout="Error: invalid paramter -Quiet\n" + USAGE, status=1,
         calls=[]),
    dict(name="lone_dash_is_invalid", args=["-"], stdout="Error: invalid paramter -\n" + USAGE,
         status=1),
    dict(name="lone_slash_is_invalid", args=["/n", EC, "/"],
         stdout="Error: invalid paramter /\n" + USAGE, status=1),
    dict(name="n_as_last_argument_without_settings", args=["a.exe", "/n"], stdout=NO_CERT,
         status=1, calls=[]),
    dict(name="no_identifier_anywhere", args=["/v", "a.exe"],
         stdout="Add file: a.exe\n" + NO_CERT, status=1, calls=[]),
    dict(name="option_letter_folded", args=["/N", EC, "a.exe"], stdout=ok(1, 1, "a.exe"),
         status=0, calls=[ex2("a.exe") + ["store.cert.sha1={sha1:signer-ec}"]]),
    dict(name="text_glued_to_option_ignored", args=["-nFoo", EC, "-Verbose", "a.exe"],
         stdout="Add file: a.exe\n  CertName: Example EC\n  TimeStampUrl: (null)\n" +
         ok(1, 1, "a.exe"), status=0, calls=[ex2("a.exe")]),
    dict(name="n_takes_next_argument_whatever_it_is", args=["/n", "/v", "a.exe"],
         stdout=NOT_FOUND, status=1, calls=[]),
    dict(name="t_as_last_argument_means_none", args=["/v", "/n", EC, "a.exe", "/t"],
         stdout="Add file: a.exe\n  CertName: Example EC\n  TimeStampUrl: (null)\n" +
         ok(1, 1, "a.exe"), status=0, calls=[ex2("a.exe")]),
    dict(name="verbose_applies_from_its_place", args=["/n", EC, "a.exe", "/v", "b.exe"],
         stdout="Add file: b.exe\n  CertName: Example EC\n  TimeStampUrl: (null)\n" +
         ok(1, 2, "a.exe") + ok(2, 2, "b.exe"), status=0, calls=[ex2("a.exe"), ex2("b.exe")]),
    dict(name="repeated_options_and_files", args=["/n", "Other", "/t", "http://a/", "/n", EC,
                                                  "/t", "http://b/", "a.exe", "a.exe"],
         stdout=ok(1, 2, "a.exe") + ok(2, 2, "a.exe"), status=0,
         calls=[ex2("a.exe", "http://b/") + ["store.cert.sha1={sha1:signer-ec}"],
                ex2("a.exe", "http://b/")]),
    dict(name="only_options_no_file", args=["/n", EC], stdout="", status=1, calls=[]),
    dict(name="empty_argument_is_a_file", args=["/n", EC, ""], stdout=ok(1, 1, ""), status=0,
         calls=[['file.name=""']]),
    dict(name="empty_identifier_skips_settings", args=["/v", "/n", "", "a.exe"],
         ini="[QUILLMARK]\nCertName=Other Corp\nTimeStampUrl=http://ini/\n",
         stdout="Add file: a.exe\n  CertName: \n  TimeStampUrl: (null)\n" + ok(1, 1, "a.exe"),
         status=0, calls=[ex2("a.exe")]),
    dict(name="empty_url_counts_as_given", args=["/n", EC, "/t", "", "a.exe"],
         stdout=ok(1, 1, "a.exe"), status=0, calls=[ex2("a.exe", "")]),
    dict(name="full_request_records", args=["/n", EC, "/t", "http://ts.example/", "a.exe"],
         stdout=ok(1, 1, "a.exe"), status=0, calls=[FULL_EX2_RECORD]),

    # ---- absolute paths and the end of options -------------------------------
    # On Linux an argument that starts with '/' and holds another '/' is a
    # path, and "--" ends the options; Windows reads both as options.
    dict(name="absolute_path_is_a_file", only="native", args=["/n", EC, "/srv/build/app.exe"],
         stdout=ok(1, 1, "/srv/build/app.exe"), status=0, calls=[ex2("/srv/build/app.exe")]),
    dict(name="absolute_path_under_t_is_a_file", only="native",
         args=["/n", EC, "/tools/out/app.exe"], stdout=ok(1, 1, "/tools/out/app.exe"), status=0,
         calls=[ex2("/tools/out/app.exe")]),
    dict(name="absolute_path_does_not_take_the_next", only="native",
         args=["/n", EC, "/tools/a.exe", "b.exe"],
         stdout=ok(1, 2, "/tools/a.exe") + ok(2, 2, "b.exe"), status=0,
         calls=[ex2("/tools/a.exe"), ex2("b.exe")]),
    dict(name="slash_options_next_to_absolute_paths", only="native",
         args=["/verbose", "/N", EC, "{work}/a.exe", "-t", "/ts/x"],
         stdout="Add file: {work}/a.exe\n  CertName: Example EC\n  TimeStampUrl: /ts/x\n" +
         ok(1, 1, "{work}/a.exe"), status=0, calls=[ex2("{work}/a.exe", "/ts/x")]),
    dict(name="end_of_options", only="native", args=["/n", EC, "--", "-a.exe", "/v", "--", "/n"],
         stdout=ok(1, 4, "-a.exe") + ok(2, 4, "/v") + ok(3, 4, "--") + ok(4, 4, "/n"), status=0,
         calls=[ex2("-a.exe"), ex2("/v"), ex2("--"), ex2("/n")]),
    dict(name="dash_option_holding_slash_is_invalid", args=["/n", EC, "-x/y", "a.exe"],
         stdout="Error: invalid paramter -x/y\n" + USAGE, status=1, calls=[]),
    dict(name="slash_path_is_an_option_on_windows", only="wine", args=["/n", EC, "/x/y", "a.exe"],
         stdout="Error: invalid paramter /x/y\n" + USAGE, status=1, calls=[]),
    dict(name="double_dash_is_an_option_on_windows", only="wine",
         args=["/n", EC, "--", "a.exe"], stdout="Error: invalid paramter --\n" + USAGE, status=1,
         calls=[]),
    dict(name="real_absolute_paths_signed", only="native", library="real",
         args=["/n", "Example Ltd Code", "{work}/build/app.exe", "{work}/b.exe"],
         files={"build/app.exe": PE32, "b.exe": PE64},
         stdout=ok(1, 2, "{work}/build/app.exe") + ok(2, 2, "{work}/b.exe"), status=0,
         checks=[verified("build/app.exe", "b.exe")]),
    dict(name="real_absolute_pattern", only="native", library="real",
         args=["/v", "/n", EC, "{work}/bin/*.exe"],
         files={"bin/a.exe": PE32, "bin/b.exe": PE64, "bin/c.txt": "text"}, dirs=["bin/d.exe"],
         stdout="Adding {work}/bin/*.exe:\n  Add file: {work}/bin/a.exe\n"
                "  Add file: {work}/bin/b.exe\n  CertName: Example EC\n  TimeStampUrl: (null)\n" +
         ok(1, 2, "{work}/bin/a.exe") + ok(2, 2, "{work}/bin/b.exe"), status=0,
         checks=[verified("bin/a.exe", "bin/b.exe")]),
    dict(name="real_absolute_path_fails_for_its_own_reason", only="native", library="real",
         args=["/n", EC, "/tools-quillmark-absent/out/app.exe", "b.exe"], files={"b.exe": PE32},
         stdout=failed(1, 2, "/tools-quillmark-absent/out/app.exe", 0x80070003),
         status=0x80070003, checks=[unchanged(("b.exe", PE32))]),
    dict(name="real_after_end_of_options", only="native", library="real",
         args=["/n", EC, "--", "-a.exe"], files={"-a.exe": PE32}, stdout=ok(1, 1, "-a.exe"),
         status=0, checks=[verified("-a.exe")]),

    # ---- settings file ----------------------------------------------------
    dict(name="settings_not_read_when_n_given", args=["/v", "/n", EC, "a.exe"],
         ini="[QUILLMARK]\nCertName=Other Corp\nTimeStampUrl=http://ini/\n",
         stdout="Add file: a.exe\n  CertName: Example EC\n  TimeStampUrl: (null)\n" +
         ok(1, 1, "a.exe"), status=0, calls=[ex2("a.exe")]),
    dict(name="settings_url_replaces_t", args=["/v", "/t", "http://cmdline/", "a.exe"],
         ini="[QUILLMARK]\nCertName=Example EC\nTimeStampUrl=http://ini/\n",
         stdout="Add file: a.exe\n  CertName: Example EC\n  TimeStampUrl: http://ini/\n" +
         ok(1, 1, "a.exe"), status=0, calls=[ex2("a.exe", "http://ini/")]),
    dict(name="settings_name_only_keeps_t", args=["/t", "http://cmdline/", "a.exe"],
         ini="[QUILLMARK]\nCertName=Example EC\n", stdout=ok(1, 1, "a.exe"), status=0,
         calls=[ex2("a.exe", "http://cmdline/")]),
    dict(name="settings_without_cert_name", args=["/t", "http://cmdline/", "a.exe"],
         ini="[QUILLMARK]\nTimeStampUrl=http://ini/\n", stdout=NO_CERT, status=1, calls=[]),
    dict(name="settings_empty_cert_name", args=["a.exe"],
         ini="[QUILLMARK]\nCertName=\nTimeStampUrl=http://ini/\n", stdout=NO_CERT, status=1),
    dict(name="settings_other_section_only", args=["a.exe"],
         ini="[OTHER]\nCertName=Example EC\n", stdout=NO_CERT, status=1),
    dict(name="settings_value_cut_to_255", args=["/v", "a.exe"],
         ini="[QUILLMARK]\nCertName=" + LONG_ID + "\n",
         stdout="Add file: a.exe\n  CertName: " + LONG_ID[:255] +
         "\n  TimeStampUrl: (null)\n" + NOT_FOUND, status=1),
    dict(name="settings_beside_renamed_program", exe="signtool-ci", args=["a.exe"],
         ini="[QUILLMARK]\nCertName=Example EC\n", stdout=ok(1, 1, "a.exe"), status=0,
         calls=[ex2("a.exe") + ["store.cert.sha1={sha1:signer-ec}"]]),
    dict(name="settings_profile_syntax", args=["/v", "a.exe"],
         ini="; signing settings\n[other]\nCertName=Other Corp\n\n"
             "  [ quillmark ]  \r\n  certname  =  \"Example EC\"  \r\n"
             "CertName=Other Corp\r\nTIMESTAMPURL='http://ini/'\r\n",
         stdout="Add file: a.exe\n  CertName: Example EC\n  TimeStampUrl: http://ini/\n" +
         ok(1, 1, "a.exe"), status=0, calls=[ex2("a.exe", "http://ini/")]),
    dict(name="settings_utf16_with_bom", args=["/v", "a.exe"],
         ini=b"\xff\xfe" + "[QUILLMARK]\r\nCertName=Example EC\r\n".encode("utf-16-le"),
         stdout="Add file: a.exe\n  CertName: Example EC\n  TimeStampUrl: (null)\n" +
         ok(1, 1, "a.exe"), status=0),
    dict(name="settings_utf8_with_bom", args=["a.exe"],
         ini=b"\xef\xbb\xbf[QUILLMARK]\nCertName=Example EC\n", stdout=ok(1, 1, "a.exe"),
         status=0),
    dict(name="settings_binary_garbage", only="native", args=["a.exe"],
         ini=bytes(range(256)) * 64 + b"\n[QUILLMARK\x00]\nCertName\x00=x\n", stdout=NO_CERT,
         status=1),

    # ---- identifiers --------------------------------------------------------
    dict(name="thumbprint_upper_case", args=["/v", "/n", "{SHA1:signer-ec}", "a.exe"],
         stdout="Add file: a.exe\n  CertHash: {SHA1:signer-ec}\n  TimeStampUrl: (null)\n" +
         ok(1, 1, "a.exe"), status=0, calls=[["store.cert.sha1={sha1:signer-ec}"]]),
    dict(name="thumbprint_lower_case", args=["/n", "{sha1:other-rsa}", "a.exe"],
         stdout=ok(1, 1, "a.exe"), status=0, calls=[["store.cert.sha1={sha1:other-rsa}"]]),
    dict(name="thumbprint_of_no_certificate", args=["/v", "/n", "0123456789ABCDEFabcdef0123456789abcdef01",
                                                    "a.exe"],
         stdout="Add file: a.exe\n  CertHash: 0123456789ABCDEFabcdef0123456789abcdef01\n"
                "  TimeStampUrl: (null)\n" + NOT_FOUND, status=1, calls=[]),
    dict(name="identifier_39_digits_is_subject_text", args=["/v", "/n", "0123456789ABCDEFabcdef0123456789abcdef0"],
         stdout="  CertName: 0123456789ABCDEFabcdef0123456789abcdef0\n  TimeStampUrl: (null)\n" +
         NOT_FOUND, status=1),
    dict(name="identifier_41_digits_is_subject_text", args=["/v", "/n", "0123456789ABCDEFabcdef0123456789abcdef012"],
         stdout="  CertName: 0123456789ABCDEFabcdef0123456789abcdef012\n  TimeStampUrl: (null)\n" +
         NOT_FOUND, status=1),
    dict(name="identifier_40_with_g_is_subject_text", args=["/v", "/n", "g123456789ABCDEFabcdef0123456789abcdef01"],
         stdout="  CertName: g123456789ABCDEFabcdef0123456789abcdef01\n  TimeStampUrl: (null)\n" +
         NOT_FOUND, status=1),
    dict(name="subject_text_case_insensitive", args=["/n", "eXaMpLe ec SIGNING", "a.exe"],
         stdout=ok(1, 1, "a.exe"), status=0, calls=[["store.cert.sha1={sha1:signer-ec}"]]),
    dict(name="subject_text_spans_attributes", args=["/n", "US, Other Corp, Other", "a.exe"],
         stdout=ok(1, 1, "a.exe"), status=0, calls=[["store.cert.sha1={sha1:other-rsa}"]]),
    dict(name="ca_certificates_are_not_candidates", args=["/n", "Quillmark Test Intermediate",
                                                          "a.exe"],
         stdout=NOT_FOUND, status=1, calls=[]),
    dict(name="user_without_store", store="none", args=["/n", EC, "a.exe"], stdout=NOT_FOUND,
         status=1, calls=[]),
    dict(name="empty_store", store="empty", args=["/n", "", "a.exe"], stdout=NOT_FOUND,
         status=1, calls=[]),
    dict(name="corrupt_store", store="corrupt", only="native", args=["/n", EC, "a.exe"],
         stdout="CertOpenStore failed 1392\n", status=1, calls=[]),

    # ---- wildcards ------------------------------------------------------------
    dict(name="pattern_skips_directories", args=["/v", "/n", EC, "*.exe"],
         files={"a.exe": "", "b.exe": "", "note.txt": ""}, dirs=["c.exe"],
         stdout="Adding *.exe:\n  Add file: a.exe\n  Add file: b.exe\n"
                "  CertName: Example EC\n  TimeStampUrl: (null)\n" +
         ok(1, 2, "a.exe") + ok(2, 2, "b.exe"), status=0, calls=[ex2("a.exe"), ex2("b.exe")]),
    dict(name="pattern_in_subdirectory_slash", args=["/v", "/n", EC, "sub/*.dll"],
         files={"sub/x.dll": "", "sub/y.exe": "", "x.dll": ""},
         stdout="Adding sub/*.dll:\n  Add file: sub/x.dll\n"
                "  CertName: Example EC\n  TimeStampUrl: (null)\n" + ok(1, 1, "sub/x.dll"),
         status=0, calls=[ex2("sub/x.dll")]),
    dict(name="pattern_in_subdirectory_backslash", args=["/n", EC, "sub\\?.dll"],
         files={"sub/x.dll": "", "sub/yy.dll": ""}, stdout=ok(1, 1, "sub\\x.dll"), status=0,
         calls=[['file.name="sub\\x.dll"']]),
    dict(name="pattern_matching_nothing", args=["/v", "/n", EC, "nomatch*.xyz", "missing/*.exe"],
         stdout="Adding nomatch*.xyz:\nAdding missing/*.exe:\n"
                "  CertName: Example EC\n  TimeStampUrl: (null)\n", status=1, calls=[]),
    dict(name="pattern_and_plain_argument_both_listed", args=["/n", EC, "a.exe", "?.exe"],
         files={"a.exe": ""}, stdout=ok(1, 2, "a.exe") + ok(2, 2, "a.exe"), status=0),
    dict(name="pattern_includes_hidden_files", args=["/n", EC, "*"],
         files={".hidden": "", "plain": ""}, stdout=ok(1, 2, ".hidden") + ok(2, 2, "plain"),
         status=0),
    dict(name="pattern_letters_match_any_case", args=["/n", EC, "*.EXE"],
         files={"App.exe": ""}, stdout=ok(1, 1, "App.exe"), status=0),

    # ---- binding the signing library -----------------------------------------
    dict(name="library_missing", library="missing", args=["/n", EC, "a.exe"],
         stdout="Cannot load mssign32.dll, Error 126\n", status=1),
    dict(name="no_entry_points", library="none", args=["/n", EC, "a.exe"],
         stdout="No SignerSign, Error #127\n", status=1, calls=[]),
    dict(name="no_timestamp_entry_point", library="signonly", args=["/n", EC, "a.exe"],
         stdout="No SignerTimeStampEx2, Error #127\n", status=1, calls=[]),
    dict(name="fallback_sign_then_timestamp", library="fallback",
         args=["/n", EC, "/t", "http://ts/", "a.exe", "b.exe"],
         stdout=ok(1, 2, "a.exe") + ok(2, 2, "b.exe"), status=0,
         calls=[["SignerSign ", 'file.name="a.exe"', "url=null", "provider=null",
                 "sig.alg=800c", "store.policy=8", "subject.cbSize={size:subject} ",
                 "file.cbSize={size:file} ", "cert.cbSize={size:cert} ",
                 "store.cbSize={size:store} ", "sig.cbSize={size:sig} ",
                 "authcode.cbSize={size:authcode} "],
                ["SignerTimeStampEx2", "flags=2", 'file.name="a.exe"', 'url="http://ts/"',
                 "alg=800c", "request=null", "sip=null", "context=null",
                 "subject.cbSize={size:subject} ", "file.cbSize={size:file} "],
                ["SignerSign ", 'file.name="b.exe"'],
                ["SignerTimeStampEx2", 'file.name="b.exe"']]),
    dict(name="fallback_without_url_signs_only", library="fallback", args=["/n", EC, "a.exe"],
         stdout=ok(1, 1, "a.exe"), status=0, calls=[["SignerSign ", "url=null"]]),
    dict(name="fallback_empty_url_timestamps", library="fallback",
         args=["/n", EC, "/t", "", "a.exe"], stdout=ok(1, 1, "a.exe"), status=0,
         calls=[["SignerSign "], ["SignerTimeStampEx2", 'url=""']]),
    dict(name="fallback_timestamp_failure_ends_run", library="fallback",
         args=["/n", EC, "/t", "http://ts/", "a.exe", "b.exe"], results="0,0x80096005",
         stdout=failed(1, 2, "a.exe", 0x80096005), status=0x80096005,
         calls=[["SignerSign "], ["SignerTimeStampEx2"]]),
    dict(name="fallback_sign_failure_skips_timestamp", library="fallback",
         args=["/n", EC, "/t", "http://ts/", "a.exe"], results="0x800700c1",
         stdout=failed(1, 1, "a.exe", 0x800700C1), status=0x800700C1, calls=[["SignerSign "]]),

    # ---- the signing loop --------------------------------------------------------
    dict(name="second_of_three_fails", args=["/n", EC, "a.exe", "b.exe", "c.exe"],
         results="0,0x80070005", stdout=ok(1, 3, "a.exe") + failed(2, 3, "b.exe", 0x80070005),
         status=0x80070005, calls=[ex2("a.exe"), ex2("b.exe")]),
    dict(name="failure_code_with_zero_low_byte", args=["/n", EC, "a.exe"], results="0x800b0100",
         stdout=failed(1, 1, "a.exe", 0x800B0100), status=0x800B0100),
    dict(name="non_ascii_paths", args=["/v", "/n", EC, "caf\u00e9.exe", "\u65e5\u672c.exe"],
         stdout="Add file: caf\xe9.exe\nAdd file: ??.exe\n  CertName: Example EC\n"
                "  TimeStampUrl: (null)\n" + ok(1, 2, "caf\xe9.exe") + ok(2, 2, "??.exe"),
         status=0, calls=[['file.name="caf\u00e9.exe"'], ['file.name="\u65e5\u672c.exe"']]),
    dict(name="name_that_is_not_utf8", only="native", args=["/n", EC, b"\xff\xfe.exe", b"*.bin"],
         files={b"\x80.bin": ""}, stdout=ok(1, 2, "??.exe") + ok(2, 2, "?.bin"), status=0,
         calls=[['file.name="\\udcff\\udcfe.exe"'], ['file.name="\\udc80.bin"']]),
    dict(name="long_arguments", args=["/n", LONG_ID, LONG_NAME], stdout=NOT_FOUND, status=1),
    dict(name="long_names_through_pattern", args=["/n", EC, "n*.exe"],
         files={LONG_NAME: ""}, stdout=ok(1, 1, LONG_NAME), status=0),

    dict(name="killed_run_keeps_finished_lines", args=["/v", "/n", EC, "a.exe", "b.exe", "c.exe"],
         env={"QM_DOUBLE_KILL_AT": "3"},
         stdout="Add file: a.exe\nAdd file: b.exe\nAdd file: c.exe\n  CertName: Example EC\n"
                "  TimeStampUrl: (null)\n" + ok(1, 3, "a.exe") + ok(2, 3, "b.exe"), status=99,
         calls=[ex2("a.exe"), ex2("b.exe")]),

    # ---- console ---------------------------------------------------------------------
    dict(name="terminal_shows_colours_and_restores", only="native", tty=True,
         args=["/n", EC, "a.exe", "b.exe"], results="0,0x80070002",
         env={"QM_DOUBLE_MARK": "1"},
         stdout="QuillMark 1/2: a.exe<SignerSignEx2>\x1b[0;92m OK\n\x1b[0m"
                "QuillMark 2/2: b.exe<SignerSignEx2>\x1b[0;91m FAILED 80070002\n\x1b[0m",
         status=0x80070002),
    dict(name="terminal_missing_entry_in_red", only="native", tty=True, library="signonly",
         args=["/n", EC, "a.exe"],
         stdout="\x1b[0;91mNo SignerTimeStampEx2, Error #127\n\x1b[0m", status=1),
    dict(name="terminal_without_colour_when_no_color", only="native", tty=True,
         args=["/n", EC, "a.exe"], env={"NO_COLOR": "1"}, stdout=ok(1, 1, "a.exe"), status=0),

    # ---- signing for real (the POSIX signing library) -----------------------------
    dict(name="real_sign_pe32_and_pe64_through_pattern", only="native", library="real",
         args=["/n", "Example Ltd Code", "bin\\*.exe"], files={"bin/a.exe": PE32, "bin/b.exe": PE64},
         stdout=ok(1, 2, "bin\\a.exe") + ok(2, 2, "bin\\b.exe"), status=0,
         checks=[verified("bin/a.exe", "bin/b.exe")]),
    dict(name="real_ecdsa_by_thumbprint", only="native", library="real",
         args=["/n", "{sha1:signer-ec}", "a.exe"], files={"a.exe": PE64},
         stdout=ok(1, 1, "a.exe"), status=0, checks=[verified("a.exe")]),
    dict(name="real_sign_twice_replaces_signature", only="native", library="real",
         args=["/n", EC, "a.exe", "/n", "Example Ltd Code", "a.exe"], files={"a.exe": PE32},
         stdout=ok(1, 2, "a.exe") + ok(2, 2, "a.exe"), status=0, checks=[verified("a.exe")]),
    dict(name="real_timestamped", only="native", library="real", tsa="ok",
         args=["/n", EC, "/t", "{tsa}", "a.exe", "b.exe"], files={"a.exe": PE32, "b.exe": PE64},
         stdout=ok(1, 2, "a.exe") + ok(2, 2, "b.exe"), status=0,
         checks=[verified("a.exe", "b.exe", timestamp=True)]),
    dict(name="real_timestamp_rejected_leaves_file", only="native", library="real",
         tsa="reject", args=["/n", EC, "/t", "{tsa}", "a.exe"], files={"a.exe": PE32},
         stdout=failed(1, 1, "a.exe", 0x80096005), status=0x80096005,
         checks=[unchanged(("a.exe", PE32))]),
    # A token whose TSA certificate was damaged in transit: its own signature
    # still verifies, only the certificate's does not. Nothing is written.
    dict(name="real_timestamp_token_that_does_not_verify", only="native", library="real",
         tsa="bad-tsa-cert", args=["/n", EC, "/t", "{tsa}", "a.exe", "b.exe"],
         files={"a.exe": PE32, "b.exe": PE64},
         stdout=failed(1, 2, "a.exe", 0x80096005), status=0x80096005,
         checks=[unchanged(("a.exe", PE32), ("b.exe", PE64))]),
    # Signing one name of a hard-linked file would split it from the others.
    dict(name="real_hard_linked_file_is_refused", only="native", library="real",
         args=["/n", EC, "a.exe", "b.exe"], files={"a.exe": PE32, "b.exe": PE64},
         links={"a-link.exe": "a.exe"},
         stdout=failed(1, 2, "a.exe", 0x80070032), status=0x80070032,
         checks=[unchanged(("a.exe", PE32), ("a-link.exe", PE32), ("b.exe", PE64))]),
    dict(name="real_timestamp_redirect_loop", only="native", library="real",
         tsa="redirect-loop", args=["/n", EC, "/t", "{tsa}", "a.exe"], files={"a.exe": PE32},
         stdout=failed(1, 1, "a.exe", 0x80072F7C), status=0x80072F7C,
         checks=[unchanged(("a.exe", PE32))]),
    dict(name="real_not_a_program_stops_the_run", only="native", library="real",
         args=["/n", EC, "a.exe", "notes.txt", "c.exe"],
         files={"a.exe": PE32, "notes.txt": "plain text\n", "c.exe": PE64},
         stdout=ok(1, 3, "a.exe") + failed(2, 3, "notes.txt", 0x800B0003), status=0x800B0003,
         checks=[verified("a.exe"), unchanged(("notes.txt", "plain text\n"), ("c.exe", PE64))]),
    dict(name="real_missing_file", only="native", library="real", args=["/n", EC, "gone.exe"],
         stdout=failed(1, 1, "gone.exe", 0x80070002), status=0x80070002),
    dict(name="real_name_that_is_not_utf8", only="native", library="real",
         args=["/n", EC, b"\xff.exe"], files={b"\xff.exe": PE32},
         stdout=ok(1, 1, "?.exe"), status=0, checks=[verified(b"\xff.exe")]),
    dict(name="real_certificate_without_key", only="native", library="real", store="nokey",
         args=["/n", "Example Ltd", "a.exe"], files={"a.exe": PE32},
         stdout=failed(1, 1, "a.exe", 0x8009200B), status=0x8009200B,
         checks=[unchanged(("a.exe", PE32))]),
    dict(name="real_key_behind_password_fails_fast", only="native", library="real",
         store="password", args=["/n", "Example Ltd", "a.exe"], files={"a.exe": PE32},
         stdout=failed(1, 1, "a.exe", 0x8010006F), status=0x8010006F,
         checks=[unchanged(("a.exe", PE32))]),

    # ---- keys behind a PIN: a SoftHSM2 token, a database with a password ---------
    dict(name="token_pin_from_file", only="native", library="real", store="token",
         args=["/n", TOKEN_RSA, "a.exe", "b.exe"], files={"a.exe": PE32, "b.exe": PE64, "pin": "1234\n"},
         env={"QUILLMARK_PIN_FILE": "pin"}, stdout=ok(1, 2, "a.exe") + ok(2, 2, "b.exe"), status=0,
         checks=[verified("a.exe", "b.exe")]),
    dict(name="token_pin_file_comes_before_environment", only="native", library="real",
         store="token", args=["/n", "{sha1:token-ec}", "a.exe"], files={"a.exe": PE64, "pin": "1234\r\n"},
         env={"QUILLMARK_PIN_FILE": "pin", "QUILLMARK_PIN": "9999"}, stdout=ok(1, 1, "a.exe"),
         status=0, checks=[verified("a.exe")]),
    dict(name="token_missing_pin_file", only="native", library="real", store="token",
         args=["/n", TOKEN_RSA, "a.exe"], files={"a.exe": PE32}, env={"QUILLMARK_PIN_FILE": "gone"},
         stdout=failed(1, 1, "a.exe", 0x80070002), status=0x80070002,
         checks=[unchanged(("a.exe", PE32))]),
    dict(name="token_ecdsa_pin_from_environment", only="native", library="real", store="token",
         args=["/n", "{SHA1:token-ec}", "a.exe"], files={"a.exe": PE32}, env=TOKEN_PIN,
         stdout=ok(1, 1, "a.exe"), status=0, checks=[verified("a.exe")]),
    dict(name="token_pin_prompt_on_terminal_once_for_twenty_files", only="native", library="real",
         store="token", tty=True, tty_answers=["1234"], env={"NO_COLOR": "1"},
         args=["/n", TOKEN_RSA, "f*.exe"], files={"f%02d.exe" % n: PE32 for n in range(1, 21)},
         stdout="QuillMark 1/20: f01.exe" + pin_prompt("Token RSA Signer") + " OK\n" +
                "".join(ok(n, 20, "f%02d.exe" % n) for n in range(2, 21)),
         status=0, checks=[verified(*["f%02d.exe" % n for n in range(1, 21)])]),
    dict(name="token_without_pin_or_terminal_fails_at_once", only="native", library="real",
         store="token", args=["/n", TOKEN_RSA, "a.exe", "b.exe"], files={"a.exe": PE32, "b.exe": PE64},
         stdout=failed(1, 2, "a.exe", 0x8010006F), status=0x8010006F,
         checks=[unchanged(("a.exe", PE32), ("b.exe", PE64))]),
    dict(name="token_wrong_pin_tried_once", only="native", library="real", store="token",
         args=["/n", TOKEN_RSA, "a.exe"], files={"a.exe": PE32}, env={"QUILLMARK_PIN": "4321"},
         stdout=failed(1, 1, "a.exe", 0x8010006B), status=0x8010006B,
         checks=[unchanged(("a.exe", PE32)), then_signs_with(TOKEN_PIN, "a.exe")]),
    dict(name="token_key_timestamped", only="native", library="real", store="token", tsa="ok",
         args=["/n", TOKEN_RSA, "/t", "{tsa}", "a.exe"], files={"a.exe": PE64}, env=TOKEN_PIN,
         stdout=ok(1, 1, "a.exe"), status=0, checks=[verified("a.exe", timestamp=True)]),
    dict(name="token_chain_certificate_is_not_a_signer", only="native", library="real",
         store="token", args=["/n", "Quillmark Test Intermediate", "a.exe"], files={"a.exe": PE32},
         env=TOKEN_PIN, stdout=NOT_FOUND, status=1),
    dict(name="password_database_pin_from_environment", only="native", library="real",
         store="password", args=["/n", "Example Ltd", "a.exe"], files={"a.exe": PE32},
         env={"QUILLMARK_PIN": "s3cret"}, stdout=ok(1, 1, "a.exe"), status=0,
         checks=[verified("a.exe")]),
    dict(name="password_database_wrong_pin", only="native", library="real",
         store="password", args=["/n", "Example Ltd", "a.exe"], files={"a.exe": PE32},
         env={"QUILLMARK_PIN": "secret"}, stdout=failed(1, 1, "a.exe", 0x8010006B),
         status=0x8010006B, checks=[unchanged(("a.exe", PE32))]),
    dict(name="self_signed_ca_signer_by_subject", only="native", library="real",
         store="selfsigned", args=["/n", "self signed developer", "a.exe"], files={"a.exe": PE32},
         stdout=ok(1, 1, "a.exe"), status=0, checks=[verified_self_signed("a.exe")]),
    dict(name="self_signed_ca_signer_by_thumbprint", only="native", library="real",
         store="selfsigned", args=["/n", "{sha1:selfsigned}", "a.exe"], files={"a.exe": PE64},
         stdout=ok(1, 1, "a.exe"), status=0, checks=[verified_self_signed("a.exe")]),
    # Letters beyond ASCII fold too, both ways; an ASCII letter does not
    # stand for an accented one.
    dict(name="subject_text_case_insensitive_beyond_ascii", only="native", library="real",
         store="unicode", args=["/n", "überall ltd, æRØ üNÏCÖDÉ", "a.exe"],
         files={"a.exe": PE32}, stdout=ok(1, 1, "a.exe"), status=0),
    dict(name="subject_text_ascii_is_not_accented", only="native", library="real",
         store="unicode", args=["/n", "Unicode", "a.exe"], files={"a.exe": PE32},
         stdout=NOT_FOUND, status=1, checks=[unchanged(("a.exe", PE32))]),
    dict(name="pfx_chain_certificate_is_not_a_signer", only="native", library="real",
         args=["/n", "Quillmark Test Root", "a.exe"], files={"a.exe": PE32},
         stdout=NOT_FOUND, status=1),
    dict(name="store_file_that_is_a_pipe_cert9", only="native", library="real", store="fifo-cert",
         args=["/n", "Example Ltd", "a.exe"], files={"a.exe": PE32},
         stdout="CertOpenStore failed 1392\n", status=1, checks=[unchanged(("a.exe", PE32))]),
    dict(name="store_file_that_is_a_pipe_key4", only="native", library="real", store="fifo-key",
         args=["/n", "Example Ltd", "a.exe"], files={"a.exe": PE32},
         stdout="CertOpenStore failed 1392\n", status=1, checks=[unchanged(("a.exe", PE32))]),

    # ---- the Windows build under Wine --------------------------------------------
    dict(name="wine_own_library_lacks_timestamp_entry", only="wine", library="real",
         args=["/n", EC, "a.exe"], stdout="No SignerTimeStampEx2, Error #127\n", status=1),
    dict(name="library_beside_program_is_not_loaded", only="wine", library="real",
         planted="all", args=["/n", EC, "a.exe"],
         stdout="No SignerTimeStampEx2, Error #127\n", status=1, calls=[]),
    dict(name="library_only_beside_program_is_missing", only="wine", library="missing",
         planted="all", args=["/n", EC, "a.exe"],
         stdout="Cannot load mssign32.dll, Error 126\n", status=1, calls=[]),
    dict(name="console_colours_on_blue", only="wine", console=0x1F,
         args=["/n", EC, "a.exe", "b.exe"], results="0,0x80070002",
         stdout="[0x1f]QuillMark 1/2: a.exe[0x1a] OK\n"
                "[0x1f]QuillMark 2/2: b.exe[0x1c] FAILED 80070002\nfinal 0x001f\n",
         status=0x80070002),
    dict(name="console_keeps_background_and_high_bits", only="wine", console=0x84E,
         args=["/n", EC, "a.exe"],
         stdout="[0x84e]QuillMark 1/1: a.exe[0x84a] OK\nfinal 0x084e\n", status=0),
    dict(name="console_missing_entry_in_red", only="wine", console=0x70, library="signonly",
         args=["/n", EC, "a.exe"],
         stdout="[0x7c]No SignerTimeStampEx2, Error #127\nfinal 0x0070\n", status=1),
]
