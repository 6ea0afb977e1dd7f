"""zub: a fast settings store for JSON, JSON5, TOML and YAML files."""

from zub._zub_core import ZubSettingEngine

__all__ = ["ZubSettingEngine"]
