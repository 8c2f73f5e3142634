"""Halyard: fast in-memory building blocks for retrieval-augmented assistants."""

from halyard import _halyard_rs
from halyard._halyard_rs import *  # noqa: F401,F403

__version__ = _halyard_rs.__version__
__all__ = [name for name in vars(_halyard_rs) if not name.startswith("_")]
