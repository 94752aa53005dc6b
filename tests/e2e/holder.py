"""Another program holding a file, for the tests of the Linux program: the
counterpart of holder.cpp, with the same arguments and signals. Linux has no
share modes; the hold is an exclusive flock, as another run would take.
Usage: holder.py FILE shared|exclusive SECONDS SIGNALS"""

import fcntl
import os
import sys
import time


def main():
    path, _, seconds, signals = sys.argv[1:]
    signal = lambda name: os.path.join(signals, name)  # noqa: E731
    with open(path, "ab+") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        open(signal("held"), "wb").close()
        started, appended = None, False
        while not os.path.exists(signal("release")):
            if started is None and os.path.exists(signal("started")):
                started = time.monotonic()
            if started is not None and time.monotonic() - started >= float(seconds):
                break
            if not appended and os.path.exists(signal("append")):
                held.write(b'"x","x","x","5","x"\r\n')
                held.flush()
                appended = True
                open(signal("appended"), "wb").close()
            time.sleep(0.005)


if __name__ == "__main__":
    main()
