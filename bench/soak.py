#!/usr/bin/env python3
"""Soak run of the daemon: a PMS, a manager interface and an SQLite PBX of its own.

For ten minutes a PMS sends guest check-ins at the daemon's one-record-per-second pace while a
manager pushes Cdr events of the guest rooms; then the daemon is left alone for a minute.
Reported: resident memory before and after the load, CPU time spent in the quiet minute, the
time from a check-in leaving the PMS to the PBX row showing it, and whether every call came
back as exactly one posting. Standard library only; everything listens on 127.0.0.1.
"""

import argparse
import os
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time

STX, ETX = b"\x02", b"\x03"
ROOMS = [str(101 + i) for i in range(20)]


def listener():
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("127.0.0.1", 0))
    sock.listen(4)
    return sock


def stamp():
    return time.strftime("DA%y%m%d|TI%H%M%S|")


class Pms:
    """FIAS server: takes the daemon's link start-up, counts its postings, sends records."""

    def __init__(self):
        self.sock = listener()
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.conn = None
        self.active = threading.Event()
        self.postings = {}  # (room, date, time, number) -> times posted
        self.connections = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            conn, _ = self.sock.accept()
            with self.lock:
                self.connections += 1
                self.active.clear()
                self.conn = conn
            threading.Thread(target=self._read, args=(conn,), daemon=True).start()

    def _send(self, conn, text):
        conn.sendall(STX + text.encode() + ETX)

    def _read(self, conn):
        pending = b""
        while True:
            data = conn.recv(65536)
            if not data:
                return
            pending += data
            while ETX in pending:
                frame, pending = pending.split(ETX, 1)
                text = frame[frame.find(STX) + 1:].decode("latin-1")
                self._record(conn, text)

    def _record(self, conn, text):
        kind = text[:2]
        if kind == "LS":
            self._send(conn, "LS|" + stamp())
        elif kind == "LA":
            self._send(conn, "LA|" + stamp())
            self.active.set()
        elif kind == "PS":
            fields = {f[:2]: f[2:] for f in text.split("|")[1:] if f}
            key = (fields.get("RN"), fields.get("DA"), fields.get("TI"), fields.get("DD"))
            with self.lock:
                self.postings[key] = self.postings.get(key, 0) + 1

    def send(self, text):
        with self.lock:
            conn = self.conn
        self._send(conn, text)

    def posting_counts(self):
        with self.lock:
            return dict(self.postings)


class Manager:
    """Asterisk manager interface: answers the login, then pushes the Cdr events it is given."""

    def __init__(self):
        self.sock = listener()
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.conn = None
        self.ready = threading.Event()
        self.logins = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            conn, _ = self.sock.accept()
            conn.sendall(b"Asterisk Call Manager/5.0.1\r\n")
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        pending = b""
        while True:
            data = conn.recv(4096)
            if not data:
                return
            pending += data
            while b"\r\n\r\n" in pending:
                action, pending = pending.split(b"\r\n\r\n", 1)
                if b"Action: Login" in action:
                    with self.lock:
                        conn.sendall(b"Response: Success\r\nMessage: Authentication accepted\r\n\r\n")
                        self.conn = conn
                        self.logins += 1
                    self.ready.set()

    def send_cdr(self, n):
        """Call n: from a guest room, a start time of its own so that marks and answers find it."""
        room = ROOMS[n % len(ROOMS)]
        start = time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(1709600000 + n))
        lines = [
            "Event: Cdr", "Privilege: cdr,all", "AccountCode: ", "Source: " + room,
            "Destination: 0049301%06d" % n, "DestinationContext: from-rooms",
            'CallerID: "Room %s" <%s>' % (room, room), "Channel: SIP/%s-%08x" % (room, n),
            "DestinationChannel: SIP/trunk-%08x" % n, "LastApplication: Dial",
            "LastData: SIP/trunk/0049301%06d,60" % n, "StartTime: " + start,
            "AnswerTime: " + start, "EndTime: " + start, "Duration: 75", "BillableSeconds: 70",
            "Disposition: ANSWERED", "AMAFlags: DOCUMENTATION", "UniqueID: 1709600000.%d" % n,
            "UserField: ",
        ]
        with self.lock:
            self.conn.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        return (room, start[2:4] + start[5:7] + start[8:10],
                start[11:13] + start[14:16] + start[17:19], "0049301%06d" % n)


def proc_status(pid, key):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise SystemExit("soak: timed out waiting for " + what)
        time.sleep(0.05)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True, help="the velmorant program to run")
    parser.add_argument("--records", type=int, default=600, help="check-ins the PMS sends")
    parser.add_argument("--events", type=int, default=10000, help="Cdr events the manager sends")
    parser.add_argument("--idle", type=int, default=60, help="seconds of the quiet minute")
    parser.add_argument("--pace", type=float, default=1.0,
                        help="seconds between a check-in showing in the PBX and the next one")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="velmorant-soak-")
    pbx, states = os.path.join(work, "pbx.db"), os.path.join(work, "states.db")
    db = sqlite3.connect(pbx, isolation_level=None)
    db.execute("create table users (ext varchar(8) primary key, name varchar(40))")
    db.executemany("insert into users (ext) values (?)", [(r,) for r in ROOMS])

    pms, manager = Pms(), Manager()
    conf = os.path.join(work, "velmorant.conf")
    with open(conf, "w") as f:
        f.write("[pms]\nhost = 127.0.0.1\nport = %d\ninterface = PB\nstatesfile = %s\n"
                "[logger]\nlog_file = %s\nlog_level = 3\n"
                "[pbx]\ndbdriver = sqlite\ndatabase = %s\n"
                "[services]\ncheckin = pbx:update users set name='%%name%%' where ext='%%exten%%'\n"
                "cdr_use_manager = 1\ncdr_mgr_host = 127.0.0.1\ncdr_mgr_port = %d\n"
                "cdr_mgr_user = velmorant\ncdr_mgr_password = soak\n[rooms]\n"
                % (pms.port, states, os.path.join(work, "velmorant.log"), pbx, manager.port))
        for i, room in enumerate(ROOMS):
            f.write("room%d = %s\n" % (i + 1, room))

    daemon = subprocess.Popen([args.binary, "-f", "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(work, "stderr"), "w"))
    pid = daemon.pid
    try:
        pms.active.wait(30) or sys.exit("soak: the link did not come up")
        manager.ready.wait(30) or sys.exit("soak: the manager login did not come")
        time.sleep(2)  # the daemon's one-second pauses after the link records run out
        rss_before, fds_before = proc_status(pid, "VmRSS"), open_fds(pid)
        rss_samples = [rss_before]

        # The manager pushes its events evenly over the time the check-ins take.
        sent_calls = []
        spacing = args.records * args.pace / max(args.events, 1)

        def push_events():
            start = time.monotonic()
            for n in range(args.events):
                delay = start + n * spacing - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                sent_calls.append(manager.send_cdr(n))

        pusher = threading.Thread(target=push_events)
        pusher.start()

        # A check-in a second after the previous one showed in the PBX. The daemon reads one
        # record and then pauses for a second; a record sent sooner waits out that pause, and
        # the latency would measure the pace rather than the work.
        latencies = []
        for k in range(args.records):
            room, name = ROOMS[k % len(ROOMS)], "Guest%05d" % k
            sent = time.monotonic()
            pms.send("GI|RN%s|GN%s|GLEA|GSN|" % (room, name))
            while db.execute("select name from users where ext = ?", (room,)).fetchone()[0] != name:
                if time.monotonic() - sent > 30:
                    sys.exit("soak: check-in %d did not reach the PBX" % k)
                time.sleep(0.001)
            latencies.append(time.monotonic() - sent)
            time.sleep(args.pace)
            if k % 60 == 59:
                rss_samples.append(proc_status(pid, "VmRSS"))
        pusher.join()

        # Every call posted, then a quiet minute.
        wait_for(lambda: sum(pms.posting_counts().values()) >= args.events, 60, "the postings")
        time.sleep(11)  # one more poll pass: a posting sent twice would show now
        rss_after_load = proc_status(pid, "VmRSS")
        cpu_start = cpu_seconds(pid)
        time.sleep(args.idle)
        idle_cpu = cpu_seconds(pid) - cpu_start
        rss_after, fds_after = proc_status(pid, "VmRSS"), open_fds(pid)
        rss_samples.append(rss_after)

        counts = pms.posting_counts()
        missing = [c for c in sent_calls if c not in counts]
        twice = [c for c, n in counts.items() if n > 1]
        ms = [1000 * x for x in latencies]
        print("soak: %d check-ins, %d Cdr events, %d s quiet" % (args.records, args.events, args.idle))
        print("resident memory: %d kB before the load, %d kB after it, %d kB after the quiet minute"
              % (rss_before, rss_after_load, rss_after))
        print("resident memory samples (kB, one a minute): " + " ".join(map(str, rss_samples)))
        print("open descriptors: %d before, %d after" % (fds_before, fds_after))
        print("CPU in the quiet minute: %.2f s (user + system)" % idle_cpu)
        print("check-in latency, PMS send to PBX row: median %.1f ms, 99th percentile %.1f ms, "
              "max %.1f ms" % (statistics.median(ms), percentile(ms, 0.99), max(ms)))
        print("postings: %d calls sent, %d posted, %d missing, %d posted more than once"
              % (len(sent_calls), len(counts), len(missing), len(twice)))
        print("PMS connections: %d, manager logins: %d" % (pms.connections, manager.logins))
        return 0 if not missing and not twice else 1
    finally:
        daemon.terminate()
        daemon.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
