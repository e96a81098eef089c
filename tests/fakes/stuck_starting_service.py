#!/usr/bin/env python3
# A service whose start never completes: it takes the built-in manager's instance lock,
# reports "start pending" and stays there until it is killed.
import fcntl
import os
import time

lock = open(os.environ["NORVEX_SERVICE_LOCK"], "a+")
fcntl.lockf(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
lock.truncate(0)
lock.write("1 %d\n" % os.getpid())
lock.flush()
time.sleep(3600)
