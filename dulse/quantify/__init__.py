"""Counting reads per gene from one BAM file."""
