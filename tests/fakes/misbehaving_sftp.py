# An SFTP server (version 3) that misbehaves in ways OpenSSH's cannot be made to, run by
# the test sshd as the forced command on its second port (tests/servers/sshd-start.sh).
# Speaks SFTP on stdin/stdout, with files in the login folder:
#  - it announces a maximum write length of 1 byte (limits@openssh.com);
#  - opening a name that contains "stray" answers with a stream of replies to requests
#    that were never sent, and never with the handle;
#  - closing a file whose name contains "tiny" writes the number of WRITE requests it
#    took to <name>.writes;
#  - it does not offer posix-rename@openssh.com: RENAME never replaces a file;
#  - in a folder holding "cut-after-renames" (a number n), the session ends at the
#    (n+1)-th RENAME there, before doing it, as a dropped connection would;
#  - a file whose name contains "one-byte-short" has lost its last byte when FSTAT asks
#    (every WRITE was acknowledged), as on a server whose disk filled at the end.
import os
import struct
import sys

inp = sys.stdin.buffer
out = sys.stdout.buffer

STATUS, HANDLE, EXTENDED_REPLY = 101, 102, 201


def read_exact(n):
    data = b""
    while len(data) < n:
        chunk = inp.read(n - len(data))
        if not chunk:
            sys.exit(0)
        data += chunk
    return data


def send(kind, body):
    out.write(struct.pack(">IB", len(body) + 1, kind) + body)
    out.flush()


def string(b):
    return struct.pack(">I", len(b)) + b


def status(rid, code, text=b""):
    send(STATUS, struct.pack(">II", rid, code) + string(text) + string(b""))


class Reader:
    def __init__(self, data):
        self.data, self.at = data, 0

    def u32(self):
        (v,) = struct.unpack_from(">I", self.data, self.at)
        self.at += 4
        return v

    def u64(self):
        (v,) = struct.unpack_from(">Q", self.data, self.at)
        self.at += 8
        return v

    def string(self):
        n = self.u32()
        self.at += n
        return self.data[self.at - n:self.at]


files = {}  # handle -> [fd, name, writes]
renames = [0]


def result(rid, call, *args):
    try:
        call(*args)
        status(rid, 0)
    except FileNotFoundError:
        status(rid, 2)
    except OSError as e:
        status(rid, 4, e.strerror.encode())


def serve(kind, r):
    if kind == 1:  # INIT
        send(2, struct.pack(">I", 3) + string(b"limits@openssh.com") + string(b"1"))
        return
    rid = r.u32()
    if kind == 200 and r.string() == b"limits@openssh.com":
        send(EXTENDED_REPLY, struct.pack(">IQQQQ", rid, 256 * 1024, 1, 1, 0))
    elif kind == 3:  # OPEN
        name = r.string()
        if b"stray" in name:
            for i in range(100000):
                status(rid + 1000000 + i, 0)
            return
        try:
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        except OSError as e:
            status(rid, 4, e.strerror.encode())
            return
        handle = str(fd).encode()
        files[handle] = [fd, name, 0]
        send(HANDLE, struct.pack(">I", rid) + string(handle))
    elif kind == 6:  # WRITE
        f = files[r.string()]
        offset = r.u64()
        os.pwrite(f[0], r.string(), offset)
        f[2] += 1
        status(rid, 0)
    elif kind == 4:  # CLOSE
        handle = r.string()
        if handle == b"dir":
            status(rid, 0)
            return
        fd, name, writes = files.pop(handle)
        os.close(fd)
        if b"tiny" in name:
            with open(name + b".writes", "w") as log:
                log.write(str(writes))
        status(rid, 0)
    elif kind == 8:  # FSTAT
        fd, name, _ = files[r.string()]
        size = os.fstat(fd).st_size
        if b"one-byte-short" in name and size > 0:
            size -= 1
            os.ftruncate(fd, size)
        send(105, struct.pack(">IIQ", rid, 1, size))  # ATTRS with the size
    elif kind == 11:  # OPENDIR
        if os.path.isdir(r.string()):
            send(HANDLE, struct.pack(">I", rid) + string(b"dir"))
        else:
            status(rid, 2)
    elif kind == 7:  # LSTAT
        if os.path.lexists(r.string()):
            send(105, struct.pack(">II", rid, 0))  # ATTRS, no attributes
        else:
            status(rid, 2)
    elif kind == 14:  # MKDIR
        result(rid, os.mkdir, r.string())
    elif kind == 13:  # REMOVE
        result(rid, os.remove, r.string())
    elif kind == 18:  # RENAME
        source, target = r.string(), r.string()
        cut = os.path.join(os.path.dirname(source), b"cut-after-renames")
        if os.path.exists(cut):
            with open(cut, "rb") as f:
                if renames[0] >= int(f.read()):
                    sys.exit(0)
            renames[0] += 1
        if os.path.lexists(target):
            status(rid, 4, b"target exists")
        else:
            result(rid, os.rename, source, target)
    else:
        status(rid, 8, b"not supported by this fake")


def main():
    while True:
        (length,) = struct.unpack(">I", read_exact(4))
        packet = read_exact(length)
        serve(packet[0], Reader(packet[1:]))


if __name__ == "__main__":
    try:
        main()
    except BrokenPipeError:
        pass
