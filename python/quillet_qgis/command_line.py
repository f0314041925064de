"""The command line of a run: the recorded quillet command, the subcommand, and each parameter's value in the words
of its option, from the command's own description; and the names the plugin gives the command's parameters."""
import re


def qgis_name(parameter):
    """A parameter's name in QGIS: its option, or the argument as the command's usage shows it, in capitals
    (--max-cost: MAX_COST; the argument `geometries`, shown as POLYGONS: POLYGONS)."""
    return (parameter["option"] or parameter["metavar"] or parameter["name"]).lstrip("-").replace("-", "_").upper()


def in_qgis_names(text, parameters):
    """`text` with the option names (--max-cost) of `parameters` replaced by their names in QGIS (MAX_COST)."""
    names = {p["option"]: qgis_name(p) for p in parameters if p["option"]}
    return re.sub(r"--[a-z][a-z-]*", lambda m: names.get(m[0], m[0]), text)


def number_list(text):
    """The numbers of a list such as "1, 2, 4" (commas, spaces or both between them), as the text of each."""
    return [number for number in re.split(r"[\s,]+", text.strip()) if number]


def command_line(command, description, values):
    """The words that run the subcommand of `description` with `values` ({parameter name: value}; None, False or
    an empty list leaves it out): the arguments in their order, then the options, a repeatable option's flag before
    each of its values."""
    words = [*command, description["command"]]
    for parameter in description["parameters"]:
        if parameter["kind"] == "argument":
            words.append(_word(values[parameter["name"]]))
    for parameter in description["parameters"]:
        value = values.get(parameter["name"])
        if parameter["kind"] != "option" or value is None or value is False:
            continue
        if parameter["type"] == "flag":
            words.append(parameter["option"])
        else:
            for item in value if parameter["multiple"] else [value]:
                words += [parameter["option"], _word(item)]
    return words


def _word(value):
    return repr(value) if isinstance(value, float) else str(value)
