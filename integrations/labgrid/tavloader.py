"""A labgrid driver that loads a program onto a Veltara C3x board with the installed download
tools: into its RAM with tavram, or into its flash with tavfla in Save or Fast mode.

It binds to the board's serial port: a NetworkSerialPort (an RFC 2217 server such as
ser2net, exported by a labgrid exporter) or a local one (RawSerialPort, USBSerialPort).
While it is active it keeps a private settings folder whose COM1 names that port; each tool
runs with TAVLOADER_DIR pointing there, so jobs on one host never share COM entries or
settings, and with standard input at its end, so a board that never answers ends the run
after 60 s instead of holding the job.

In an environment file:

    imports:
      - /usr/share/tavloaders/labgrid/tavloader.py
    targets:
      main:
        resources:
          NetworkSerialPort: {host: lab-host, port: 4001}
        drivers:
          TavloaderDriver: {}

and in a test: target.get_driver("TavloaderDriver").load("build/BLINK", flash=True, mode="f").
"""

import os
import shutil
import subprocess
import tempfile

import attr
from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.factory import target_factory
from labgrid.resource import NetworkSerialPort
from labgrid.step import step
from labgrid.util.proxy import proxymanager


@attr.s(eq=False)
class TavloaderError(ExecutionError):
    """The tool did not end with code 0; `stdout` holds its output lines, `exitcode` its code
    (None when it was ended after `timeout`)."""

    exitcode = attr.ib(default=None)


@target_factory.reg_driver
@attr.s(eq=False)
class TavloaderDriver(Driver):
    """Loads programs given as four lane files NAME.X0 .. NAME.X3.

    Args:
        bindir (str): folder of tavram and tavfla; empty: found along PATH
        poll_ms (int): for a NetworkSerialPort, the server's look period at the modem lines
            (the entry's poll-ms option); None: the tools decide (ser2net needs nothing)
        timeout (float): seconds a run may take before it is ended and counted as failed
    """

    bindings = {"port": {"SerialPort", "NetworkSerialPort"}}
    bindir = attr.ib(default="", validator=attr.validators.instance_of(str))
    poll_ms = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(int)))
    timeout = attr.ib(default=1800.0, converter=float)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self._folder = None

    def _entry(self):
        """What COM1 names: rfc2217://HOST:PORT for a network port, else the device."""
        if not isinstance(self.port, NetworkSerialPort):
            return self.port.port
        if self.port.protocol != "rfc2217":
            raise ExecutionError(f"TavloaderDriver: {self.port.protocol} port: the tools need rfc2217")
        host, port = proxymanager.get_host_and_port(self.port)
        if ":" in host:
            host = f"[{host}]"
        options = f"?poll-ms={self.poll_ms}" if self.poll_ms is not None else ""
        return f"rfc2217://{host}:{port}{options}"

    def on_activate(self):
        entry = self._entry()  # may refuse the port: then no folder is left behind
        folder = tempfile.mkdtemp(prefix="tavloader-")  # mode 0700, ours
        try:
            os.symlink(entry, os.path.join(folder, "COM1"))
        except OSError:
            shutil.rmtree(folder, ignore_errors=True)
            raise
        self._folder = folder

    def on_deactivate(self):
        shutil.rmtree(self._folder, ignore_errors=True)
        self._folder = None

    @Driver.check_active
    @step(args=["name", "flash", "mode"])
    def load(self, name, flash=False, mode="s"):
        """Loads NAME.X0 .. NAME.X3 (NAME may have a folder, never an extension) into RAM, or
        with flash=True into flash in Save ("s") or Fast ("f") mode, and starts it. Returns the
        tool's output; raises TavloaderError with it when the tool does not end with 0."""
        if mode not in ("s", "f"):
            raise ValueError(f"mode must be 's' (Save) or 'f' (Fast), not {mode!r}")
        tool = "tavfla" if flash else "tavram"
        program = shutil.which(tool, path=self.bindir or None)
        if program is None:
            raise ExecutionError(f"TavloaderDriver: {tool} is not installed")
        folder, base = os.path.split(os.path.abspath(name))
        args = [program, base, "-C1"] + ([f"-M{mode}"] if flash else [])
        env = dict(os.environ, TAVLOADER_DIR=self._folder)
        try:
            run = subprocess.run(args, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 timeout=self.timeout, check=False)
            output, code = run.stdout, run.returncode
        except subprocess.TimeoutExpired as expired:
            output, code = expired.output or b"", None
        text = output.decode(errors="replace")
        if code != 0:
            ending = f"ended with code {code}" if code is not None else f"took over {self.timeout} s"
            raise TavloaderError(f"{tool} {base} {ending}:\n{text}", stdout=text.splitlines(),
                                 exitcode=code)
        return text
