"""A labgrid driver that loads a program onto a Veltara C3x board with the installed download
tools: into its RAM with tavram, or into its flash with tavfla in Save or Fast mode. It
implements labgrid's BootstrapProtocol.

It binds to the board's serial port: a NetworkSerialPort (an RFC 2217 server such as
ser2net, local or from a RemotePlace) or a local one (RawSerialPort, USBSerialPort). While it
is active it keeps a private settings folder whose COM1 names that port; each tool runs with
TAVLOADER_DIR pointing there, so jobs on one host never share COM entries or settings, and
with standard input at its end, so a board that never answers ends the run after 60 s
instead of holding the job.

Installed, it is the module `tavloader` (the .deb puts it on the system Python's path) and
the file /usr/share/tavloaders/labgrid/tavloader.py; an environment file names either:

    imports:
      - tavloader
    tools:
      tavram: /opt/tav/bin/tavram          # optional: else along PATH
    images:
      blink: build/BLINK                   # the lane files build/BLINK.X0 .. .X3
    targets:
      main:
        resources:
          NetworkSerialPort: {host: lab-host, port: 4001}
        drivers:
          TavloaderDriver: {image: blink, flash: true}

and in a test: target.get_driver("BootstrapProtocol").load() or .load("build/OTHER").
"""

import logging
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import attr
from labgrid.driver.common import Driver
from labgrid.driver.exception import ExecutionError
from labgrid.driver.serialdriver import SerialDriver
from labgrid.factory import target_factory
from labgrid.protocol import BootstrapProtocol
from labgrid.resource import NetworkSerialPort
from labgrid.step import step
from labgrid.util.proxy import proxymanager


@attr.s(eq=False)
class TavloaderError(ExecutionError):
    """The tool did not end with code 0; `stdout` holds its output lines, `exitcode` its code
    (None when it was ended after `timeout`)."""

    exitcode = attr.ib(default=None)


@attr.s(eq=False)
class TavloaderDriver(Driver, BootstrapProtocol):
    """Loads programs given as four lane files NAME.X0 .. NAME.X3.

    Args:
        image (str): key in the environment's images: loaded by load() without a name
        flash (bool): into flash (tavfla) instead of RAM (tavram)
        mode (str): flash download mode, "s" (Save) or "f" (Fast); None: Fast on a network
            port (Save waits one round trip per byte), Save on a local one
        poll_ms (int): for a NetworkSerialPort, the server's look period at the modem lines
            (the entry's poll-ms option); None: the tools decide (ser2net needs nothing)
        timeout (float): seconds a run may take; then the tool gets SIGTERM (it releases the
            line and ends its trace) and, after kill_after seconds more, SIGKILL
    """

    bindings = {"port": {"SerialPort", "NetworkSerialPort"}}
    image = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    flash = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    mode = attr.ib(default=None, validator=attr.validators.in_((None, "s", "f")))
    poll_ms = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(int)))
    timeout = attr.ib(default=1800.0, converter=float)
    kill_after = attr.ib(default=5.0, converter=float)

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger(self.display_name)
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

    def _tool(self, tool):
        """The environment's tools: entry, else the tool along PATH."""
        config = self.target.env.config if self.target.env else None
        path = (config.get_tool(tool) if config else None) or tool
        program = shutil.which(path)
        if program is None:
            raise ExecutionError(f"TavloaderDriver: {path} is not installed (or not executable)")
        return program

    @Driver.check_active
    @step(args=["filename"])
    def load(self, filename=None, flash=None, mode=None):
        """Loads FILENAME.X0 .. .X3 (FILENAME may have a folder, never an extension; None: the
        image named by the image attribute) into RAM or flash and starts it; flash and mode
        override the attributes for this run. Returns the tool's output; raises
        TavloaderError with it when the tool does not end with 0."""
        flash = self.flash if flash is None else flash
        mode = mode or self.mode or ("f" if isinstance(self.port, NetworkSerialPort) else "s")
        if mode not in ("s", "f"):
            raise ValueError(f"mode must be 's' (Save) or 'f' (Fast), not {mode!r}")
        if filename is None:
            if self.image is None or not self.target.env:
                raise ExecutionError("TavloaderDriver: no file given and no image attribute")
            filename = self.target.env.config.get_image_path(self.image)
        folder, base = os.path.split(os.path.abspath(filename))
        # The tools take such a name as an option: "-H..." and "?" print the usage and end with 0.
        if base[:1] in ("-", "?"):
            raise ExecutionError(f"TavloaderDriver: program name {base!r} starts with "
                                 f"{base[0]!r}: the tools would take it as an option; rename it")
        tool = "tavfla" if flash else "tavram"
        args = [self._tool(tool), base, "-C1"] + ([f"-M{mode}"] if flash else [])
        self.logger.info("%s in %s", " ".join([tool] + args[1:]), folder)
        code, lines = self._run(args, folder)
        text = "\n".join(lines)
        if code != 0:
            ending = f"ended with code {code}" if code is not None else f"took over {self.timeout} s"
            raise TavloaderError(f"{tool} {base} {ending}:\n{text}", stdout=lines, exitcode=code)
        return text

    def _run(self, args, folder):
        """Runs the tool, logging each output line as it comes; ends it at the time-out.
        Returns its exit code (None when it was ended) and its output lines."""
        env = dict(os.environ, TAVLOADER_DIR=self._folder)
        lines, pending = [], b""
        # A console on the same port would hold the line (a server takes one client at a time).
        consoles = [c for c in self.port.clients if isinstance(c, SerialDriver) and c.status]
        for console in consoles:
            console.close()
        try:
            # Its own process group: a wrapper named in tools: ends with its children.
            child = subprocess.Popen(args, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     start_new_session=True)
            try:
                ending = [signal.SIGTERM, signal.SIGKILL]  # at the time-out, in this order
                deadline = time.monotonic() + self.timeout
                while True:
                    if select.select([child.stdout], [], [], max(0.0, deadline - time.monotonic()))[0]:
                        data = os.read(child.stdout.fileno(), 4096)
                        if not data:
                            break
                        pending = self._log_lines(pending + data, lines)
                    elif ending:
                        number = ending.pop(0)
                        self.logger.warning("%s still running after its time-out: %s",
                                            os.path.basename(args[0]), signal.Signals(number).name)
                        self._signal(child, number)
                        deadline = time.monotonic() + self.kill_after
                    else:
                        break  # killed, yet the output stays open
                self._log_lines(pending + b"\n" if pending else b"", lines)
                code = child.wait()
                return (None if len(ending) < 2 else code), lines
            finally:
                if child.poll() is None:  # interrupted (Ctrl-C in the test): the line goes free
                    self._signal(child, signal.SIGTERM)
                    try:
                        child.wait(self.kill_after)
                    except subprocess.TimeoutExpired:
                        self._signal(child, signal.SIGKILL)
                        child.wait()
                child.stdout.close()
        finally:
            for console in consoles:
                console.open()

    @staticmethod
    def _signal(child, number):
        try:
            os.killpg(child.pid, number)
        except ProcessLookupError:
            pass

    def _log_lines(self, data, lines):
        """Logs and keeps each whole line of data; returns the rest. A progress line, which the
        next one overwrites on a console ("\\r" with no line feed), goes to the debug level."""
        while True:
            end = re.search(rb"\r\n|\r(?=[^\n])|\n", data)  # a lone CR at the end waits for more
            if end is None:
                return data
            text = data[:end.start()].decode(errors="replace")
            data = data[end.end():]
            if end.group() == b"\r":
                if text:
                    self.logger.debug("%s", text)
            else:
                lines.append(text)
                if text:
                    self.logger.info("%s", text)


# The file may run twice in one process (as the installed module and through an environment's
# imports: by path): the first run's classes serve both.
if "TavloaderDriver" in target_factory.drivers:
    TavloaderDriver = target_factory.drivers["TavloaderDriver"]
    TavloaderError = sys.modules[TavloaderDriver.__module__].TavloaderError
else:
    target_factory.reg_driver(TavloaderDriver)
