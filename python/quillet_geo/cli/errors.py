"""What the command reports: data errors (status 1), usage errors (status 2, click's own) and interruption."""
import click


class DataError(click.ClickException):
    """An input file's content is wrong: exit status 1, one line."""

    exit_code = 1


class Interrupted(Exception):
    """Ctrl-C ended the run; the text says what was kept and how to go on."""
