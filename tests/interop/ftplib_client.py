"""Python's ftplib against the server, one scenario per run.

Usage: ftplib_client.py HOST PORT SCENARIO [ARGUMENT...]

Each scenario drives one session with ftplib's public interface, checks what
ftplib returns, and exits 0 after printing "ok"; a failed check raises, so the
traceback on standard error and a non-zero exit status reach the test. The test
(interop/ftplib_test.cpp) set up the server's files and checks the server's side.
"""

import ftplib
import io
import sys
import threading

TIMEOUT = 10


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def connect(host, port):
    ftp = ftplib.FTP(timeout=TIMEOUT)
    ftp.connect(host, int(port))
    return ftp


def listings(ftp):
    """Anonymous: MLSD facts, SIZE in both types, MDTM, NLST, ASCII RETR."""
    ftp.login()  # anonymous
    facts = dict(ftp.mlsd("pub", facts=["type", "size", "modify", "perm", "unique"]))
    names = sorted(name for name, f in facts.items() if f.get("type") not in ("cdir", "pdir"))
    check(names == ["docs", "name with blanks.txt", "small.txt"], "MLSD names: %r" % names)
    small = facts["small.txt"]
    check(small["type"] == "file", "type of small.txt: %r" % small)
    check(small["size"] == "18", "size of small.txt: %r" % small)
    check(small["modify"] == "20231001120000", "modify of small.txt: %r" % small)
    check("r" in small["perm"], "perm of small.txt: %r" % small)
    check(small.get("unique"), "unique of small.txt: %r" % small)
    check(facts["docs"]["type"] == "dir", "type of docs: %r" % facts["docs"])
    check(facts["name with blanks.txt"]["size"] == "7", "blanks: %r" % facts["name with blanks.txt"])
    # A type=cdir entry for the directory itself, as MLSD sends one.
    check(any(f.get("type") == "cdir" for f in facts.values()), "no cdir entry: %r" % facts)

    # SIZE counts what would be sent: in ASCII type each LF goes out as CR LF.
    check(ftp.size("pub/small.txt") == 20, "ASCII SIZE")
    ftp.voidcmd("TYPE I")
    check(ftp.size("pub/small.txt") == 18, "binary SIZE")
    check(ftp.sendcmd("MDTM pub/small.txt") == "213 20231001120000", "MDTM")

    names = sorted(name.rsplit("/", 1)[-1] for name in ftp.nlst("pub"))
    check(names == ["docs", "name with blanks.txt", "small.txt"], "NLST: %r" % names)

    lines = []
    ftp.retrlines("RETR pub/small.txt", lines.append)
    check(lines == ["line one", "line two"], "retrlines: %r" % lines)
    # On the wire an ASCII transfer has CR LF line ends.
    ftp.voidcmd("TYPE A")
    with ftp.transfercmd("RETR pub/small.txt") as data:
        raw = b""
        while True:
            block = data.recv(65536)
            if not block:
                break
            raw += block
    ftp.voidresp()
    check(raw == b"line one\r\nline two\r\n", "ASCII bytes: %r" % raw)
    ftp.quit()


def transfers(ftp, source):
    """bob: storlines and storbinary uploads, and the binary file read back."""
    ftp.login("bob", "secret")
    # storlines sends every line with CR LF; the server stores LF.
    ftp.storlines("STOR ascii.txt", io.BytesIO(b"first\nsecond\r\nthird\n"))
    with open(source, "rb") as f:
        data = f.read()
    ftp.storbinary("STOR binary.bin", io.BytesIO(data), blocksize=8192)
    back = io.BytesIO()
    ftp.retrbinary("RETR binary.bin", back.write)
    check(back.getvalue() == data, "binary round trip: %d of %d bytes" % (len(back.getvalue()), len(data)))
    ftp.voidcmd("TYPE I")
    check(ftp.size("binary.bin") == len(data), "SIZE after upload")
    lines = []
    ftp.retrlines("RETR ascii.txt", lines.append)
    check(lines == ["first", "second", "third"], "retrlines of the upload: %r" % lines)
    ftp.quit()


def abort(ftp, size):
    """Anonymous: ABOR as urgent data in the middle of a slow download."""
    ftp.login()
    ftp.voidcmd("TYPE I")
    data = ftp.transfercmd("RETR pub/huge.bin")
    first = data.recv(8192)
    check(first, "no data before the abort")
    received = [len(first)]

    # Keep reading, so the server is never stuck in a write and sees the abort.
    def drain():
        while True:
            block = data.recv(65536)
            if not block:
                return
            received[0] += len(block)

    reader = threading.Thread(target=drain)
    reader.start()
    reply = ftp.abort()
    check(reply == "426 Transfer aborted. Data connection closed.", "abort reply: %r" % reply)
    reply = ftp.getresp()
    check(reply == "226 Abort successful", "after 426: %r" % reply)
    reader.join(TIMEOUT)
    check(not reader.is_alive(), "the data connection stayed open")
    data.close()
    check(received[0] < int(size), "the whole file came: %d bytes" % received[0])
    # The session goes on.
    check(ftp.voidcmd("NOOP") == "200 NOOP command successful.", "NOOP after ABOR")
    check(ftp.size("pub/huge.bin") == int(size), "SIZE after ABOR")
    ftp.quit()


SCENARIOS = {"listings": listings, "transfers": transfers, "abort": abort}


def main():
    host, port, scenario = sys.argv[1:4]
    ftp = connect(host, port)
    SCENARIOS[scenario](ftp, *sys.argv[4:])
    print("ok")


if __name__ == "__main__":
    main()
