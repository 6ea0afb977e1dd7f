"""zub: a fast settings store for JSON, JSON5, TOML and YAML files."""

from zub._zub_core import ZubSettingEngine

# The one place the version is written; the package metadata reads it from here.
__version__ = "0.1.0"

__all__ = ["ZubSettingEngine"]
