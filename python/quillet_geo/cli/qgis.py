"""`quillet qgis install`: the QGIS plugin copied into a QGIS profile with a record of this quillet command, so
that QGIS runs this very command (its environment, its GDAL) for each algorithm, and of the descriptions of the
commands it offers."""
import configparser
import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

import click

import quillet_qgis
from quillet_qgis.installation import PLUGIN_NAME, RECORD, record_of

from .. import __version__
from ..journal import write_error
from .describe import description
from .errors import DataFailure
from .running import say


@click.group()
def qgis():
    """The QGIS plugin, which offers quillet's commands as Processing algorithms."""


@qgis.command()
@click.option("--plugins-dir", type=click.Path(file_okay=False, path_type=Path), metavar="DIR",
              help="Folder of QGIS plugins to install into  [default: the default QGIS profile's python/plugins]")
@click.pass_context
def install(ctx, plugins_dir):
    """Install the QGIS plugin `quillet`, which runs this quillet command, into DIR (replacing an earlier copy);
    then enable it in QGIS (Plugins > Manage and Install Plugins > Installed) or with `qgis_process plugins enable
    quillet`. Install it again after upgrading quillet."""
    target = (plugins_dir or default_plugins_dir()) / PLUGIN_NAME
    offered = [command for command in ctx.find_root().command.commands.values()
               if any(param.name == "describe" for param in command.params)]
    record = record_of(this_command(), [description(command) for command in offered], __version__)
    _check_replaceable(target)
    try:
        _install(target, record)
    except OSError as error:
        raise DataFailure(str(write_error(error.filename or target, error))) from None
    say(f"QGIS plugin '{PLUGIN_NAME}' installed in {target}, running {' '.join(record['command'])}; enable it in "
        f"QGIS (Plugins > Manage and Install Plugins > Installed) or with `qgis_process plugins enable {PLUGIN_NAME}`")


def default_plugins_dir():
    """The python/plugins folder of QGIS's default profile for this user (the profile named default in its
    profiles.ini, else "default")."""
    if sys.platform == "win32":
        base = Path(os.environ.get("APPDATA") or Path.home() / "AppData/Roaming")
    elif sys.platform == "darwin":
        base = Path.home() / "Library/Application Support"
    else:
        base = Path(os.environ.get("XDG_DATA_HOME") or Path.home() / ".local/share")
    profiles = base / "QGIS" / "QGIS3" / "profiles"
    settings = configparser.ConfigParser(interpolation=None)
    settings.read(profiles / "profiles.ini", encoding="utf-8")
    return profiles / settings.get("core", "defaultProfile", fallback="default") / "python" / "plugins"


def this_command():
    """The words that run this quillet: its script when it was started as one, else this Python with the module."""
    script = Path(sys.argv[0])
    if script.stem == "quillet" and script.is_file():
        return [str(script.absolute())]
    return [sys.executable, "-m", "quillet_geo.cli"]


def _check_replaceable(target):
    if target.exists() and not (target / RECORD).is_file():
        raise click.BadParameter(f"'{target}' exists and is not an installed quillet plugin; move it away or "
                                 "install into another folder", param_hint="'--plugins-dir'")


def _install(target, record):
    """The plugin's files and record put together beside `target`, then put in its place in one rename (an earlier
    copy is moved aside first, and put back if the new one cannot take its place)."""
    target.parent.mkdir(parents=True, exist_ok=True)
    staging = Path(tempfile.mkdtemp(prefix=f".{PLUGIN_NAME}-", dir=target.parent))
    try:
        new = staging / PLUGIN_NAME
        shutil.copytree(Path(quillet_qgis.__file__).parent, new, ignore=shutil.ignore_patterns("__pycache__"))
        metadata = new / "metadata.txt"
        metadata.write_text(metadata.read_text(encoding="utf-8").replace("version=0\n", f"version={__version__}\n"),
                            encoding="utf-8")
        (new / RECORD).write_text(json.dumps(record, indent=1), encoding="utf-8")
        earlier = staging / "earlier"
        if target.exists():
            target.rename(earlier)
        try:
            new.rename(target)
        except OSError:
            if earlier.exists():
                earlier.rename(target)
            raise
    finally:
        shutil.rmtree(staging, ignore_errors=True)
