#!/usr/bin/env python3
"""The torture run: products, harvests and the service fail at random, and at the end every
session is accounted for.

Products (product.c on the installed writers' library) write sessions from several processes and
threads and are killed at random moments; harvests start on a schedule like the timer's, overlap,
and are killed at random moments too; the reference service sits behind a proxy that refuses,
answers 500, cuts answers and uploads short and stalls past the time-outs; the disk fails under
both (a preload that fails file calls, a file size limit). Then the faults stop, a last product
runs, two clean harvests run, and the checker compares what the receiver holds with what the
products ended and with the events the harvests wrote. The seed decides the schedule, so the
same seed replays it as far as timing allows.

With --windows the same run goes through the Windows programs under Wine: products on vintorlog.dll,
vintorw.exe started as the scheduled task starts it, and other programs holding parts open with and
without delete sharing (fileholder.exe), in place of the disk's faults. Wine shows only the start
of an event's text: a list of logs it cuts short is counted apart, as told as far as Wine shows.
"""

import argparse
import collections
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

LOG_LEAF = "KALDO Technologies/Zadazevi Rerevarazu Logs"
HARVEST_WATCHDOG_S = 300
# The products wait while the folder holds this many files: a workstation's backlog, not a flood
# that no harvest could carry (each stalled upload costs a harvest its 30 s time-out).
BACKLOG_FILES = 400
# Each loss event and the logs it names: (event's first words, how to find the names).
LOSS_EVENTS = ("Web-service exchange failed:", "Cannot prepare the output folder", "Upload failed for ",
               "Log dropped: ", "Broken log removed: ", "Unsent logs removed: ")
# A log told lost again by this event, after an earlier one: the parts it left behind, which never
# form a log again, are removed as a broken group.
RETOLD_BY_RULE = ("Broken log removed",)
# Wine's line for an event: ReportEventW and the text as its debug channel escapes it, cut short
# with "..." after about 300 characters.
WINE_EVENT = re.compile(r'eventlog:ReportEventW L"((?:[^"\\]|\\.)*)"(\.\.\.)?')


def wine_text(escaped):
    """The text Wine's debug channel escaped: \\n, \\t, \\" and \\<4 hex digits>."""
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    return re.sub(r"\\([0-9a-fA-F]{4}|.)",
                  lambda m: simple.get(m.group(1), m.group(1)) if len(m.group(1)) == 1 else chr(int(m.group(1), 16)),
                  escaped)


class Schedule:
    """The run's random choices, and what it did, step by step."""

    def __init__(self, seed):
        self.random = random.Random(seed)
        self.steps = []
        self.counts = collections.Counter()
        self.lock = threading.Lock()

    def note(self, what):
        with self.lock:
            self.steps.append(what)
            return len(self.steps)

    def count(self, what, n=1):
        with self.lock:
            self.counts[what] += n


class FaultProxy(threading.Thread):
    """Passes connections to the reference service, or fails them as a sick service or network
    does, while `faults` is set."""

    MODES = (("pass", 70), ("refuse", 6), ("status500", 6), ("cut answer", 6), ("cut upload", 6), ("slow", 0.5))

    def __init__(self, upstream_port, schedule):
        super().__init__(daemon=True)
        self.upstream_port = upstream_port
        self.schedule = schedule
        self.faults = True
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(64)
        self.port = self.server.getsockname()[1]

    def run(self):
        while True:
            client, _ = self.server.accept()
            with self.schedule.lock:
                mode = "pass"
                if self.faults:
                    mode = self.schedule.random.choices([m for m, _ in self.MODES], [w for _, w in self.MODES])[0]
            if mode != "pass":
                self.schedule.count("service: " + mode)
            threading.Thread(target=self.serve, args=(client, mode), daemon=True).start()

    @staticmethod
    def read_message(peer):
        """A request or an answer whole, by its length, its chunks or (an answer without either)
        the end of the connection; and whether it came whole."""
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = peer.recv(65536)
            if not chunk:
                return data, False
            data += chunk
        head = data.partition(b"\r\n\r\n")[0].lower()
        length = re.search(rb"\r\ncontent-length:\s*(\d+)", head)
        chunked = b"transfer-encoding: chunked" in head
        until_close = not length and not chunked and head.startswith(b"http/")
        while True:
            body = data.partition(b"\r\n\r\n")[2]
            if body.endswith(b"0\r\n\r\n") if chunked else not until_close and len(body) >= int(
                    length.group(1) if length else 0):
                return data, True
            chunk = peer.recv(65536)
            if not chunk:
                return data, until_close
            data += chunk

    def serve(self, client, mode):
        try:
            client.settimeout(60)
            if mode == "refuse":
                return
            if mode == "cut upload":
                client.recv(200)  # the head and a little of the body, then gone
                return
            request, whole = self.read_message(client)
            if not whole:
                return
            if mode == "status500":
                client.sendall(b"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")
                return
            if mode == "slow":
                time.sleep(35)  # past the 30 s time-outs of the exchange and the upload
                return
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port), timeout=60)
            head, _, body = request.partition(b"\r\n\r\n")
            head = b"\r\n".join(l for l in head.split(b"\r\n") if not l.lower().startswith(b"connection:"))
            upstream.sendall(head + b"\r\nConnection: close\r\n\r\n" + body)
            answer = self.read_message(upstream)[0]
            upstream.close()
            client.sendall(answer[: len(answer) // 2] if mode == "cut answer" else answer)
        except OSError:
            pass
        finally:
            client.close()


class Torture:
    def __init__(self, options):
        self.options = options
        self.schedule = Schedule(options.seed)
        self.work = tempfile.mkdtemp(prefix="vintor-torture-")
        self.home = os.path.join(self.work, "home")
        self.temp = os.path.join(self.home, "tmp")
        self.logs = os.path.join(self.temp, LOG_LEAF)
        self.config = os.path.join(self.home, "config")
        self.received = os.path.join(self.work, "received")
        self.records = os.path.join(self.work, "records")
        self.runs = os.path.join(self.work, "runs")
        for folder in (self.logs, self.received, self.runs, self.records,
                       os.path.join(self.config, "KALDO Technologies")):
            os.makedirs(folder, exist_ok=True)
        self.violations = []
        self.harvests = []  # [step, process, started, killed at, err file, killed]
        self.killed = set()  # the steps of the harvests killed
        self.faulted = set()  # the steps of the harvests whose file calls could fail
        self.held = set()  # the logs (groups) another program held a file of
        # The products that may have ended a session without recording it: killed between the
        # end and the record, or their file calls failing after the session was whole.
        self.unsure_products = set()
        self.products = []
        self.holders = []
        self.windows = options.windows
        self.service = None
        self.proxy = None

    # -- the peers ---------------------------------------------------------------------------
    def start_service(self):
        policy = os.path.join(self.work, "policy")
        with open(policy, "w") as f:
            f.write("default Details 86400\nproduct 27 SummaryOnly 86400\nproduct 31 Discard 86400\n")
        self.service = subprocess.Popen(
            [self.options.service or os.path.join(self.options.bin, "refservice"), "--policy", policy,
             "--receive-dir", self.received],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.service.stdout.readline()
        port = int(re.search(r"(\d+)\s*$", line).group(1))
        self.proxy = FaultProxy(port, self.schedule)
        self.proxy.start()
        base = "http://127.0.0.1:%d/usagetracking/" % self.proxy.port
        if self.windows:
            for name, leaf in (("wsUrl", "veri.asmx"), ("receiverUrl", "post.track")):
                subprocess.run(["wine", "reg", "add", r"HKCU\Software\KALDO Technologies\Zadazevi Rerevarazu",
                                "/v", name, "/d", base + leaf, "/f"], env=self.environment(False),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               check=True)
            return
        with open(os.path.join(self.config, "KALDO Technologies", "Zadazevi Rerevarazu.conf"), "w") as f:
            f.write("[General]\nwsUrl=%sveri.asmx\nreceiverUrl=%spost.track\n" % (base, base))

    @staticmethod
    def windows_path(path):
        return "Z:" + path.replace("/", "\\")

    def command(self, program, *arguments):
        if self.windows:
            return ["wine", program + ".exe"] + list(arguments)
        return [program] + list(arguments)

    def environment(self, disk_faults):
        env = dict(os.environ)
        if self.windows:
            # Wine hands WINETEMP to the program as TEMP (scripts/wine-prefix.sh), and shows the
            # events the program writes on its debug channel.
            env.update(WINETEMP=self.windows_path(self.temp), WINEDEBUG="-all,err+eventlog,warn+eventlog,trace+eventlog")
            return env
        env.update(HOME=self.home, TEMP=self.temp, TMPDIR=self.temp, XDG_CONFIG_HOME=self.config,
                   LD_LIBRARY_PATH=self.options.lib, ASAN_OPTIONS="verify_asan_link_order=0:detect_leaks=0")
        env.pop("JOURNAL_STREAM", None)
        if disk_faults:
            rate = self.schedule.random.choice((5, 20, 60))
            env.update(LD_PRELOAD=self.options.faults, VINTOR_FAULT_PATHS=self.temp + ":" + self.config,
                       VINTOR_FAULT_RATE=str(rate), VINTOR_FAULT_SEED=str(self.schedule.random.randrange(1 << 30)),
                       VINTOR_FAULT_LOG=os.path.join(self.work, "faults"))
        return env

    def limits(self, file_bytes):
        def apply():
            os.setsid()
            if file_bytes:
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (file_bytes, file_bytes))
        return apply

    # -- products and harvests ---------------------------------------------------------------
    def start_product(self, faults, sessions=None, threads=None, kill=True):
        r = self.schedule.random
        seed = r.randrange(1 << 40)
        sessions = sessions or r.randint(1, 12)
        threads = threads or r.randint(1, 4)
        naming = r.choice(("named", "fresh"))
        disk = faults and not self.windows and r.random() < 0.3
        size_limit = 65536 if faults and not self.windows and r.random() < 0.1 else 0
        # A Windows program takes a while to start under Wine.
        kill_at = r.uniform(0.0, 2.0 if self.windows else 0.5) if kill and faults and r.random() < 0.4 else None
        step = self.schedule.note("product seed=%d sessions=%d threads=%d %s disk=%s limit=%d kill=%s"
                                  % (seed, sessions, threads, naming, disk, size_limit, kill_at))
        record = os.path.join(self.records, "product-%d" % step)
        process = subprocess.Popen(
            self.command(self.options.product, self.windows_path(record) if self.windows else record, str(seed),
                         str(sessions), str(threads), naming),
            env=self.environment(disk), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=self.limits(size_limit))
        self.products.append((step, process, time.monotonic(), kill_at))
        if kill_at is not None or disk or size_limit:
            self.unsure_products.add(step)
        if kill_at is not None:
            self.kill_later(process, kill_at, "products killed")
        self.schedule.count("products")
        if disk:
            self.schedule.count("products with failing file calls")
        if size_limit:
            self.schedule.count("products with a file size limit")

    def start_harvest(self, faults, bin_dir):
        r = self.schedule.random
        disk = faults and not self.windows and r.random() < 0.25
        size_limit = r.choice((4096, 65536)) if faults and not self.windows and r.random() < 0.08 else 0
        kill_at = r.uniform(0.0, 2.5 if self.windows else 0.15) if faults and r.random() < 0.35 else None
        step = self.schedule.note("harvest disk=%s limit=%d kill=%s bin=%s" % (disk, size_limit, kill_at, bin_dir))
        err_path = os.path.join(self.runs, "harvest-%d.err" % step)
        err = open(err_path, "wb")
        info = os.fstat(err.fileno())
        env = self.environment(disk)
        env["JOURNAL_STREAM"] = "%d:%d" % (info.st_dev, info.st_ino)
        # On Windows, the program the scheduled task starts: no console, its events in the log.
        program = os.path.join(bin_dir, "vintorw" if self.windows else "vintor")
        process = subprocess.Popen(self.command(program, "-forKALDO"), env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=err, preexec_fn=self.limits(size_limit))
        err.close()
        harvest = [step, process, time.monotonic(), kill_at, err_path, False]
        self.harvests.append(harvest)
        if disk or size_limit:
            self.faulted.add(step)
        if kill_at is not None:
            self.kill_later(process, kill_at, "harvests killed", harvest)
        self.schedule.count("harvests")
        if disk:
            self.schedule.count("harvests with failing file calls")
        if size_limit:
            self.schedule.count("harvests with a file size limit")

    def kill_later(self, process, seconds, what, harvest=None):
        """Kills the process (and its group) that many seconds from now, if it still runs."""
        def kill():
            with self.schedule.lock:
                if process.returncode is not None:
                    return
                if harvest is not None:
                    harvest[5] = True
                    self.killed.add(harvest[0])
                os.killpg(process.pid, signal.SIGKILL)
            self.schedule.count(what)
        timer = threading.Timer(seconds, kill)
        timer.daemon = True
        timer.start()

    def hold_part(self):
        """Another program holds a part open for a while: with delete sharing (an indexer, a
        scanner that allows it) or without (a backup agent, an editor)."""
        r = self.schedule.random
        with os.scandir(self.logs) as entries:
            parts = sorted(e.name for e in entries if e.is_file() and e.name.endswith(".xml"))
        if not parts:
            return
        part = r.choice(parts)
        self.held.add(re.sub(r"\.(full|\d+)\.xml$", "", part))
        sharing = r.choice(("rw", "rwd"))
        ms = r.randint(200, 6000)
        self.schedule.note("hold %s sharing=%s ms=%d" % (part, sharing, ms))
        self.holders.append(subprocess.Popen(
            self.command(os.path.join(self.options.bin, "fileholder"), self.windows_path(os.path.join(self.logs, part)),
                         sharing, str(ms)), env=self.environment(False), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self.schedule.count("parts held, with delete sharing" if "d" in sharing else "parts held, without delete sharing")

    def tend(self):
        """Reaps the products and holders, and checks the harvests that ended or hang."""
        now = time.monotonic()
        with self.schedule.lock:
            self.products = [p for p in self.products if p[1].poll() is None]
        self.holders = [h for h in self.holders if h.poll() is None]
        still = []
        for harvest in self.harvests:
            step, process, started, kill_at, err_path, _ = harvest
            with self.schedule.lock:
                code = process.poll()
                killed = harvest[5]
            if code is None:
                if now - started > HARVEST_WATCHDOG_S:
                    os.killpg(process.pid, signal.SIGKILL)
                    harvest[5] = True
                    self.killed.add(step)
                    self.violation(step, "the harvest hung (past %d s)" % HARVEST_WATCHDOG_S)
                still.append(harvest)
                continue
            self.schedule.note("  step %d ended with %d after %.2f s%s"
                               % (step, code, now - started, " (killed)" if killed else ""))
            if code < 0 and not killed:
                self.violation(step, "the harvest died of signal %d" % -code)
            with open(err_path, "rb") as f:
                text = f.read().decode("utf-8", "replace")
            if "Sanitizer" in text or "runtime error:" in text:
                self.violation(step, "sanitizer report: " + text[text.find("Sanitizer") - 40:][:300])
        self.harvests = still

    def backlog(self):
        with os.scandir(self.logs) as entries:
            return sum(1 for entry in entries if entry.is_file())

    def violation(self, step, what):
        self.violations.append((step, what))

    def wait_all(self):
        while self.products or self.harvests or self.holders:
            self.tend()
            time.sleep(0.05)

    # -- the schedule ------------------------------------------------------------------------
    def run(self):
        self.start_service()
        deadline = time.monotonic() + self.options.minutes * 60
        asan_from = deadline - self.options.minutes * 60 * self.options.asan_share if self.options.asan_bin else None
        next_harvest = time.monotonic() + 1
        r = self.schedule.random
        while time.monotonic() < deadline:
            self.tend()
            if len(self.products) < 3 and r.random() < 0.5 and self.backlog() < BACKLOG_FILES:
                self.start_product(True)
            if self.windows and len(self.holders) < 2 and r.random() < 0.05:
                self.hold_part()
            if time.monotonic() >= next_harvest:
                if len(self.harvests) < 2:
                    bin_dir = self.options.asan_bin if asan_from and time.monotonic() >= asan_from else self.options.bin
                    self.start_harvest(True, bin_dir)
                next_harvest = time.monotonic() + r.uniform(0.5, 4.0)
            time.sleep(r.uniform(0.01, 0.1))
        # The faults stop: a last product, then two clean harvests.
        self.proxy.faults = False
        self.wait_all()
        self.schedule.note("faults off")
        self.start_product(False, sessions=5, threads=2, kill=False)
        self.wait_all()
        for _ in range(2):
            self.start_harvest(False, self.options.bin)
            self.wait_all()
        self.service.terminate()
        self.service.wait()
        return self.check()

    # -- the checker -------------------------------------------------------------------------
    def read_records(self):
        begun, ended = {}, {}
        for name in os.listdir(self.records):
            step = int(name.split("-")[1])
            with open(os.path.join(self.records, name)) as f:
                for line in f:
                    words = line.split()
                    if len(words) == 4 and words[0] == "begun":
                        begun[words[1]] = (words[2], words[3], step)
                    elif len(words) == 3 and words[0] == "ended":
                        ended[words[1]] = int(words[2])
        return begun, ended

    def read_received(self):
        received = collections.Counter()
        forms = {}
        clear = []
        for name in sorted(os.listdir(self.received)):
            if not name.startswith("received-"):
                continue
            with open(os.path.join(self.received, name), "rb") as f:
                text = f.read().decode("utf-8", "replace")
            if "SECRET" in text:
                clear.append(name)
            for block in re.findall(r"<session[ >].*?</session>", text, re.S):
                uuid = re.search(r"<sessionuuid>([^<]*)</sessionuuid>", block)
                if uuid:
                    received[uuid.group(1)] += 1
                    forms[uuid.group(1)] = "<event>" in block or "<event " in block
        return received, forms, clear

    def events_of(self, path):
        """Each event a run wrote, as its lines, and whether Wine cut its text short."""
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", "replace")
        if self.windows:
            for match in WINE_EVENT.finditer(text):
                yield wine_text(match.group(1)).split("\n"), bool(match.group(2))
            return
        # The journal's stream: an event's first line after its priority, the next lines after
        # the same priority and two spaces.
        current = None
        for line in text.split("\n") + ["<7>end"]:
            if current is not None and line.startswith(current[0] + "  "):
                current[1].append(line[len(current[0]) + 2:])
                continue
            if current is not None:
                yield current[1], False
                current = None
            match = re.match(r"^(<[0-7]>)(.*)$", line)
            if match:
                current = (match.group(1), [match.group(2)])

    def read_events(self):
        """The loss events of every harvest, and the logs (groups) each names."""
        named = collections.defaultdict(list)
        events = collections.Counter()
        self.cut_short = collections.Counter()
        self.hidden_names = 0  # how many names Wine's cut hid, when the event tells its count
        for name in os.listdir(self.runs):
            step = int(name.split("-")[1].split(".")[0])
            for order, (lines, cut) in enumerate(self.events_of(os.path.join(self.runs, name))):
                if lines[0].startswith(LOSS_EVENTS):
                    self.take_event((step, order), lines, cut, named, events)
        return named, events

    @staticmethod
    def group_of(log):
        return log[: -len(".full.xml")] if log.endswith(".full.xml") else log

    def take_event(self, when, text, cut, named, events):
        """Counts a loss event and notes each log it names, with when: the run's step and the
        event's place among the run's events."""
        first = text[0]
        kind = next(k for k in LOSS_EVENTS if first.startswith(k))
        events[kind.strip(" :")] += 1
        logs = []
        if kind in ("Upload failed for ", "Log dropped: ", "Broken log removed: "):
            logs = [first[len(kind):].split(": ")[0]]
        else:
            for line in text[1:]:
                match = re.match(r"^Logs(?: \([^)]*\))?: (.*)$", line)
                if match:
                    logs = match.group(1).split(", ")
            if cut:
                # The names past Wine's cut are unknown, and the last one shown may be cut too;
                # the event's count of leftovers tells how many there were.
                self.cut_short[kind.strip(" :")] += 1
                logs = logs[:-1]
                count = re.match(r"^Unsent logs removed: (\d+) ", first)
                self.hidden_names += int(count.group(1)) - len(logs) if count else 1 << 30
        for log in logs:
            named[self.group_of(log)].append(when + (kind.strip(" :"),))

    def told_again_without_cause(self, log, namings):
        """A second naming of a lost log needs a cause: the run that named it before was killed
        (it may have told and died before it acted) or its file calls failed, or another program
        held a file of the log (it told, and could not remove what it told of), or the rule of the
        later event."""
        if log in self.held:
            return []
        namings = sorted(namings)
        cause = self.killed | self.faulted
        return [(step, kind) for n, (step, _, kind) in enumerate(namings[1:], 1)
                if kind not in RETOLD_BY_RULE and not any(earlier in cause for earlier, _, _ in namings[:n])]

    def check(self):
        begun, ended = self.read_records()
        received, forms, clear = self.read_received()
        named, events = self.read_events()
        for name in clear:
            self.violation("end", "an anon text in clear in " + name)
        for uuid, times in received.items():
            if times > 1:
                self.violation(begun.get(uuid, ("?", "?", "?"))[2], "session %s received %d times" % (uuid, times))
            if uuid not in begun:
                self.violation("end", "session %s received but never begun" % uuid)
            elif uuid not in ended and begun[uuid][2] not in self.unsure_products:
                self.violation(begun[uuid][2], "session %s received but never ended" % uuid)
        lost = 0
        named_twice = 0
        hidden = set()
        for uuid, event_count in ended.items():
            product, log, step = begun[uuid]
            if product == "31":
                if received[uuid]:
                    self.violation(step, "session %s of a discarded product was received" % uuid)
                continue
            if received[uuid]:
                if product == "27" and forms[uuid]:
                    self.violation(step, "session %s was asked as a summary and arrived with its events" % uuid)
                if product == "12" and event_count > 0 and not forms[uuid]:
                    self.violation(step, "session %s was asked in full and arrived without its events" % uuid)
                continue
            if not named.get(log):
                if self.cut_short:
                    hidden.add(log)
                    continue
                self.violation(step, "session %s (log %s) ended, was never received, and no event tells of it"
                               % (uuid, log))
            else:
                lost += 1
                named_twice += len(named[log]) > 1
        if len(hidden) > self.hidden_names:
            self.violation("end", "%d logs were lost with no event naming them, more than the %d names Wine "
                                  "cut from the events' lists" % (len(hidden), self.hidden_names))
        for log, namings in named.items():
            for again, kind in self.told_again_without_cause(log, namings):
                self.violation(again, "log %s told lost again (%s) after %s, with no cause for it"
                               % (log, kind, ", ".join("%s in step %d" % (k, s) for s, _, k in sorted(namings))))
        leftovers = []
        for root, folders, files in os.walk(self.logs):
            leftovers += [os.path.relpath(os.path.join(root, f), self.logs) for f in files
                          if f != "VintorInstance"]
        if leftovers:
            self.violation("end", "the log folder still holds " + ", ".join(sorted(leftovers)[:10]))
        objects = [f for f in os.listdir("/dev/shm") if f.startswith("kaldo-usagelog-")] if os.path.isdir(
            "/dev/shm") and not self.windows else []
        counts = self.schedule.counts
        faults_path = os.path.join(self.work, "faults")
        if os.path.exists(faults_path):
            with open(faults_path) as f:
                for line in f:
                    counts["file call failed: " + line.split()[1]] += 1
        rows = [("seed", self.options.seed), ("schedule steps", len(self.schedule.steps))]
        rows += sorted(counts.items())
        rows += [("sessions begun", len(begun)), ("sessions ended", len(ended)),
                 ("ended, of a discarded product", sum(1 for u in ended if begun[u][0] == "31")),
                 ("sessions received", sum(1 for u in received if received[u])),
                 ("ended, not received, told by an event", lost),
                 ("  of which told by two events", named_twice),
                 ("lock objects left in /dev/shm", len(objects))]
        if self.windows:
            rows += [("ended, not received, in a list Wine cut short", sum(1 for u in ended if begun[u][1] in hidden)),
                     ("  their logs / names Wine cut from lists",
                      "%d / %s" % (len(hidden), self.hidden_names if self.hidden_names < 1 << 30 else "unknown"))]
        rows += [("event: " + k, v) for k, v in sorted(events.items())]
        rows += [("event cut short by Wine: " + k, v) for k, v in sorted(self.cut_short.items())]
        rows += [("violations", len(self.violations))]
        width = max(len(str(k)) for k, _ in rows)
        for key, value in rows:
            print("%-*s  %s" % (width, key, value))
        for step, what in self.violations:
            where = self.schedule.steps[step - 1] if isinstance(step, int) else step
            print("VIOLATION (seed %d, step %s: %s): %s" % (self.options.seed, step, where, what))
        with open(os.path.join(self.work, "schedule"), "w") as f:
            f.write("\n".join("%d %s" % (n + 1, step) for n, step in enumerate(self.schedule.steps)) + "\n")
        if not self.violations and not self.options.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            print("work folder kept: " + self.work)
        return 1 if self.violations else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100000)
    parser.add_argument("--minutes", type=float, default=4)
    parser.add_argument("--bin", required=True, help="the build's programs: vintor, refservice")
    parser.add_argument("--service", help="the reference service, when not in --bin")
    parser.add_argument("--asan-bin", help="a sanitizer build's programs, for the last share of the run")
    parser.add_argument("--asan-share", type=float, default=0.25)
    parser.add_argument("--product", required=True)
    parser.add_argument("--lib", required=True, help="where the installed writers' library is")
    parser.add_argument("--faults", help="the file-fault preload")
    parser.add_argument("--windows", action="store_true",
                        help="run the Windows programs of --bin under Wine (--product a Windows program too)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    options = parser.parse_args()
    print("torture: seed %d, %.1f minutes" % (options.seed, options.minutes), flush=True)
    sys.exit(Torture(options).run())


if __name__ == "__main__":
    main()
