"""The Python half of FundTableRepair's tools: the modules the end-to-end cases, the demo, the
release and the checks share. Run as `python3 -m fundtable.MODULE` with tools/python on
PYTHONPATH; the shell scripts in tools/ are glue that does exactly that."""
