"""tarnwick: a client for the ClickHouse native TCP protocol."""

from tarnwick._native import __version__

__all__ = ["__version__"]
