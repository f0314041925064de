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
SchedulerType=sched/builtin
SchedulerParameters=batch_sched_delay=0,sched_min_interval=0
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
        daemons.append(_start(folder, "munged", ["munged", "--foreground", "--force", f"--socket={folder}/munge.socket",
                                                 f"--key-file={folder}/munge.key", f"--log-file={folder}/munged.log",
                                                 f"--pid-file={folder}/munged.pid",
                                                 f"--seed-file={folder}/munged.seed"], environment))
        daemons.append(_start(folder, "slurmctld", ["slurmctld", "-D"], environment))
        daemons.append(_start(folder, "slurmd", ["slurmd", "-D", "-N", _host()], environment))
        _wait_until_idle(folder, environment, daemons)
        yield environment
    finally:
        cancel_every_job(environment)
        for daemon in reversed(daemons):
            _stop(daemon)


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


def _start(folder, name, command, environment):
    """A daemon in the foreground, as a child of this process, its output in the folder."""
    with open(folder / f"{name}.out", "wb") as output:
        return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                env={**os.environ, **environment})


def _wait_until_idle(folder, environment, daemons, timeout=30):
    """Wait for the node to be ready; if a daemon ends or the node does not come up, its log's last line says why."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for daemon in daemons:
            if daemon.poll() is not None:
                raise SlurmUnavailable(f"{daemon.args[0]} did not start: {_last_line(folder, daemon.args[0])}")
        done = subprocess.run(["sinfo", "--noheader", "--format=%T"], capture_output=True, text=True,
                              env={**os.environ, **environment})
        if done.stdout.strip() == "idle":
            return
        time.sleep(0.2)
    raise SlurmUnavailable(f"the node did not become idle: {_last_line(folder, 'slurmd')}")


def _last_line(folder, name):
    lines = [line for log in (folder / f"{name}.log", folder / f"{name}.out") if log.exists()
             for line in log.read_text(errors="replace").splitlines() if line.strip()]
    return lines[-1] if lines else "no log"


def cancel_every_job(environment, timeout=30):
    """Cancel every job of this user and wait (up to `timeout` seconds) for the queue to empty."""
    with contextlib.suppress(OSError, subprocess.SubprocessError):
        subprocess.run(["scancel", "--full", f"--user={getpass.getuser()}"], capture_output=True,
                       env={**os.environ, **environment}, timeout=timeout)
        deadline = time.monotonic() + timeout
        while squeue(environment) and time.monotonic() < deadline:
            time.sleep(0.2)


def _stop(daemon, timeout=15):
    daemon.terminate()
    try:
        daemon.wait(timeout)
    except subprocess.TimeoutExpired:
        daemon.kill()
        daemon.wait()
