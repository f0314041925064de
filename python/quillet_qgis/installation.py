"""What `quillet qgis install` records beside the plugin, in one file the plugin reads: the quillet command to run,
the environment it needs, and the descriptions (`quillet COMMAND --describe`) of the commands offered."""
import json
import os
from pathlib import Path

PLUGIN_NAME = "quillet"  # the plugin's folder, and its name in QGIS
RECORD = "installed.json"
# Variables through which QGIS points its own Python, GDAL and PROJ at their files. They must not reach the command,
# which gets them as they were where it was installed (usually unset) instead.
OWN_ENVIRONMENT = ("PYTHONPATH", "PYTHONHOME", "GDAL_DATA", "GDAL_DRIVER_PATH", "PROJ_DATA", "PROJ_LIB")


def record_of(command, descriptions, version):
    """The record of an installation from this process: `command` (a list of words) runs quillet."""
    return {"command": list(command), "environment": {name: os.environ[name] for name in OWN_ENVIRONMENT
                                                      if name in os.environ},
            "version": version, "commands": {d["command"]: d for d in descriptions}}


def read_record(folder=Path(__file__).parent):
    """The installation's record, or OSError/ValueError when there is none to read."""
    return json.loads((Path(folder) / RECORD).read_text(encoding="utf-8"))


def command_environment(record, environment=os.environ):
    """The environment to run the recorded command in: this one, without QGIS's own variables, with the recorded."""
    kept = {name: value for name, value in environment.items() if name not in OWN_ENVIRONMENT}
    return {**kept, **record["environment"]}
