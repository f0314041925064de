"""What the command's help tells a newcomer to run works: every `python ...` command of every subcommand's --help,
on a line of its own or between backquotes in the text."""
import re
import shlex
import subprocess
import sys

import pytest

pytest.importorskip("click")
from click.testing import CliRunner

from quillet_geo.cli import cli


def python_commands(command):
    lines = [line.strip() for line in CliRunner().invoke(cli, [command, "--help"]).output.splitlines()]
    return ([line for line in lines if line.startswith("python ")]
            + re.findall(r"`(python [^`]+)`", " ".join(lines)))


@pytest.mark.parametrize("command", sorted(cli.commands))
def test_the_python_commands_that_help_names_run(command):
    for line in python_commands(command):
        done = subprocess.run([sys.executable, *shlex.split(line)[1:]], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and "Traceback" not in done.stderr, (line, done.stderr)
        assert len(done.stdout.splitlines()) > 5, line
