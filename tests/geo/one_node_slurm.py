"""A Slurm cluster of one node, this machine, for the tests and the benchmark of runs on batch jobs: Debian's
slurm-wlm and munge, started as root with a munge daemon, key, configuration, state and logs of its own in one
folder (so that it touches nothing of the machine's), and stopped with every job it ran.

    with one_node_slurm(folder) as environment:  # {"SLURM_CONF": ...}: what Slurm's commands need to find it
        ...

`SlurmUnavailable` says why the cluster cannot be had here (not root, packages missing, a daemon that does not
start).
"""
import contextlib
import getpass
import os
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

COMMANDS = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scancel", "sinfo")
CONFIGURATION = """\
ClusterName=quillet-tests
SlurmctldHost={host}(127.0.0.1)
SlurmctldPort={controller_port}
SlurmdPort={node_port}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={folder}/munge.socket
CredType=cred/munge
StateSaveLocation={folder}/state
SlurmdSpoolDir={folder}/spool
SlurmctldPidFile={folder}/slurmctld.pid
SlurmdPidFile={folder}/slurmd.pid
SlurmctldLogFile={folder}/slurmctld.log
SlurmdLogFile={folder}/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
KillWait=2
MinJobAge=5
NodeName={host} NodeAddr=127.0.0.1 CPUs={cpus} RealMemory=2048 State=UNKNOWN
PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP
"""


class SlurmUnavailable(Exception):
    """Slurm cannot be started here; the text says why."""


@contextlib.contextmanager
def one_node_slurm(folder):
    """Start the cluster in `folder` (an empty directory); yield the environment its commands need."""
    if os.geteuid() != 0:
        raise SlurmUnavailable("starting Slurm's daemons needs root")
    missing = [command for command in COMMANDS if shutil.which(command) is None]
    if missing:
        raise SlurmUnavailable(f"{', '.join(missing)} not installed (apt-get install slurm-wlm munge)")
    folder = Path(folder)
    environment = {"SLURM_CONF": str(folder / "slurm.conf")}
    _configure(folder)
    daemons = []
    try:
        daemons.append(_start_munge(folder))
        daemons.append(_start(folder, "slurmctld", ["slurmctld"], environment))
        daemons.append(_start(folder, "slurmd", ["slurmd", "-N", _host()], environment))
        _wait_until_idle(folder, environment)
        yield environment
    finally:
        _cancel_every_job(environment)
        for pid in reversed(daemons):
            _stop(pid)


def squeue(environment, fields="%i"):
    """The lines `squeue` lists (one per job, with `fields`)."""
    done = subprocess.run(["squeue", "--noheader", f"--format={fields}"], capture_output=True, text=True,
                          env={**os.environ, **environment}, check=True)
    return done.stdout.split()


def _host():
    return socket.gethostname().split(".")[0]


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _configure(folder):
    for name in ("state", "spool"):
        (folder / name).mkdir()
    folder.chmod(0o755)  # munged wants its socket's folder searchable and not writable by others
    (folder / "slurm.conf").write_text(CONFIGURATION.format(
        host=_host(), controller_port=_free_port(), node_port=_free_port(), folder=folder,
        cpus=os.cpu_count()))
    key = folder / "munge.key"
    key.write_bytes(os.urandom(128))
    key.chmod(0o400)


def _start_munge(folder):
    subprocess.run(["munged", "--force", f"--socket={folder}/munge.socket", f"--key-file={folder}/munge.key",
                    f"--log-file={folder}/munged.log", f"--pid-file={folder}/munged.pid",
                    f"--seed-file={folder}/munged.seed"], capture_output=True, check=False)
    return _pid(folder / "munged.pid", folder / "munged.log")


def _start(folder, name, command, environment):
    subprocess.run(command, capture_output=True, env={**os.environ, **environment}, check=False)
    return _pid(folder / f"{name}.pid", folder / f"{name}.log")


def _pid(pid_file, log, timeout=10):
    """The pid a daemon wrote, once it has; its log's last line says why it did not."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError, ValueError):
            return int(pid_file.read_text())
        time.sleep(0.1)
    lines = log.read_text().splitlines() if log.exists() else []
    raise SlurmUnavailable(f"{pid_file.stem} did not start: {lines[-1] if lines else 'no log'}")


def _wait_until_idle(folder, environment, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done = subprocess.run(["sinfo", "--noheader", "--format=%T"], capture_output=True, text=True,
                              env={**os.environ, **environment})
        if done.stdout.strip() == "idle":
            return
        time.sleep(0.2)
    lines = (folder / "slurmd.log").read_text().splitlines()
    raise SlurmUnavailable(f"the node did not become idle: {lines[-1] if lines else 'no log'}")


def _cancel_every_job(environment, timeout=30):
    with contextlib.suppress(OSError, subprocess.SubprocessError):
        subprocess.run(["scancel", "--full", f"--user={getpass.getuser()}"], capture_output=True,
                       env={**os.environ, **environment}, timeout=timeout)
        deadline = time.monotonic() + timeout
        while squeue(environment) and time.monotonic() < deadline:
            time.sleep(0.2)


def _stop(pid, timeout=15):
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + timeout
    while _running(pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    with contextlib.suppress(ProcessLookupError):
        os.kill(pid, signal.SIGKILL)


def _running(pid):
    """Whether the process runs (a zombie that its parent has not reaped yet has ended)."""
    with contextlib.suppress(OSError):
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    return False
