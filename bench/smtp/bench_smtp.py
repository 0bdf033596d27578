#!/usr/bin/env python3
"""km7-mail beside curl's SMTP client, against the same local sink in the
same run:

  1. 200 messages of 2 KB over one connection
     km7-mail: --count 200
     curl:     one invocation with 200 upload/URL pairs; curl keeps the
               connection and sends MAIL FROM again for each (the sink's log
               shows one connection per run, and it is checked)
  2. one message with a 20 MB attachment, Base64 in a multipart/mixed body
     km7-mail: --attach
     curl:     its own MIME builder, -F "=@file;encoder=base64"

Each case first runs once per client as a warm-up (page cache, the sink's
first connection), then --runs pairs, the order within a pair alternating.
The ratio km7/curl is taken within each pair, so a busy moment of the
machine touches both sides of one ratio; the median ratio and the spread of
the pairs are reported, with the median wall times and each side's peak
resident memory, and km7-mail's peak above its own baseline (the same run
with a one-line message). Run by hand, never from ctest:

  python3 bench/smtp/bench_smtp.py --km7-mail build/tools/km7-mail/km7-mail
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

from benchsink import FROM, TO, SinkProcess, fields, write_message

TIME = shutil.which("time") or "/usr/bin/time"  # GNU time, Debian package "time"


class Sink(SinkProcess):
    def __init__(self, work):
        super().__init__(work, "sink.py")

    def wait_connection(self, seen):
        """Waits for the log line of the next closed connection after `seen`
        lines; returns (messages, bytes)."""
        new = self.new_lines(seen)
        if len(new) != 1:
            raise SystemExit("expected one connection, the sink saw %d: %s" % (len(new), new))
        f = fields(new[0])
        return int(f["messages"]), int(f["bytes"])


def timed(argv, sink, want_messages):
    """Runs one client to its end; returns (seconds, DATA bytes, peak RSS in KB, CPU seconds)."""
    seen = len(sink.lines())
    # GNU time starts the client from a small process of its own: a child
    # forked from this Python would count Python's memory as its peak.
    # Its own times are only in 10 ms steps, though: the processor time comes
    # from the kernel's account of the finished child at microsecond
    # resolution (wait4 counts the client with GNU time, whose own share is
    # a fraction of a millisecond).
    work = os.path.dirname(sink.log)
    rss_file = os.path.join(work, "rss")
    with open(os.path.join(work, "client.err"), "w+b") as err:
        start = time.perf_counter()
        proc = subprocess.Popen([TIME, "-f", "%M", "-o", rss_file] + argv, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            raise SystemExit("%s failed (%d): %s" % (argv[0], proc.returncode, err.read().decode(errors="replace")))
    with open(rss_file) as f:
        peak = int(f.read().split()[-1])
    cpu = usage.ru_utime + usage.ru_stime
    messages, nbytes = sink.wait_connection(seen)
    if messages != want_messages:
        raise SystemExit("%s: the sink got %d messages, expected %d" % (argv[0], messages, want_messages))
    return elapsed, nbytes, peak, cpu


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--km7-mail", required=True, help="path of the km7-mail binary")
    p.add_argument("--curl", default=shutil.which("curl") or "curl")
    p.add_argument("--runs", type=int, default=9, help="pairs per case")
    p.add_argument("--show-pairs", action="store_true", help="print every pair's times")
    p.add_argument("--messages", type=int, default=200)
    p.add_argument("--attachment-mb", type=int, default=20)
    a = p.parse_args()

    work = tempfile.mkdtemp(prefix="km7-bench-smtp-")
    sink = Sink(work)
    try:
        url = "smtp://127.0.0.1:%d" % sink.port
        body_file, mail_file = write_message(work)
        big = os.path.join(work, "attachment.bin")
        with open(big, "wb") as f:
            f.write(os.urandom(a.attachment_mb * 1024 * 1024))

        n = a.messages
        km7_many = [a.km7_mail, "--server", "127.0.0.1", "--port", str(sink.port), "--from", FROM, "--to", TO,
                    "--subject", "bench", "--body-file", body_file, "--helo", "bench.km7.test",
                    "--count", str(n)]
        curl_many = [a.curl, "-sS", "--mail-from", FROM, "--mail-rcpt", TO]
        for _ in range(n):
            curl_many += ["-T", mail_file, url]
        km7_big = [a.km7_mail, "--server", "127.0.0.1", "--port", str(sink.port), "--from", FROM, "--to", TO,
                   "--subject", "bench", "--body", "20 MB attached", "--helo", "bench.km7.test", "--attach", big]
        curl_big = [a.curl, "-sS", url, "--mail-from", FROM, "--mail-rcpt", TO,
                    "-H", "Subject: bench", "-H", "From: " + FROM, "-H", "To: " + TO,
                    "-F", "=20 MB attached;type=text/plain",
                    "-F", "=@%s;type=application/octet-stream;encoder=base64" % big]

        km7_tiny = [a.km7_mail, "--server", "127.0.0.1", "--port", str(sink.port), "--from", FROM, "--to", TO,
                    "--subject", "bench", "--body", "baseline", "--helo", "bench.km7.test"]

        cases = [("%d messages of 2 KB, one connection" % n, km7_many, curl_many, n),
                 ("1 message, %d MB attachment" % a.attachment_mb, km7_big, curl_big, 1)]
        print("sink on 127.0.0.1:%d; per case one warm-up, then %d pairs (order alternating)" % (sink.port, a.runs))
        baseline = min(timed(km7_tiny, sink, 1)[2] for _ in range(3))
        print("wall-time ratios need a quiet machine; the CPU-time ratios hold on a busy one")
        print("km7-mail baseline peak RSS (one-line message): %d KB" % baseline)
        print("%-36s %10s %10s %9s %15s %12s %12s" % ("case", "km7 s", "curl s", "km7/curl", "pairs min-max",
                                                     "km7 RSS KB", "curl RSS KB"))
        for name, km7, curl, count in cases:
            timed(km7, sink, count)
            timed(curl, sink, count)
            times = {"km7": [], "curl": []}
            rss = {"km7": [], "curl": []}
            ratios = []
            cpu_ratios = []
            sizes = {}
            for i in range(a.runs):
                order = (("km7", km7), ("curl", curl)) if i % 2 == 0 else (("curl", curl), ("km7", km7))
                pair = {}
                pair_cpu = {}
                for who, argv in order:
                    t, nbytes, peak, cpu = timed(argv, sink, count)
                    pair[who] = t
                    pair_cpu[who] = cpu
                    times[who].append(t)
                    rss[who].append(peak)
                    sizes[who] = nbytes
                ratios.append(pair["km7"] / pair["curl"])
                cpu_ratios.append(pair_cpu["km7"] / max(pair_cpu["curl"], 0.001))
                if a.show_pairs:
                    print("  pair %d: km7 %.3f s, curl %.3f s" % (i + 1, pair["km7"], pair["curl"]))
            k, c = statistics.median(times["km7"]), statistics.median(times["curl"])
            print("%-36s %10.3f %10.3f %9.2f %7.2f-%-7.2f %12d %12d" % (
                name, k, c, statistics.median(ratios), min(ratios), max(ratios),
                max(rss["km7"]), max(rss["curl"])))
            print("%-36s %10d %10d   (bytes of DATA per run); km7 peak above baseline: %d KB" % (
                "", sizes["km7"], sizes["curl"], max(rss["km7"]) - baseline))
            print("%-36s CPU time (user+system) km7/curl: median %.2f, pairs %.2f-%.2f" % (
                "", statistics.median(cpu_ratios), min(cpu_ratios), max(cpu_ratios)))
    finally:
        sink.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
