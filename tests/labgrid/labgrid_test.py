"""The labgrid driver in a labgrid environment: loads through a NetworkSerialPort straight to
tavsim and to a local port on a pty (direct), or through ser2net (ser2net). Exit code 77 (a
skip for CTest) only when labgrid or ser2net is missing.

  labgrid_test.py direct|ser2net DRIVER BINDIR TAVSIM PTYLINES EXAMPLES
"""
import os, select, shutil, subprocess, sys, tempfile, time

case, driver, bindir, tavsim, ptylines, examples = sys.argv[1:7]
try:
    from labgrid import Environment
except ImportError as error:
    print(f"labgrid cannot be imported ({error}): install python3-labgrid; skipped")
    sys.exit(77)
ser2net = shutil.which("ser2net", path="/usr/sbin:/usr/bin")
if case == "ser2net" and ser2net is None:
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


try:
    shutil.copytree(examples, f"{work}/prog")
    if case == "direct":
        tcp = int(board("--socket", f"{work}/sock", "--tcp", "0").rsplit(":", 1)[1])
        board("--pty", f"{work}/pty", "--lines", f"{work}/lines")
        resources = {"net": f"NetworkSerialPort: {{host: 127.0.0.1, port: {tcp}}}",
                     "local": f"RawSerialPort: {{port: {work}/pty}}"}
    else:
        board("--pty", f"{work}/pty", "--lines", f"{work}/lines")
        port = free_port()
        with open(f"{work}/ser2net.yaml", "w") as config:
            config.write(f"connection: &board\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{port}\n"
                         f"  connector: serialdev,{work}/pty,115200n81,local\n")
        start([ser2net, "-n", "-u", "-c", f"{work}/ser2net.yaml", "-P", f"{work}/ser2net.pid"])
        deadline = time.monotonic() + 10
        while f":{port:04X} 00000000:0000 0A" not in open("/proc/net/tcp").read():
            assert time.monotonic() < deadline, "ser2net did not start"
            time.sleep(0.01)
        resources = {"net": f"NetworkSerialPort: {{host: 127.0.0.1, port: {port}}}"}
    with open(f"{work}/env.yaml", "w") as env_file:
        env_file.write(f"imports: [{driver}]\ntargets:\n")
        for name, resource in resources.items():
            env_file.write(f"  {name}:\n    resources:\n      {resource}\n"
                           f"    drivers:\n      TavloaderDriver: {{bindir: {bindir}}}\n")
    env = Environment(f"{work}/env.yaml")
    rows = {"direct": [("net", "BLINK", False, "s", 0), ("net", "BLINK", True, "s", 0),
                       ("local", "BLINK", True, "f", 0), ("net", "NONE", False, "s", 2)],
            "ser2net": [("net", "BLINK", False, "s", 0), ("net", "BLINK", True, "f", 0)]}[case]
    failures = 0
    for target, name, flash, mode, code in rows:
        loader = env.get_target(target).get_driver("TavloaderDriver")
        try:
            output, got = loader.load(f"{work}/prog/{name}", flash=flash, mode=mode), 0
            ok = "BLINK Started At Address 001010(HEX)" in output
        except Exception as error:
            got = getattr(error, "exitcode", repr(error))
            ok = "Can't Open File NONE.X0" in "\n".join(getattr(error, "stdout", None) or [])
        row = f"{target} {name} flash={flash} mode={mode}: exit code {got}, expected {code}"
        print(("ok   " if ok and got == code else "FAIL ") + row)
        failures += not (ok and got == code)
    env.cleanup()
    sys.exit(1 if failures else 0)
finally:
    for child in children:
        child.kill()
        child.wait()
    shutil.rmtree(work, ignore_errors=True)
