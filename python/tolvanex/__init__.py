"""Shallow, read-only inventories of engineering-simulation project and model files."""

from ._tolvanex import inspect, scan

__all__ = ["inspect", "scan"]
