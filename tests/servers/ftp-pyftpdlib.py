# A pyftpdlib server for the tests: one user with full rights in ROOT, short failed-login
# delay, listening on 127.0.0.1 only (or on the loopback address given: ::1).
# Usage: ftp-pyftpdlib.py PORT ROOT USER PASSWORD [ADDRESS]
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

port, root, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
address = sys.argv[5] if len(sys.argv) > 5 else "127.0.0.1"
authorizer = DummyAuthorizer()
authorizer.add_user(user, password, root, perm="elradfmwMT")
handler = FTPHandler
handler.authorizer = authorizer
handler.auth_failed_timeout = 0.2
server = FTPServer((address, port), handler)
server.serve_forever()
