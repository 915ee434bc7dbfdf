"""The labgrid driver in a labgrid environment: loads through a NetworkSerialPort straight to
tavsim and to a local port on a pty, with its time-out, console, tools:, images: and logging
(direct); through ser2net (ser2net); through labgrid's coordinator, an exporter and a
RemotePlace (remote). Exit code 77 (a skip for CTest) when a part cannot be had, with why.

  labgrid_test.py direct|ser2net|remote DRIVER BINDIR TAVSIM PTYLINES EXAMPLES
"""
import logging, os, select, shutil, subprocess, sys, tempfile, time

case, driver, bindir, tavsim, ptylines, examples = sys.argv[1:7]
remote = os.path.join(os.path.dirname(os.path.abspath(__file__)), "remote")
try:
    from labgrid import Environment
except ImportError as error:
    print(f"labgrid cannot be imported ({error}): install python3-labgrid; skipped")
    sys.exit(77)
ser2net = shutil.which("ser2net", path="/usr/sbin:/usr/bin")
if case != "direct" and ser2net is None:
    print("ser2net is not installed: skipped")
    sys.exit(77)

work = tempfile.mkdtemp(prefix="tavlabgrid-")
children = []
# The tools on a pty and ser2net get the pty's modem lines from the preloaded library.
os.environ.update(LD_PRELOAD=ptylines, PTYLINES_STATE=f"{work}/lines", TZ="UTC",
                  ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")


def start(args, first_line=False):
    child = subprocess.Popen(args, cwd=work, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE if first_line else subprocess.DEVNULL)
    children.append(child)
    if first_line and select.select([child.stdout], [], [], 10)[0]:
        return child.stdout.readline().decode()
    return ""


def board(*where):
    return start([tavsim, "--log", f"{work}/tavsim{len(children)}.log", *where], True)


def free_port():
    for port in range(47100 + os.getpid() % 800, 49000):
        if f":{port:04X} " not in open("/proc/net/tcp").read():
            return port


def wait_for(what, check, seconds=30):
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, f"{what}: not within {seconds} s"
        time.sleep(0.05)


def client(*args):
    return subprocess.run([sys.executable, "-m", "labgrid.remote.client", "-x", url, "-p", "tav",
                           *args], capture_output=True, text=True, timeout=60).stdout


class Log(logging.Handler):  # what the driver logs, and whether a console was open then
    def emit(self, record):
        seen.append((record.levelname, record.getMessage(), console and console.status))
        if record.getMessage() == "first line":  # the fake tool waits for this, as it runs
            fifo = os.open(f"{work}/fifo", os.O_WRONLY | os.O_NONBLOCK)
            os.write(fifo, b"heard\n"), os.close(fifo)


seen, console, url, failures = [], None, None, 0
logging.getLogger().addHandler(Log(logging.DEBUG))
logging.getLogger().setLevel(logging.DEBUG)


def check(row, ok):
    global failures
    print(("ok   " if ok else "FAIL ") + row)
    failures += not ok


def load(target, name, code, message, **given):
    del seen[:]
    try:
        output, got = target.get_driver("BootstrapProtocol").load(name, **given), 0
    except Exception as error:
        output = "\n".join(getattr(error, "stdout", None) or [getattr(error, "msg", "")])
        got = getattr(error, "exitcode", 2)
    ok = got == code and message in output
    check(f"{target.name} {name} {given}: exit code {got}, expected {code}; {message!r}", ok)
    if not ok:  # what the tool said, for the log of a failed run
        print("     " + str(output).replace("\n", "\n     "))


try:
    shutil.copytree(examples, f"{work}/prog")
    if case == "direct":
        tcp = int(board("--socket", f"{work}/sock", "--tcp", "0").rsplit(":", 1)[1])
        silent = board("--socket", f"{work}/sock2", "--tcp", "0", "--cts-never").rsplit(":", 1)[1]
        board("--pty", f"{work}/pty", "--lines", f"{work}/lines")
        net = "NetworkSerialPort: {{host: 127.0.0.1, port: {}}}".format
        targets = {"net": (net(tcp), "{image: blink}"),
                   "local": (f"RawSerialPort: {{port: {work}/pty}}", "{}"),
                   "silent": (net(int(silent)), "{timeout: 3}"),
                   "fake": (net(int(silent)),
                            "{timeout: 3, kill_after: 1}\n      SerialDriver: {}")}
    else:
        board("--pty", f"{work}/pty", "--lines", f"{work}/lines")
        port = free_port()
        with open(f"{work}/ser2net.yaml", "w") as config:
            config.write(f"connection: &board\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{port}\n"
                         f"  connector: serialdev,{work}/pty,115200n81,local\n")
        start([ser2net, "-n", "-u", "-c", f"{work}/ser2net.yaml", "-P", f"{work}/ser2net.pid"])
        listening = f":{port:04X} 00000000:0000 0A"
        wait_for("ser2net", lambda: listening in open("/proc/net/tcp").read(), 10)
        targets = {"net": (f"NetworkSerialPort: {{host: 127.0.0.1, port: {port}}}", "{}")}
    if case == "remote":
        os.environ.pop("LD_PRELOAD")  # the router and labgrid's programs need no modem lines
        started = subprocess.run([f"{remote}/start.sh", f"{work}/lab", str(free_port())],
                                 capture_output=True, text=True, timeout=600)
        if started.returncode == 3:
            print(f"{started.stderr.strip()}: skipped")
            sys.exit(77)
        assert started.returncode == 0, started.stderr
        url = started.stdout.strip()
        with open(f"{work}/exports.yaml", "w") as exports:
            exports.write(f"board:\n  {targets['net'][0]}\n")
        start([sys.executable, "-m", "labgrid.remote.exporter", "-x", url, "-n", "lab1",
               "--hostname", "127.0.0.1", f"{work}/exports.yaml"])
        wait_for("the export", lambda: "lab1/board/NetworkSerialPort" in client("resources"))
        client("create"), client("add-match", "lab1/board/*"), client("acquire")
        targets = {"net": ("RemotePlace: {name: tav}", "{}")}
    with open(f"{work}/env.yaml", "w") as env_file:
        env_file.write(f"options: {{crossbar_url: '{url}'}}\nimports: [{driver}]\n"
                       f"images: {{blink: prog/BLINK}}\n"
                       f"tools: {{tavram: {bindir}/tavram, tavfla: {bindir}/tavfla}}\ntargets:\n")
        for name, (resource, attributes) in targets.items():
            env_file.write(f"  {name}:\n    resources:\n      {resource}\n"
                           f"    drivers:\n      TavloaderDriver: {attributes}\n")
    # Imported as a module first, the environment's imports: then takes the same class.
    sys.path.insert(0, os.path.dirname(driver))
    import tavloader
    env = Environment(f"{work}/env.yaml")
    net = env.get_target("net")
    check("the environment's driver is the module's",
          isinstance(net.get_driver("BootstrapProtocol"), tavloader.TavloaderDriver))
    started = "BLINK Started At Address 001010(HEX)"
    ran = lambda command: any(m == f"{command} in {work}/prog" for _, m, _ in seen)
    warnings = lambda: [m.rsplit(" ", 1)[1] for level, m, _ in seen if level == "WARNING"]
    for given, command in [({}, "tavram BLINK -C1"), ({"flash": True}, "tavfla BLINK -C1 -Mf")]:
        load(net, f"{work}/prog/BLINK", 0, started, **given)  # Fast mode on a network port
        check(f"ran {command}", ran(command))
    if case != "direct":
        env.cleanup()
        sys.exit(1 if failures else 0)

    levels = {message: level for level, message, _ in seen}
    check("each line logged, a progress line at debug level",
          levels.get("Using Port  : COM1") == levels.get(started) == "INFO"
          and levels.get("Writing Target Address: 001000(HEX)") == "DEBUG")
    for name in ["-H", "?", "-C2", "-I", "-Hx", "?x"]:  # the tools would take them as options
        load(net, f"{work}/prog/{name}", 2, "would take it as an option")
        check(f"{name}: no tool run", not any(m.startswith("tavram") for _, m, _ in seen))
    load(net, None, 0, started)  # images: blink, relative to the environment file
    load(net, f"{work}/prog/NONE", 2, "Can't Open File NONE.X0")
    load(env.get_target("local"), f"{work}/prog/BLINK", 0, started, flash=True)
    check("Save mode on a local port", ran("tavfla BLINK -C1 -Ms"))

    os.environ["TAVLOADER_TRACE"] = f"{work}/trace"  # a board that never answers: SIGTERM
    load(env.get_target("silent"), f"{work}/prog/BLINK", None, "Using Port  : COM1")
    del os.environ["TAVLOADER_TRACE"]
    check("SIGTERM, no SIGKILL", warnings() == ["SIGTERM"])
    check("the trace ended", open(f"{work}/trace").read().rstrip().endswith("interrupted, exit 2"))

    # A tool that ignores SIGTERM (from tools:, a second environment), with a console open.
    os.mkfifo(f"{work}/fifo")
    with open(f"{work}/fake", "w") as fake:
        fake.write(f"#!/bin/bash\nexec 3<>{work}/fifo\necho 'first line'\n"
                   "read -t 20 reply <&3 || exit 3\necho \"$reply\"\n"
                   "trap 'echo TERM ignored' TERM\nwhile :; do read <&3; done\n")
    os.chmod(f"{work}/fake", 0o755)
    with open(f"{work}/env.yaml") as env_file:
        text = env_file.read().replace(f"{bindir}/tavram", f"{work}/fake")
    text = text.replace(f"tavfla: {bindir}/tavfla", "")
    with open(f"{work}/env2.yaml", "w") as env_file:
        env_file.write(text)
    os.environ["PATH"] = f"{bindir}:{os.environ['PATH']}"
    env2 = Environment(f"{work}/env2.yaml")
    fake = env2.get_target("fake")
    console = fake.get_driver("SerialDriver")
    load(fake, f"{work}/prog/BLINK", None, "heard\nTERM ignored")
    check("SIGTERM, then SIGKILL", warnings() == ["SIGTERM", "SIGKILL"])
    check("console closed for the load, open again",
          ("INFO", "heard", 0) in seen and console.status)
    console = None
    for lane in range(4):
        shutil.copy(f"{work}/prog/BLINK.X{lane}", f"{work}/prog/OTHER.X{lane}")
    load(env2.get_target("net"), f"{work}/prog/OTHER", 0, "OTHER Started", flash=True)  # from PATH
    env2.cleanup(), env.cleanup()
    sys.exit(1 if failures else 0)
finally:
    if url:
        client("release")
    for child in reversed(children):  # the exporter before the coordinator
        child.terminate()
        child.wait()
    if url:
        subprocess.run([f"{remote}/stop.sh", f"{work}/lab"])
    shutil.rmtree(work, ignore_errors=True)
