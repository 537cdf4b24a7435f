"""The kit's version: the project's version, stated once for the Python side."""

VERSION = "1.0.0"
