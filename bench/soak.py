#!/usr/bin/env python3
"""Soak run of the daemon: a PMS, a manager interface and an SQLite PBX of its own.

For ten minutes a PMS sends guest check-ins at the daemon's one-record-per-second pace while a
manager pushes Cdr events of the guest rooms; then the daemon is left alone for a minute.
Reported: resident memory before and after the load, CPU time spent in the quiet minute, the
time from a check-in leaving the PMS to the PBX row showing it, and whether every call came
back as a posting, none lost and none charged twice. Standard library only; everything listens
on 127.0.0.1.

With --faults, faults are injected during the load, at fixed shares of its length: the PMS stops
reading and then crashes (twice), the PBX file is locked by another connection for 20 s, the
disk of the states file fills for a minute (the states file lives on a small tmpfs of its own,
which needs root; a filler file takes all its free space), and the manager drops the connection.
"""

import argparse
import os
import shutil
import struct
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
    """FIAS server: takes the daemon's link start-up, records its postings, sends records.

    A posting is charged by its P#: a repeat with a P# already seen is recognised as a repeat
    (as a PMS does), the same call under a second P# would be charged twice. Every
    `answer_every`-th call is answered with an OK posting answer (PA), once.
    """

    def __init__(self, answer_every=0):
        self.sock = listener()
        self.port = self.sock.getsockname()[1]
        self.lock = threading.Lock()
        self.conn = None
        self.active = threading.Event()
        self.reading = threading.Event()
        self.reading.set()
        self.answer_every = answer_every
        self.postings = {}  # (room, date, time, number) -> set of P#
        self.repeats = 0  # postings whose P# was seen before
        self.answered = set()  # calls answered with PA
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
            self.reading.wait()
            try:
                data = conn.recv(65536)
            except OSError:
                return
            if not data:
                return
            pending += data
            while ETX in pending:
                frame, pending = pending.split(ETX, 1)
                text = frame[frame.find(STX) + 1:].decode("latin-1")
                try:
                    self._record(conn, text)
                except OSError:
                    return

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
            number = fields.get("P#")
            answer = False
            with self.lock:
                numbers = self.postings.setdefault(key, set())
                if number in numbers:
                    self.repeats += 1
                numbers.add(number)
                n = int(key[3][-6:]) if key[3] and key[3][-6:].isdigit() else -1
                if self.answer_every and n % self.answer_every == 0 and key not in self.answered:
                    self.answered.add(key)
                    answer = True
            if answer:
                self._send(conn, "PA|ASOK|RN%s|DA%s|TI%s|P#%s|" % (key[0], key[1], key[2], number))

    def send(self, text, timeout=120):
        """Sends on the current link once it is active (after a crash, the next one)."""
        deadline = time.monotonic() + timeout
        while True:
            if not self.active.wait(max(0, deadline - time.monotonic())):
                raise SystemExit("soak: no active PMS link for %d s" % timeout)
            with self.lock:
                conn = self.conn
            try:
                self._send(conn, text)
                return
            except OSError:
                time.sleep(0.1)  # the link just crashed: the next one takes it

    def stall_and_crash(self, stall):
        """Stops reading for `stall` seconds, then drops the link as a crash does (RST): what
        the daemon wrote meanwhile is never read."""
        self.reading.clear()
        time.sleep(stall)
        with self.lock:
            conn = self.conn
            self.active.clear()
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()
        self.reading.set()

    def posting_counts(self):
        with self.lock:
            return {k: len(v) for k, v in self.postings.items()}

    def answered_calls(self):
        with self.lock:
            return set(self.answered)


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
            conn.sendall(b"Asterisk Call Manager/11.0.0\r\n")
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        pending = b""
        while True:
            try:
                data = conn.recv(4096)
            except OSError:
                return
            if not data:
                return
            pending += data
            while b"\r\n\r\n" in pending:
                action, pending = pending.split(b"\r\n\r\n", 1)
                if b"Action: Ping" in action:
                    # Answered as Asterisk does, with the ActionID the client gave.
                    ids = [l for l in action.split(b"\r\n") if l.lower().startswith(b"actionid:")]
                    with self.lock:
                        conn.sendall(b"Response: Success\r\n" + b"".join(i + b"\r\n" for i in ids)
                                     + b"Ping: Pong\r\n\r\n")
                elif b"Action: Login" in action:
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
        text = ("\r\n".join(lines) + "\r\n\r\n").encode()
        # Sent on a logged-in connection: while the manager is away the event waits here.
        while True:
            self.ready.wait(120) or sys.exit("soak: the manager login did not come back")
            with self.lock:
                try:
                    self.conn.sendall(text)
                    break
                except OSError:
                    self.ready.clear()
        return (room, start[2:4] + start[5:7] + start[8:10],
                start[11:13] + start[14:16] + start[17:19], "0049301%06d" % n)


    def drop(self):
        """Closes the logged-in connection, as a manager that restarts."""
        with self.lock:
            self.ready.clear()
            self.conn.shutdown(socket.SHUT_RDWR)
            self.conn.close()


class Faults:
    """Injects the faults of a run at fixed shares of its length, and logs when each came."""

    def __init__(self, pms, manager, pbx, states_dir, scale):
        self.pms, self.manager, self.pbx, self.states_dir = pms, manager, pbx, states_dir
        self.scale = scale
        self.done = []

    def lock_pbx(self, seconds):
        holder = sqlite3.connect(self.pbx, isolation_level=None)
        holder.execute("BEGIN EXCLUSIVE")
        time.sleep(seconds)
        holder.execute("COMMIT")
        holder.close()

    def fill_states_disk(self, seconds):
        filler = os.path.join(self.states_dir, "filler")
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        try:
            # Unbuffered: the write that meets the full disk fails here, not at a later close.
            block = b"\0" * 65536
            while True:
                os.write(fd, block)
        except OSError:
            pass
        finally:
            os.close(fd)
        try:
            time.sleep(seconds)
        finally:
            os.unlink(filler)

    def run(self, length):
        s = self.scale
        schedule = [
            (0.08, "PMS stops reading for %.0f s, then crashes" % (20 * s),
             lambda: self.pms.stall_and_crash(20 * s)),
            (0.25, "PBX file locked for %.0f s" % (20 * s), lambda: self.lock_pbx(20 * s)),
            (0.40, "states disk full for %.0f s" % (60 * s), lambda: self.fill_states_disk(60 * s)),
            (0.65, "PMS stops reading for %.0f s, then crashes" % (10 * s),
             lambda: self.pms.stall_and_crash(10 * s)),
            (0.80, "manager drops the connection", self.manager.drop),
        ]
        start = time.monotonic()
        for share, what, action in schedule:
            delay = start + share * length - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            began = time.monotonic() - start
            action()
            self.done.append("%5.0f s to %5.0f s: %s" % (began, time.monotonic() - start, what))


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
    parser.add_argument("--faults", action="store_true",
                        help="inject the faults during the load (needs root for the tmpfs)")
    parser.add_argument("--fault-scale", type=float, default=1.0,
                        help="multiplies the faults' durations (short trial runs)")
    parser.add_argument("--settle", type=int, default=180,
                        help="seconds to wait after the load for every call to be posted")
    parser.add_argument("--keep", action="store_true", help="keep the work folder and its log")
    parser.add_argument("--answer-every", type=int, default=0,
                        help="the PMS answers every N-th call with PA (0: none)")
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="velmorant-soak-")
    states_dir = os.path.join(work, "states")
    os.mkdir(states_dir)
    mounted = False
    if args.faults:
        # A file system of its own for the states file, so that filling it fills nothing else.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", states_dir], check=True)
        mounted = True
    pbx, states = os.path.join(work, "pbx.db"), os.path.join(states_dir, "states.db")
    db = sqlite3.connect(pbx, isolation_level=None, timeout=60)
    db.execute("create table users (ext varchar(8) primary key, name varchar(40))")
    db.executemany("insert into users (ext) values (?)", [(r,) for r in ROOMS])

    pms, manager = Pms(args.answer_every), Manager()
    conf = os.path.join(work, "velmorant.conf")
    log = os.path.join(work, "velmorant.log")
    with open(conf, "w") as f:
        f.write("[pms]\nhost = 127.0.0.1\nport = %d\ninterface = PB\nstatesfile = %s\n"
                "[logger]\nlog_file = %s\nlog_level = 3\n"
                "[pbx]\ndbdriver = sqlite\ndatabase = %s\n"
                "[services]\ncheckin = pbx:update users set name='%%name%%' where ext='%%exten%%'\n"
                "cdr_use_manager = 1\ncdr_mgr_host = 127.0.0.1\ncdr_mgr_port = %d\n"
                "cdr_mgr_user = velmorant\ncdr_mgr_password = soak\n[rooms]\n"
                % (pms.port, states, log, pbx, manager.port))
        for i, room in enumerate(ROOMS):
            f.write("room%d = %s\n" % (i + 1, room))

    daemon = subprocess.Popen([args.binary, "-f", "-c", conf], stdout=subprocess.DEVNULL,
                              stderr=open(os.path.join(work, "stderr"), "w"))
    pid = daemon.pid
    began = time.monotonic()
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
        faults = Faults(pms, manager, pbx, states_dir, args.fault_scale)
        injector = None
        if args.faults:
            # The check-ins take about records * (pace + a little) seconds.
            injector = threading.Thread(target=faults.run, args=(args.records * args.pace * 1.05,))
            injector.start()

        # A check-in a second after the previous one showed in the PBX. The daemon reads one
        # record and then pauses for a second; a record sent sooner waits out that pause, and
        # the latency would measure the pace rather than the work.
        latencies = []
        resent = 0
        for k in range(args.records):
            room, name = ROOMS[k % len(ROOMS)], "Guest%05d" % k
            record = "GI|RN%s|GN%s|GLEA|GSN|" % (room, name)
            pms.active.wait(120)
            sent = last_send = time.monotonic()
            pms.send(record)
            while True:
                try:
                    if db.execute("select name from users where ext = ?",
                                  (room,)).fetchone()[0] == name:
                        break
                except sqlite3.OperationalError:
                    pass  # the PBX file locked by the fault
                if time.monotonic() - sent > 300:
                    sys.exit("soak: check-in %d did not reach the PBX" % k)
                if time.monotonic() - last_send > 60:
                    # Sent into a link that crashed before the daemon read it: sent again, as
                    # a PMS does after a link restart.
                    resent += 1
                    last_send = time.monotonic()
                    pms.send(record)
                time.sleep(0.001)
            latencies.append(time.monotonic() - sent)
            time.sleep(args.pace)
            if k % 60 == 59:
                rss_samples.append(proc_status(pid, "VmRSS"))
        pusher.join()
        if injector:
            injector.join()

        # Every call posted, then a quiet minute.
        # A call that never comes is reported as missing rather than ending the run.
        deadline = time.monotonic() + args.settle
        while len(pms.posting_counts()) < args.events and time.monotonic() < deadline:
            time.sleep(0.2)
        time.sleep(11)  # one more poll pass: a posting sent twice would show now
        rss_after_load = proc_status(pid, "VmRSS")
        cpu_start = cpu_seconds(pid)
        time.sleep(args.idle)
        idle_cpu = cpu_seconds(pid) - cpu_start
        rss_after, fds_after = proc_status(pid, "VmRSS"), open_fds(pid)
        rss_samples.append(rss_after)

        counts = pms.posting_counts()
        answered = pms.answered_calls()
        missing = [c for c in sent_calls if c not in counts]
        twice = [c for c, n in counts.items() if n > 1]
        ms = [1000 * x for x in latencies]
        cache = sqlite3.connect(states, timeout=30)
        cached = cache.execute("select count(*), count(distinct uniqueid) from cdrcache").fetchone()
        left = {r[0] for r in cache.execute("select dst from cdrcache")}
        cache.close()
        answered_left = [c for c in answered if c[3] in left]
        print("soak: %d check-ins, %d Cdr events, %d s quiet, %s, %.0f s in all"
              % (args.records, args.events, args.idle,
                 "faults injected" if args.faults else "no faults", time.monotonic() - began))
        for line in faults.done:
            print("fault: " + line)
        print("resident memory: %d kB before the load, %d kB after it, %d kB after the quiet minute"
              % (rss_before, rss_after_load, rss_after))
        print("resident memory samples (kB, one a minute): " + " ".join(map(str, rss_samples)))
        print("open descriptors: %d before, %d after" % (fds_before, fds_after))
        print("CPU in the quiet minute: %.2f s (user + system), %d calls in the cache"
              % (idle_cpu, cached[0]))
        print("check-in latency, PMS send to PBX row: median %.1f ms, 99th percentile %.1f ms, "
              "max %.1f ms" % (statistics.median(ms), percentile(ms, 0.99), max(ms)))
        print("postings: %d calls sent, %d posted, %d missing, %d posted under two P#s, "
              "%d repeats under the same P#"
              % (len(sent_calls), len(counts), len(missing), len(twice), pms.repeats))
        print("answers: %d calls answered OK, %d cache rows left, %d of them distinct, "
              "%d answered calls still cached"
              % (len(answered), cached[0], cached[1], len(answered_left)))
        print("PMS connections: %d, manager logins: %d, check-ins sent again: %d"
              % (pms.connections, manager.logins, resent))
        with open(log, errors="replace") as f:
            text = f.read()
        for needle in ("Holding call records in memory", "The states file takes call records again",
                       "reading from the manager paused", "trying the request again",
                       "Request applied after", "Request not applied", "database is locked",
                       "disk is full", "Connection to PMS lost"):
            print("log: %5d x %s" % (text.count(needle), needle))
        ok = (not missing and not twice and cached[0] == cached[1]
              and cached[0] == len(sent_calls) - len(answered) and not answered_left)
        return 0 if ok else 1
    finally:
        daemon.terminate()
        daemon.wait()
        if mounted:
            subprocess.run(["umount", states_dir], check=False)
        if args.keep:
            print("soak: files kept in " + work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
