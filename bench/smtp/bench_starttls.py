#!/usr/bin/env python3
"""km7-mail beside curl over STARTTLS, against the same local sink in the
same run: 200 messages of 2 KB over one STARTTLS connection.

  km7-mail: --starttls --cafile CA --count 200
  curl:     --ssl-reqd --cacert CA, one invocation with 200 upload/URL pairs
            (curl keeps the connection; the sink's log shows one connection
            per run, over TLS, and it is checked)

The certificate is made here by the openssl command line. The two clients
run in pairs (km7-mail, curl, km7-mail, curl, ...) after --warmup unpaired
rounds; each pair gives a ratio, and the median ratio is reported with the
spread, so a drift of the machine's speed moves both sides of a pair alike.
Beside the wall times, each client's processor time (user + system, from
the kernel's rusage of the finished child) is compared the same way; those
ratios hold on a busy machine. A trust store named by SSL_CERT_FILE or
SSL_CERT_DIR in the environment is used by both clients. Run by hand, never
from ctest:

  /usr/bin/python3 bench/smtp/bench_starttls.py --km7-mail build/tools/km7-mail/km7-mail

--serve prints the two commands and keeps the sink running until Ctrl-C, for
timing them with another tool.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

from benchsink import FROM, TO, SinkProcess, fields, write_message


def make_certificate(work):
    ca_cnf = os.path.join(work, "ca.cnf")
    with open(ca_cnf, "w") as f:
        f.write("[ext]\nbasicConstraints = CA:FALSE\nsubjectAltName = IP:127.0.0.1,DNS:localhost\n")
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    j = lambda name: os.path.join(work, name)
    for argv in (["openssl", "req", "-x509"] + ec + ["-keyout", j("ca.key"), "-out", j("ca.pem"), "-days", "2",
                                                    "-subj", "/CN=km7 bench CA"],
                 ["openssl", "req", "-new"] + ec + ["-keyout", j("server.key"), "-out", j("server.csr"),
                                                   "-subj", "/CN=localhost"],
                 ["openssl", "x509", "-req", "-in", j("server.csr"), "-CA", j("ca.pem"), "-CAkey", j("ca.key"),
                  "-CAcreateserial", "-out", j("server.pem"), "-days", "2", "-extfile", ca_cnf,
                  "-extensions", "ext"]):
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return j("ca.pem"), j("server.pem"), j("server.key")


class Sink(SinkProcess):
    def __init__(self, work, cert, key):
        super().__init__(work, "tls_sink.py", ["--cert", cert, "--key", key])

    def wait_connection(self, seen, want_messages, who):
        new = self.new_lines(seen, who)
        f = fields(new[0])
        if len(new) != 1 or f["tls"] != "1" or int(f["messages"]) != want_messages:
            raise SystemExit("%s: expected one TLS connection with %d messages, the sink saw %s"
                             % (who, want_messages, new))


def timed(argv, sink, want_messages, who):
    """Runs one client to its end; returns (wall seconds, processor seconds).
    The processor time (user + system) is the kernel's account of the
    finished child, at microsecond resolution."""
    seen = len(sink.lines())
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            raise SystemExit("%s failed (%d): %s" % (who, proc.returncode, err.read().decode(errors="replace")))
    sink.wait_connection(seen, want_messages, who)
    return elapsed, usage.ru_utime + usage.ru_stime


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--km7-mail", required=True, help="path of the km7-mail binary")
    p.add_argument("--curl", default=shutil.which("curl") or "curl")
    p.add_argument("--runs", type=int, default=7, help="pairs timed")
    p.add_argument("--warmup", type=int, default=1, help="untimed rounds first")
    p.add_argument("--messages", type=int, default=200)
    p.add_argument("--serve", action="store_true", help="print the commands and keep the sink up")
    a = p.parse_args()

    work = tempfile.mkdtemp(prefix="km7-bench-starttls-")
    ca, cert, key = make_certificate(work)
    sink = Sink(work, cert, key)
    try:
        body_file, mail_file = write_message(work)
        n = a.messages
        url = "smtp://127.0.0.1:%d" % sink.port
        km7 = [a.km7_mail, "--server", "127.0.0.1", "--port", str(sink.port), "--starttls", "--cafile", ca,
               "--from", FROM, "--to", TO, "--subject", "bench", "--body-file", body_file,
               "--helo", "bench.km7.test", "--count", str(n)]
        curl = [a.curl, "-sS", "--ssl-reqd", "--cacert", ca, "--mail-from", FROM, "--mail-rcpt", TO]
        for _ in range(n):
            curl += ["-T", mail_file, url]
        if a.serve:
            args_file = os.path.join(work, "curl.args")
            with open(args_file, "w") as f:
                f.write("\n".join(curl[1:]) + "\n")
            print("sink on 127.0.0.1:%d (Ctrl-C ends it)" % sink.port)
            print("A: %s" % " ".join(km7))
            print("B: xargs -d '\\n' -a %s %s" % (args_file, a.curl), flush=True)
            try:
                sink.proc.wait()
            except KeyboardInterrupt:
                pass
            return
        for _ in range(a.warmup):
            timed(km7, sink, n, "km7-mail")
            timed(curl, sink, n, "curl")
        pairs = []
        cpu = []
        for _ in range(a.runs):
            k, kc = timed(km7, sink, n, "km7-mail")
            c, cc = timed(curl, sink, n, "curl")
            pairs.append((k, c, k / c))
            cpu.append((kc, cc, kc / max(cc, 1e-6)))
        ratios = sorted(r for _, _, r in pairs)
        cpu_ratios = sorted(r for _, _, r in cpu)
        store = os.environ.get("SSL_CERT_FILE") or os.environ.get("SSL_CERT_DIR")
        print("STARTTLS sink on 127.0.0.1:%d, %d messages of 2 KB over one connection, %d pairs after %d warm-up"
              % (sink.port, n, a.runs, a.warmup))
        print("trust store: %s" % ("SSL_CERT_FILE/SSL_CERT_DIR = " + store if store else "the system's"))
        print("processor s (user+system) median: km7-mail %.4f   curl %.4f" % (
            statistics.median(p[0] for p in cpu), statistics.median(p[1] for p in cpu)))
        print("processor km7-mail/curl per pair: median %.2f (min %.2f, max %.2f)" % (
            statistics.median(cpu_ratios), cpu_ratios[0], cpu_ratios[-1]))
        print("km7-mail s median %.3f   curl s median %.3f" % (statistics.median(p[0] for p in pairs),
                                                              statistics.median(p[1] for p in pairs)))
        print("km7-mail/curl per pair: median %.2f (min %.2f, max %.2f)" % (statistics.median(ratios), ratios[0],
                                                                          ratios[-1]))
    finally:
        sink.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
