"""Port files: a server listening on a port the system chose writes that port
to a file, and whoever started it waits for the file. Shared by the tests'
servers and the benchmarks' sink."""
import os
import time


def write_port_file(path, port):
    """Writes the port so that a reader never sees half a file."""
    with open(path + ".part", "w") as f:
        f.write("%d\n" % port)
    os.rename(path + ".part", path)


def wait_port_file(path, proc, timeout=30.0):
    """The port that the process proc (a Popen) wrote to path; None when proc
    ended or the timeout passed first."""
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if proc.poll() is not None or time.monotonic() > deadline:
            return None
        time.sleep(0.02)
    with open(path) as f:
        return int(f.read())
