# Small FTP servers on 127.0.0.1 that each produce one fault a real server cannot be made
# to produce. Usage: ftp_fakes.py <ServerName>; prints "PORT <n>" on stdout, serves until
# stdin closes or it is killed.  Each server speaks just enough FTP for the client's
# sequences (USER, PASS, TYPE, MKD, CWD, PORT, STOR, QUIT).
import os
import socket
import sys
import threading
import time


class FakeFtpServer:
    greeting = ["220 fake ready"]
    line_end = b"\r\n"

    def __init__(self, *args):
        self.data_address = None

    # -- output ---------------------------------------------------------------------
    def send(self, conn, line):
        conn.sendall(line.encode() + self.line_end)

    def reply(self, conn, *lines):
        for line in lines:
            self.send(conn, line)

    # -- session --------------------------------------------------------------------
    def serve(self, conn):
        self.send_greeting(conn)
        reader = conn.makefile("rb")
        while True:
            raw = reader.readline()
            if not raw:
                return
            line = raw.decode(errors="replace").rstrip("\r\n")
            verb, _, arg = line.partition(" ")
            if not self.command(conn, verb.upper(), arg):
                return

    def send_greeting(self, conn):
        self.reply(conn, *self.greeting)

    def command(self, conn, verb, arg):
        if verb == "USER":
            self.reply(conn, "331 password please")
        elif verb == "PASS":
            self.reply(conn, "230 logged in")
        elif verb == "TYPE":
            self.reply(conn, "200 type set")
        elif verb == "MKD":
            self.reply(conn, '257 "%s" created' % arg)
        elif verb == "CWD":
            self.reply(conn, "250-directory changed", "250 okay")
        elif verb == "PORT":
            parts = [int(p) for p in arg.split(",")]
            self.data_address = (".".join(map(str, parts[:4])), parts[4] * 256 + parts[5])
            self.reply(conn, "200 PORT okay")
        elif verb == "STOR":
            return self.store(conn, arg)
        elif verb == "QUIT":
            self.reply(conn, "221 bye")
            return False
        else:
            self.reply(conn, "502 not implemented")
        return True

    def store(self, conn, name):
        self.reply(conn, "150 opening data connection")
        data = socket.create_connection(self.data_address)
        total = self.receive(data)
        data.close()
        self.reply(conn, "226 stored %d bytes" % total)
        return True

    def receive(self, data):
        total = 0
        while True:
            chunk = data.recv(65536)
            if not chunk:
                return total
            total += len(chunk)


class MultiLineGreetingServer(FakeFtpServer):
    def send_greeting(self, conn):
        for line in ["220-Welcome to the", "220-multi-line greeting", "  indented text", "220 ready"]:
            self.send(conn, line)
            time.sleep(0.2)


class RefusingGreetingServer(FakeFtpServer):
    greeting = ["421 Too many connections, try later"]


class FirstConnectionRefusedServer(FakeFtpServer):
    """Refuses the first connection of its life (421, then closes it), like a server that
    is not reachable yet; passes every later one through to the real FTP server on the port
    given as argument, which stores the files."""

    connections = 0
    lock = threading.Lock()

    def __init__(self, port):
        super().__init__()
        self.port = int(port)

    def serve(self, conn):
        with FirstConnectionRefusedServer.lock:
            FirstConnectionRefusedServer.connections += 1
            first = FirstConnectionRefusedServer.connections == 1
        if first:
            self.reply(conn, "421 Service not available, closing control connection.")
            return
        upstream = socket.create_connection(("127.0.0.1", self.port))

        def pump(source, sink):
            try:
                while True:
                    chunk = source.recv(65536)
                    if not chunk:
                        break
                    sink.sendall(chunk)
            except OSError:
                pass
            finally:
                try:
                    sink.shutdown(socket.SHUT_WR)
                except OSError:
                    pass

        back = threading.Thread(target=pump, args=(upstream, conn), daemon=True)
        back.start()
        pump(conn, upstream)
        back.join()
        upstream.close()


class SplitReplyServer(FakeFtpServer):
    """Sends every reply one byte per TCP segment."""

    def send(self, conn, line):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for b in line.encode() + b"\r\n":
            conn.sendall(bytes([b]))
            time.sleep(0.002)


class LfOnlyServer(FakeFtpServer):
    line_end = b"\n"

    def send_greeting(self, conn):
        self.reply(conn, "220-line feeds only", "220 ready")


class SilentServer(FakeFtpServer):
    """Accepts connections and never says a word."""

    def serve(self, conn):
        while conn.recv(4096):
            pass


class SlowReaderServer(FakeFtpServer):
    """Takes the upload steadily but slowly: 64 KiB every 0.2 s."""

    piece = 65536
    pause = 0.2

    def store(self, conn, name):
        self.reply(conn, "150 opening data connection")
        data = socket.socket()
        data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
        data.connect(self.data_address)
        total = 0
        while True:
            chunk = data.recv(self.piece)
            if not chunk:
                break
            total += len(chunk)
            time.sleep(self.pause)
        data.close()
        self.reply(conn, "226 stored %d bytes" % total)
        return True


class TrickleReaderServer(SlowReaderServer):
    """Takes about 64 KiB a second."""

    piece = 16384
    pause = 0.25


class NoConnectBackServer(FakeFtpServer):
    """Cannot open the data connection to the client."""

    def store(self, conn, name):
        self.reply(conn, "425 Can't open data connection.")
        return True


class ClosingMidwayServer(FakeFtpServer):
    """Drops the control connection during the upload, after the first bytes arrived."""

    def store(self, conn, name):
        self.reply(conn, "150 opening data connection")
        data = socket.create_connection(self.data_address)
        data.recv(65536)
        conn.shutdown(socket.SHUT_RDWR)
        time.sleep(0.5)
        data.close()
        return False


class TruncatingServer(FakeFtpServer):
    """Stops reading the upload after 64 KiB, drops the data connection and still says 226."""

    def store(self, conn, name):
        self.reply(conn, "150 opening data connection")
        data = socket.create_connection(self.data_address)
        data.recv(65536)
        data.close()
        self.reply(conn, "226 Transfer complete")
        return True


class ClosingAfterLoginServer(FakeFtpServer):
    """Closes the control connection right after answering TYPE."""

    def command(self, conn, verb, arg):
        if verb == "TYPE":
            self.reply(conn, "200 type set")
            return False
        return super().command(conn, verb, arg)


class UserOnlyLoginServer(FakeFtpServer):
    """Logs the user in on USER alone (230): no password, no account wanted."""

    def command(self, conn, verb, arg):
        if verb == "USER":
            self.reply(conn, "230 welcome, no password needed")
            return True
        return super().command(conn, verb, arg)


class AccountRequiredServer(FakeFtpServer):
    """Wants an account after the password (332)."""

    def command(self, conn, verb, arg):
        if verb == "PASS":
            self.reply(conn, "332 need account for login")
        elif verb == "ACCT":
            self.reply(conn, "230 account accepted")
        else:
            return super().command(conn, verb, arg)
        return True


class RenameRefusingServer(FakeFtpServer):
    """Keeps files in the folder given as argument; RNTO never replaces an existing file."""

    def __init__(self, root):
        super().__init__()
        self.root = root
        self.rename_from = None

    def path(self, name):
        return os.path.join(self.root, os.path.basename(name))

    def command(self, conn, verb, arg):
        if verb == "DELE":
            try:
                os.remove(self.path(arg))
                self.reply(conn, "250 deleted")
            except OSError:
                self.reply(conn, "550 no such file")
        elif verb == "RNFR":
            if os.path.exists(self.path(arg)):
                self.rename_from = self.path(arg)
                self.reply(conn, "350 ready for RNTO")
            else:
                self.reply(conn, "550 no such file")
        elif verb == "RNTO":
            if os.path.exists(self.path(arg)):
                self.reply(conn, "553 file exists, will not replace it")
            else:
                os.rename(self.rename_from, self.path(arg))
                self.reply(conn, "250 renamed")
        elif verb == "SIZE":
            try:
                self.reply(conn, "213 %d" % os.path.getsize(self.path(arg)))
            except OSError:
                self.reply(conn, "550 no such file")
        else:
            return super().command(conn, verb, arg)
        return True

    def store(self, conn, name):
        self.reply(conn, "150 opening data connection")
        data = socket.create_connection(self.data_address)
        with open(self.path(name), "wb") as f:
            while True:
                chunk = data.recv(65536)
                if not chunk:
                    break
                f.write(chunk)
        data.close()
        self.reply(conn, "226 stored")
        return True


class PublishRefusingServer(RenameRefusingServer):
    """As RenameRefusingServer, and the ".part" file can never be renamed."""

    def command(self, conn, verb, arg):
        if verb == "RNFR" and arg.endswith(".part"):
            self.reply(conn, "550 rename refused")
            return True
        return super().command(conn, verb, arg)


class RenameDoneButFailedServer(RenameRefusingServer):
    """Keeps files in the folder given as first argument. RNTO replaces an existing file,
    as common servers do; the rename number given as second argument (1-based, counted over
    the server's life) is carried out and still answered "550 Rename failed."."""

    renames = 0
    lock = threading.Lock()

    def __init__(self, root, failing):
        super().__init__(root)
        self.failing = int(failing)

    def command(self, conn, verb, arg):
        if verb != "RNTO":
            return super().command(conn, verb, arg)
        with RenameDoneButFailedServer.lock:
            RenameDoneButFailedServer.renames += 1
            number = RenameDoneButFailedServer.renames
        os.replace(self.rename_from, self.path(arg))
        self.reply(conn, "550 Rename failed." if number == self.failing else "250 renamed")
        return True


class OneByteShortServer(RenameRefusingServer):
    """Keeps files in the folder given as argument; stores every upload without its last
    byte and still answers 226, as a server whose disk filled up at the end may."""

    def store(self, conn, name):
        self.reply(conn, "150 opening data connection")
        data = socket.create_connection(self.data_address)
        received = bytearray()
        while True:
            chunk = data.recv(65536)
            if not chunk:
                break
            received += chunk
        data.close()
        with open(self.path(name), "wb") as f:
            f.write(received[:-1])
        self.reply(conn, "226 Transfer complete")
        return True


class WithoutSizeServer:
    """pyftpdlib serving the folder given as argument (user "u", password "p") that does
    not know SIZE (500), as servers without the RFC 3659 extensions."""

    missing = ("SIZE",)

    @classmethod
    def run(cls, listener, root):
        import logging

        # Quiet: its session log would fill the test's output.
        log = logging.getLogger("pyftpdlib")
        log.addHandler(logging.NullHandler())
        log.propagate = False
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.servers import FTPServer

        class Handler(FTPHandler):
            proto_cmds = {k: v for k, v in FTPHandler.proto_cmds.items() if k not in cls.missing}

        authorizer = DummyAuthorizer()
        authorizer.add_user("u", "p", root, perm="elradfmwMT")
        Handler.authorizer = authorizer
        Handler.auth_failed_timeout = 0.2
        FTPServer(listener, Handler).serve_forever()


class WithoutSizeOrMlstServer(WithoutSizeServer):
    """As WithoutSizeServer, and without MLST: only LIST tells a file's size."""

    missing = ("SIZE", "MLST")


class PrivatePasvAddressServer(FakeFtpServer):
    """A server behind address translation: it does not know EPSV (502), and its PASV reply
    names its own private address (10.1.2.3) instead of the one the client reached. The
    data port really listens on 127.0.0.1."""

    def command(self, conn, verb, arg):
        if verb == "EPSV":
            self.reply(conn, "502 EPSV not implemented")
            return True
        if verb == "PASV":
            self.passive = socket.socket()
            self.passive.bind(("127.0.0.1", 0))
            self.passive.listen(1)
            port = self.passive.getsockname()[1]
            self.reply(conn, "227 Entering Passive Mode (10,1,2,3,%d,%d)." % (port >> 8, port & 255))
            return True
        return super().command(conn, verb, arg)

    def store(self, conn, name):
        self.passive.settimeout(10)
        data, _ = self.passive.accept()
        self.passive.close()
        self.reply(conn, "150 opening data connection")
        total = self.receive(data)
        data.close()
        self.reply(conn, "226 stored %d bytes" % total)
        return True


class PassiveToClosedPortServer(FakeFtpServer):
    """Answers EPSV with a port nothing listens on, so the data connection is refused."""

    def command(self, conn, verb, arg):
        if verb == "EPSV":
            probe = socket.socket()
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
            probe.close()
            self.reply(conn, "229 Entering Extended Passive Mode (|||%d|)" % port)
            return True
        return super().command(conn, verb, arg)


class ClearTextAfterAuthTlsServer(FakeFtpServer):
    """Accepts AUTH TLS (234) and then goes on in clear text instead of a TLS handshake."""

    def command(self, conn, verb, arg):
        if verb == "AUTH":
            self.reply(conn, "234 Proceed with negotiation.")
            time.sleep(0.2)  # the ClientHello has arrived; answer it with clear text
            self.reply(conn, "530 Please login with USER and PASS.")
            return True
        return super().command(conn, verb, arg)


def stalled_listener(family, address, port=0):
    """A listening socket whose queue is full: the kernel drops further SYNs, so a connect
    to it neither succeeds nor fails until the connecting side gives up."""
    stalled = socket.socket(family)
    stalled.bind((address, port))
    stalled.listen(0)
    held = [stalled]
    for _ in range(3):
        c = socket.socket(family)
        c.setblocking(False)
        try:
            c.connect((address, stalled.getsockname()[1]))
        except BlockingIOError:
            pass
        held.append(c)
    time.sleep(0.2)
    return held


class UnansweredPassivePortServer(FakeFtpServer):
    """Answers EPSV with a port where connections are never answered."""

    held = []

    def command(self, conn, verb, arg):
        if verb == "EPSV":
            UnansweredPassivePortServer.held = stalled_listener(socket.AF_INET, "127.0.0.1")
            port = UnansweredPassivePortServer.held[0].getsockname()[1]
            self.reply(conn, "229 Entering Extended Passive Mode (|||%d|)" % port)
            return True
        return super().command(conn, verb, arg)


class UnansweredIPv6AddressServer(FakeFtpServer):
    """A host whose first address (::1) takes no connections (a stalled listener on the
    same port); its IPv4 address (127.0.0.1) serves normally."""

    held = []

    @classmethod
    def prepare(cls, listener):
        cls.held = stalled_listener(socket.AF_INET6, "::1", listener.getsockname()[1])


def main():
    cls = globals()[sys.argv[1]]
    args = sys.argv[2:]
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(5)
    if hasattr(cls, "prepare"):
        cls.prepare(listener)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    if hasattr(cls, "run"):
        threading.Thread(target=cls.run, args=(listener, *args), daemon=True).start()
        sys.stdin.read()
        os._exit(0)

    def accept_loop():
        while True:
            conn, _ = listener.accept()

            def run(c=conn):
                try:
                    cls(*args).serve(c)
                except OSError:
                    pass
                finally:
                    try:
                        c.shutdown(socket.SHUT_RDWR)
                        c.close()
                    except OSError:
                        pass

            threading.Thread(target=run, daemon=True).start()

    threading.Thread(target=accept_loop, daemon=True).start()
    sys.stdin.read()  # the test closes stdin (or kills us) when it is done
    os._exit(0)


if __name__ == "__main__":
    main()
