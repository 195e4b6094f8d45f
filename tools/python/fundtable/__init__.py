"""The Python half of FundTableRepair's tools: the modules the end-to-end cases, the demo, the
release and the checks share. Run as `tools/python/run MODULE`: Debian's own Python, isolated from
the working directory; the shell scripts in tools/ are glue that does exactly that."""
