"""The test harness of FundTableRepair in Python: the customer's PC, the relay trace, the Windows
versions, the benchmarks and the lint plan, which the end-to-end cases, the demo and the checks
share. The release's tools are a package of their own, fundrelease. Run as `tools/python/run
fundtable.MODULE`: Debian's own Python, isolated from the working directory; the shell scripts in
tools/ are glue that does exactly that."""
