"""The ``pxvorel-cli`` directive: the help of ``pxvorel`` and of each of its commands, as
argparse prints it, so that the reference is the parser itself."""

from __future__ import annotations

import argparse

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective

from pxvorel.cli.parser import build_parser


def _commands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:  # argparse keeps its subcommands only here
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


class CliReference(SphinxDirective):
    """One section per command, its help text as a literal block."""

    def run(self) -> list[nodes.Node]:
        parser = build_parser()
        parts: list[nodes.Node] = [nodes.literal_block(text=parser.format_help())]
        for name, command in _commands(parser).items():
            section = nodes.section(ids=[f"pxvorel-{name}"])
            section += nodes.title(text=f"pxvorel {name}")
            section += nodes.literal_block(text=command.format_help())
            parts.append(section)
        return parts


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("pxvorel-cli", CliReference)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
