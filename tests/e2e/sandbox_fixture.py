"""The tarvexd test sandbox (tests/sandbox/sandbox) for pytest.

    with Sandbox() as sb:
        sb.key("create", "k", "64M:exfat")
        r = sb.exec("id", "-u", user="pi")      # CompletedProcess, text output
        sb.path("/tmp/aplay.log").read_text()    # host-side view of an inside file

The launcher must run as root. A sandbox started here stops itself when this
process dies (TARVEX_SB_OWNER), so even a killed test run leaves nothing.
"""

import atexit
import os
import pathlib
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
LAUNCHER = REPO / "tests" / "sandbox" / "sandbox"


class SandboxError(RuntimeError):
    pass


class Sandbox:
    def __init__(self, build=None, launcher=LAUNCHER):
        self.build = build
        self.launcher = str(launcher)
        self.dir = None
        self.pid = None

    def start(self):
        if self.dir is not None:
            raise SandboxError("sandbox already started")
        cmd = [self.launcher, "start"]
        if self.build is not None:
            cmd += ["--build", str(self.build)]
        env = dict(os.environ, TARVEX_SB_OWNER=str(os.getpid()))
        r = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=120, check=False)
        if r.returncode != 0:
            raise SandboxError(f"sandbox start failed ({r.returncode}):\n{r.stderr}")
        self.dir = r.stdout.strip()
        self.pid = int(pathlib.Path(self.dir, "pid").read_text())
        atexit.register(self.stop)
        return self

    def _exec_cmd(self, cmd, user=None, cwd=None, env=None):
        if self.dir is None:
            raise SandboxError("sandbox not started")
        args = [self.launcher, "exec", self.dir]
        if user is not None:
            args += ["--user", user]
        if cwd is not None:
            args += ["--cwd", str(cwd)]
        for k, v in (env or {}).items():
            args += ["--env", f"{k}={v}"]
        return args + ["--"] + [str(c) for c in cmd]

    def exec(self, *cmd, user=None, cwd=None, env=None, input=None, check=False,
             timeout=60, text=True):
        """Runs CMD inside; stdout and stderr are captured."""
        return subprocess.run(self._exec_cmd(cmd, user, cwd, env), input=input,
                              stdin=None if input is not None else subprocess.DEVNULL,
                              capture_output=True, text=text, timeout=timeout, check=check)

    def popen(self, *cmd, user=None, cwd=None, env=None, **kwargs):
        """Starts CMD inside and returns at once (for the daemon under test)."""
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.Popen(self._exec_cmd(cmd, user, cwd, env), **kwargs)

    def key(self, *args, input=None):
        """Runs the key helper as root; a failure raises with its message."""
        r = self.exec("key", *args, input=input)
        if r.returncode != 0:
            raise SandboxError(f"key {' '.join(args)} failed ({r.returncode}): {r.stderr}")
        return r.stdout

    def path(self, p):
        """Host-side path of the file P inside the sandbox."""
        if self.pid is None:
            raise SandboxError("sandbox not started")
        return pathlib.Path(f"/proc/{self.pid}/root") / str(p).lstrip("/")

    def stop(self):
        if self.dir is None:
            return
        d, self.dir, self.pid = self.dir, None, None
        atexit.unregister(self.stop)
        r = subprocess.run([self.launcher, "stop", d], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=120, check=False)
        if r.returncode != 0:
            raise SandboxError(f"sandbox stop failed ({r.returncode}):\n{r.stderr}")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def require_root():
    if os.geteuid() != 0:
        pytest.skip("the sandbox needs root")


@pytest.fixture
def sandbox():
    require_root()
    with Sandbox() as sb:
        yield sb
