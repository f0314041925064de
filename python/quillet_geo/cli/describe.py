"""`quillet COMMAND --describe`: a subcommand's arguments and options as JSON, read from its click definition, so
that programs which offer the command elsewhere (the QGIS plugin) take its names, defaults, ranges and help texts
from the command itself instead of writing them again.

The JSON object: `command` (its name), `version` (quillet's), `help` (the command's description) and `parameters`,
in the command's order, each with
- `name`: the function's argument ("max_cost"); `kind`: "argument" or "option"; `option`: the long flag
  ("--max-cost"), null for an argument (which the texts call by its name in capitals, "CONDITION");
- `type`: "integer", "float", "string", "boolean", "choice", "path" or "flag" (an option without a value), with
  `choices` for a choice, `path` ({"exists", "file", "directory"}: must the file exist, may it be a file, a
  folder) for a path, and `minimum`, `maximum`, `minimum_open`, `maximum_open` where the type has a range;
- `required`, `multiple` (repeatable, a list of values), `number_list` (several numbers may follow one flag),
  `default` (null for none; a list for a repeatable option), `help` and `metavar` (null where there is none).
"""
import json

import click

from .. import __version__


def add_describe_option(command):
    """Give `command` the eager flag --describe, which prints its description and exits (like --help)."""
    command.params.append(click.Option(
        ["--describe"], is_flag=True, expose_value=False, is_eager=True, callback=_print_description,
        help="Print the command's arguments and options as JSON (for programs that offer it) and exit."))
    return command


def _print_description(ctx, param, value):
    if value and not ctx.resilient_parsing:
        click.echo(json.dumps(description(ctx.command), indent=1))
        ctx.exit()


def description(command):
    """The JSON-ready description of a click command (its parameters but --describe itself and hidden ones)."""
    return {
        "command": command.name,
        "version": __version__,
        "help": _paragraphs((command.help or "").split("\f")[0]),
        "parameters": [_parameter(param) for param in command.params
                       if param.name != "describe" and not getattr(param, "hidden", False)],
    }


def _parameter(param):
    option = isinstance(param, click.Option)
    flag = option and param.is_flag
    long_flags = [opt for opt in param.opts if opt.startswith("--")] if option else []
    return {
        "name": param.name,
        "kind": "option" if option else "argument",
        "option": (long_flags or param.opts)[0] if option else None,
        **({"type": "flag"} if flag else _type(param.type)),
        "required": bool(param.required),
        "multiple": bool(param.multiple),
        "number_list": bool(getattr(param, "number_list", False)),
        "default": _default(param, multiple=param.multiple, flag=flag),
        "help": _paragraphs(param.help) if option and param.help else None,
        "metavar": param.metavar,
    }


def _type(kind):
    if isinstance(kind, click.Choice):
        return {"type": "choice", "choices": [str(choice) for choice in kind.choices]}
    if isinstance(kind, click.Path):
        return {"type": "path", "path": {"exists": kind.exists, "file": kind.file_okay, "directory": kind.dir_okay}}
    described = {"type": "integer" if isinstance(kind, click.types.IntParamType) else
                 "float" if isinstance(kind, click.types.FloatParamType) else
                 "boolean" if isinstance(kind, click.types.BoolParamType) else "string"}
    if isinstance(kind, (click.IntRange, click.FloatRange)):
        described.update(minimum=kind.min, maximum=kind.max, minimum_open=kind.min_open, maximum_open=kind.max_open)
    return described


def _default(param, *, multiple, flag):
    """A default as JSON: a repeatable option's as a list (empty for none), a flag's as a bool, paths as text."""
    value = param.to_info_dict().get("default")  # click's public view of it: None where none was given
    if callable(value):
        value = value()
    if multiple:
        return [_plain(item) for item in value or ()]
    return bool(value) if flag else _plain(value)


def _plain(value):
    return value if value is None or isinstance(value, (bool, int, float, str)) else str(value)


def _paragraphs(text):
    """Help text with the line breaks of its source gone, its paragraphs kept."""
    return "\n\n".join(" ".join(paragraph.split()) for paragraph in text.split("\n\n") if paragraph.strip())
