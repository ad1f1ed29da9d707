"""Command-line tools around `trellan_core`: run `trellan --help` or `python -m trellan --help`."""
