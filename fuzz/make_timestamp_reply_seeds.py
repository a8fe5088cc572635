#!/usr/bin/env python3
"""Writes the seed corpus for the timestamp reply fuzzer: what the loopback
timestamp server answers, in each of its modes, to the fixed query the
fuzz target checks replies against, plus a few hand-made replies. Needs a
build (for tools/tsa_server) and openssl:
    fuzz/make_timestamp_reply_seeds.py BUILD_DIR
The files go to corpus/timestamp_reply beside this script. Crashers found
later are added there under their own names and are not rewritten here."""
import hashlib
import os
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "timestamp_reply")
# Must match timestamp_reply_fuzz.cpp.
IMPRINT_OF = b"quillmark timestamp fuzz seed"
NONCE = bytes([0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48])
MODES = ["ok", "mods", "wrong-nonce", "wrong-imprint", "bad-signature", "bad-signed-attrs",
         "bad-tstinfo", "bad-tsa-cert"]


def tlv(tag, content):
    n = len(content)
    if n < 0x80:
        length = bytes([n])
    else:
        b = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(b)]) + b
    return bytes([tag]) + length + content


def query():
    sha256 = tlv(0x06, bytes([0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01]))
    imprint = tlv(0x30, tlv(0x30, sha256 + b"\x05\x00") + tlv(0x04, hashlib.sha256(IMPRINT_OF).digest()))
    return tlv(0x30, tlv(0x02, b"\x01") + imprint + tlv(0x02, NONCE) + b"\x01\x01\xff")


def ask(server, pki, mode, body):
    p = subprocess.Popen([server, "--cert", os.path.join(pki, "tsa.pem"), "--key", os.path.join(pki, "tsa.key"),
                          "--chain", os.path.join(pki, "tsa-chain.pem"), "--mode", mode,
                          "--requests", "1", "--seconds", "20"], stdout=subprocess.PIPE)
    try:
        port = int(p.stdout.readline())
        request = urllib.request.Request("http://127.0.0.1:%d/" % port, data=body,
                                         headers={"Content-Type": "application/timestamp-query"})
        # The port is printed just before the server listens.
        for attempt in range(50):
            try:
                with urllib.request.urlopen(request, timeout=20) as reply:
                    return reply.read()
            except urllib.error.URLError:
                if attempt == 49:
                    raise
                time.sleep(0.1)
    finally:
        p.wait(timeout=30)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    server = os.path.join(sys.argv[1], "tools", "tsa_server")
    os.makedirs(OUT, exist_ok=True)
    body = query()
    with tempfile.TemporaryDirectory() as scratch:
        pki = os.path.join(scratch, "pki")
        subprocess.run(["bash", os.path.join(HERE, "..", "tests", "fixtures", "make_pki.sh"), pki],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for mode in MODES:
            with open(os.path.join(OUT, mode), "wb") as f:
                f.write(ask(server, pki, mode, body))
    hand_made = {
        "empty": b"",
        "rejection": tlv(0x30, tlv(0x30, tlv(0x02, b"\x02"))),
        "granted_without_token": tlv(0x30, tlv(0x30, tlv(0x02, b"\x00"))),
        "the_query_itself": body,
    }
    for name, data in hand_made.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
